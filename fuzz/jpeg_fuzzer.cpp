// libFuzzer target for the JPEG decode path: EXIF orientation, the decoder
// with and without quantization, and the upright turn of what it decoded.
#include <cstddef>
#include <cstdint>
#include <span>

#include "picture/error.h"
#include "picture/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  try {
    const int orientation = tam::ReadExifOrientation(file);
    tam::JpegDecodeOptions options;
    options.low_colour_display = size % 2 == 1;
    {
      // A few bytes can claim a picture of gigabytes, which then decodes
      // (as grey) like any truncated file; only the fuzzer's memory limit
      // minds, so such claims are skipped here.
      const tam::JpegReader header(file, options);
      if (std::int64_t{header.width()} * header.height() > (std::int64_t{1} << 22)) return 0;
    }
    tam::DecodedJpeg decoded = tam::DecodeJpeg(file, options);
    tam::ApplyOrientation(decoded.picture, orientation);
  } catch (const tam::Error&) {
    // Refusing a file is a correct outcome.
  }
  return 0;
}
