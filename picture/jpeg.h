#pragma once
// JPEG through libjpeg's 6b interface, whole streams held in memory.
#include <cstdint>
#include <span>
#include <vector>

#include "picture/picture.h"

namespace tam {

struct JpegDecodeOptions {
  // The display works at 8 bits per pixel or fewer: quantize colour output
  // to 236 colours too (grayscale sources are always quantized).
  bool low_colour_display = false;
};

struct DecodedJpeg {
  Picture picture;           // 24-bit, or 8-bit with libjpeg's colour map
  bool multiple_scans = false;  // jpeg_has_multiple_scans: a progressive source
};

// Decodes at full size with block smoothing. libjpeg warnings are ignored;
// errors throw tam::Error "JPEG エラー #<libjpeg message code>".
DecodedJpeg DecodeJpeg(std::span<const std::uint8_t> file, const JpegDecodeOptions& options = {});

// Encodes a picture (expanded to 24 bits first) with jpeg_set_defaults and
// jpeg_set_quality(quality, TRUE), progressive when asked.
std::vector<std::uint8_t> EncodeJpeg(const Picture& picture, int quality, bool progressive);

// EXIF orientation (1 to 8) of a JPEG stream, 1 when it has none.
int ReadExifOrientation(std::span<const std::uint8_t> file);

// Turns a picture upright for the given EXIF orientation.
void ApplyOrientation(Picture& picture, int orientation);

}  // namespace tam
