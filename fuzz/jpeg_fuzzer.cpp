// SPDX-License-Identifier: MIT
// libFuzzer target for the JPEG decode path: EXIF orientation, the decoder
// with and without quantization, and the upright turn of what it decoded,
// with the conversion's own check of the memory this takes. A few bytes can
// claim a picture of gigabytes or thousands of scans: the limits must refuse
// them, or the fuzzer's memory limit and time-out report what slipped through.
#include <cstddef>
#include <cstdint>
#include <span>

#include "picture/error.h"
#include "picture/jpeg.h"
#include "picture/jpeg_header.h"
#include "picture/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  try {
    const int orientation = tam::ReadJpegHeader(file).orientation;
    tam::JpegDecodeOptions options;
    options.low_colour_display = size % 2 == 1;
    {
      const tam::JpegReader header(file, options);
      const tam::DecodeCost cost = header.cost();
      tam::CheckMemoryNeed(cost.width, cost.height, tam::ConversionNeed(cost, orientation != 1));
    }
    tam::DecodedJpeg decoded = tam::DecodeJpeg(file, options);
    tam::ApplyOrientation(decoded.picture, orientation);
  } catch (const tam::Error&) {
    // Refusing a file is a correct outcome.
  }
  return 0;
}
