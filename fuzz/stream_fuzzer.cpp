// SPDX-License-Identifier: MIT
// libFuzzer target for the streaming reduction: a JPEG taken from decoder to
// encoder row by row (its planes made into rows on the filtering thread)
// must give the very bytes of the whole-picture path, or fail with the same
// error. A difference is a finding: the fuzzer stops there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "picture/error.h"
#include "picture/jpeg.h"
#include "picture/jpeg_header.h"
#include "picture/limits.h"
#include "picture/reduce.h"
#include "picture/stream.h"

namespace {

struct Outcome {
  std::vector<std::uint8_t> bytes;
  std::string error;
};

// Small boxes, so that nearly every picture is reduced (the planes' path).
constexpr int kBoxW = 48, kBoxH = 36;

Outcome WholePath(const std::vector<std::uint8_t>& file) {
  Outcome o;
  try {
    tam::DecodedJpeg decoded = tam::DecodeJpeg(file);
    tam::ReducePicture(decoded.picture, kBoxW, kBoxH);
    o.bytes = tam::EncodeJpeg(decoded.picture, 75, decoded.multiple_scans);
  } catch (const tam::Error& e) {
    o.error = e.what();
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  Outcome streamed;
  try {
    {
      // The conversion's own check first, as ConvertPicture makes it.
      const tam::JpegReader header(file);
      const tam::DecodeCost cost = header.cost();
      tam::CheckMemoryNeed(cost.width, cost.height, tam::ConversionNeed(cost, false));
    }
    std::optional<std::vector<std::uint8_t>> bytes =
        tam::ReduceJpegStreaming(tam::JpegFile(file), kBoxW, kBoxH, 75);
    if (!bytes) return 0;  // left to the whole-picture path
    streamed.bytes = std::move(*bytes);
  } catch (const tam::Error& e) {
    streamed.error = e.what();
    if (dynamic_cast<const tam::LimitError*>(&e)) return 0;  // refused before decoding
  }
  const Outcome whole = WholePath(file);
  if (streamed.bytes != whole.bytes || streamed.error != whole.error) std::abort();
  return 0;
}
