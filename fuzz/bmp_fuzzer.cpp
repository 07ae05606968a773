// libFuzzer target for the BMP reader: any input must decode or fail with
// tam::Error, never crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "picture/bmp.h"
#include "picture/error.h"

namespace {

std::int64_t Le(const std::uint8_t* p, int bytes) {
  std::int64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// Run-length files may rightly claim pictures of gigabytes in a few bytes.
// Allocating them teaches the fuzzer nothing and trips its memory limit, so
// inputs that claim more than 1 M pixels are skipped.
bool ClaimsHugePicture(const std::uint8_t* data, std::size_t size) {
  if (size < 26) return false;
  const bool core = Le(data + 14, 4) == 12;
  std::int64_t w = core ? Le(data + 18, 2) : static_cast<std::int32_t>(Le(data + 18, 4));
  std::int64_t h = core ? Le(data + 20, 2) : static_cast<std::int32_t>(Le(data + 22, 4));
  return std::llabs(w) * std::llabs(h) > (std::int64_t{1} << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (ClaimsHugePicture(data, size)) return 0;
  try {
    tam::Picture picture = tam::DecodeBmp(std::span<const std::uint8_t>(data, size));
    picture.ToBgr24();
  } catch (const tam::Error&) {
  }
  return 0;
}
