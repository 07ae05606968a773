// SPDX-License-Identifier: MIT
#pragma once
// What a JPEG file's own header says, read in one walk over the marker
// segments before the first scan, without libjpeg: every caller that asks
// about the frame or the EXIF orientation asks here.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tam {

struct JpegHeader {
  // The first frame header (SOFn); all zero when none comes before the first
  // scan or it is cut short.
  std::uint8_t frame_marker = 0;  // 0xC0 to 0xCF, not DHT, JPG or DAC
  int precision = 0, width = 0, height = 0, components = 0;
  // The EXIF orientation (1 to 8) of the first "Exif" APP1; 1 when there is
  // none or its tag is unreadable or out of range.
  int orientation = 1;

  // 8-bit baseline, extended or progressive Huffman, grey or YCbCr: a stream
  // any presentation reader shows as it is.
  bool portable() const {
    return (frame_marker == 0xC0 || frame_marker == 0xC1 || frame_marker == 0xC2) && precision == 8 &&
           (components == 1 || components == 3) && width > 0 && height > 0;
  }
};

// A damaged or cut stream is never read past its end: the facts not reached
// keep their defaults.
JpegHeader ReadJpegHeader(std::span<const std::uint8_t> file);

// A JPEG file held whole, with what its header says, read once as the bytes
// are taken in: whoever is handed the bytes is handed the facts with them,
// and no one walks the header again.
class JpegFile {
 public:
  JpegFile() = default;  // no file
  explicit JpegFile(std::vector<std::uint8_t> bytes)
      : bytes_(std::move(bytes)), header_(ReadJpegHeader(bytes_)) {}

  std::span<const std::uint8_t> bytes() const { return bytes_; }
  const JpegHeader& header() const { return header_; }
  bool empty() const { return bytes_.empty(); }
  // The bytes themselves, for one who keeps them: nothing is left here.
  std::vector<std::uint8_t> TakeBytes() && {
    header_ = {};
    return std::move(bytes_);
  }

 private:
  std::vector<std::uint8_t> bytes_;
  JpegHeader header_;
};

}  // namespace tam
