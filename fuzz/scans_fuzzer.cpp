// libFuzzer target for the progressive scan coder: a picture made from the
// input (its size, the quality and a pattern of pixels in the first bytes)
// is encoded progressively twice, its scans once coded by us and once by
// libjpeg itself. Any difference in the bytes is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "picture/jpeg.h"
#include "picture/picture.h"

namespace {

std::vector<std::uint8_t> Encode(const tam::Picture& picture, int quality, bool own) {
  tam::JpegWriter writer(picture.width(), picture.height(), quality, true);
  if (!own) writer.LeaveScansToLibjpeg();
  for (std::int32_t y = 0; y < picture.height(); ++y) {
    const std::uint8_t* row = picture.row(y);
    writer.WriteRows(&row, 1);
  }
  return writer.Finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  // Sides of 1 to 512, enough for runs of empty blocks, partial MCUs and a
  // second thread (from 4096 blocks).
  const int width = 1 + ((data[0] | data[1] << 8) % 512);
  const int height = 1 + ((data[2] | data[3] << 8) % 512);
  const int quality = 1 + data[4] % 100;
  data += 5;
  size -= 5;
  tam::Picture picture = tam::Picture::Bgr24(width, height);
  // The input's bytes tile the picture; where there are none it is flat, and
  // every other tile is smoothed so that both busy and quiet blocks occur.
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = picture.row(y);
    for (int x = 0; x < width * 3; ++x) {
      const std::size_t at = (static_cast<std::size_t>(y) * 131 + static_cast<std::size_t>(x)) % (size ? size : 1);
      const std::uint8_t v = size ? data[at] : 128;
      row[x] = ((x / 24 + y / 8) & 1) ? static_cast<std::uint8_t>(96 + (v & 15)) : v;
    }
  }
  if (Encode(picture, quality, true) != Encode(picture, quality, false)) std::abort();
  return 0;
}
