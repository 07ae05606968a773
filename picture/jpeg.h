// SPDX-License-Identifier: MIT
#pragma once
// JPEG through libjpeg's 6b interface, whole streams held in memory.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "picture/limits.h"
#include "picture/picture.h"
#include "picture/ycc.h"

namespace tam {

struct JpegDecodeOptions {
  // The display works at 8 bits per pixel or fewer: quantize colour output
  // to 236 colours too (grayscale sources are always quantized).
  bool low_colour_display = false;
  // A stream that ends before its picture does (a copy cut off, a card
  // pulled out) fails with libjpeg's code for that warning, JWRN_JPEG_EOF,
  // instead of decoding grey below the cut. Other warnings stay ignored.
  bool cut_short_is_error = false;
};

struct DecodedJpeg {
  Picture picture;              // 24-bit, or 8-bit with libjpeg's colour map
  bool multiple_scans = false;  // jpeg_has_multiple_scans: a progressive source
};

// Decodes at full size with block smoothing. libjpeg warnings are ignored
// (but see cut_short_is_error); errors throw tam::Error "JPEG エラー #<libjpeg message code>". A picture of
// 2^31 pixels or more, one whose decoding would take more than the budget of
// picture/limits.h, or one of more than kMostScans scans, is refused with a
// LimitError before anything large is allocated (or the scan too many read). CMYK and YCCK sources come out
// as 24-bit colour (never quantized).
DecodedJpeg DecodeJpeg(std::span<const std::uint8_t> file, const JpegDecodeOptions& options = {});

// Encodes a picture (expanded to 24 bits first) with jpeg_set_defaults and
// jpeg_set_quality(quality, TRUE), progressive when asked. An empty picture
// (a side of 0) encodes to no data at all: the result is an empty vector.
std::vector<std::uint8_t> EncodeJpeg(const Picture& picture, int quality, bool progressive);

// How many scans (SOS markers) a JPEG stream has, counting no further than
// `stop_after` + 1: a cheap walk over the markers, no decoding. For callers
// that hand the file to another decoder, which knows no scan limit.
int CountJpegScans(std::span<const std::uint8_t> file, int stop_after = kMostScans);

// Turns a picture upright for the given EXIF orientation; values other than
// 2 to 8 leave it alone. Orientations 5 to 8 swap width and height.
void ApplyOrientation(Picture& picture, int orientation);

// The decoder of DecodeJpeg, row by row, for callers that consume rows as
// they come (the file must outlive the reader). The constructor reads the
// header and applies the decoder settings; Start() begins decompression (for
// two-pass quantization it runs the first pass), after which palette() holds
// the colour map of a quantized picture. The constructor refuses a
// picture whose decoder alone (the file and libjpeg's buffers) exceeds the
// budget; the caller checks what it makes of the rows. Every libjpeg error throws the same tam::Error as
// DecodeJpeg. A moved-from reader may only be destroyed or assigned to.
class JpegReader {
 public:
  JpegReader(std::span<const std::uint8_t> file, const JpegDecodeOptions& options = {});
  ~JpegReader();
  JpegReader(JpegReader&&) noexcept;
  JpegReader& operator=(JpegReader&&) noexcept;

  std::int32_t width() const;  // of the decoded picture
  std::int32_t height() const;
  bool multiple_scans() const;
  // Rows are palette indices (1 byte a pixel) rather than blue, green, red.
  bool quantized() const;
  int bytes_per_pixel() const { return quantized() ? 1 : 3; }
  // Rough size of libjpeg's own whole-picture buffers (coefficients of a
  // multi-scan source, the first pass of the colour quantizer), in bytes.
  std::int64_t decoder_buffer_bytes() const;
  // The sizes a caller weighs against the budget (picture/limits.h).
  DecodeCost cost() const;

  void Start();
  const std::vector<Bgr>& palette() const;
  std::int32_t next_row() const;  // rows handed out so far
  // Decodes up to count rows (fewer at the end) into rows[0..], each
  // width() * bytes_per_pixel() bytes. Returns the number of rows written.
  int ReadRows(std::uint8_t* const* rows, int count);
  // Reads the rest of the stream once every row is out, as djpeg does;
  // errors found there still throw.
  void Finish();

  // The planes as decoded, before libjpeg upsamples and converts them, for
  // a caller that makes the rows itself with YccToBgr (the same bytes).
  struct PlaneLayout {
    ChromaSampling sampling;
    int group_rows;         // picture rows a group of planes covers
    int chroma_group_rows;  // colour-difference rows in a group
    std::size_t stride;     // bytes of a brightness row as decoded (whole blocks)
    std::size_t chroma_stride;
    std::int32_t chroma_width;   // colour-difference samples of the picture in a row
    std::int32_t chroma_height;  // and rows
    std::int32_t groups;         // groups in the picture
  };
  // Switches the reader, before Start(), to handing out planes, when the
  // picture is YCbCr with a sampling YccToBgr knows (4:4:4, 4:2:2 or 4:2:0,
  // wide enough for libjpeg to smooth it). False and nothing changed otherwise.
  bool HandOutPlanes();
  const PlaneLayout& plane_layout() const;
  // Decodes the next group into y (group_rows rows of stride bytes), cb and
  // cr (chroma_group_rows rows of chroma_stride bytes each); the last group's
  // rows beyond the picture hold padding.
  void ReadPlanes(std::uint8_t* const* y, std::uint8_t* const* cb, std::uint8_t* const* cr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// DecodeJpeg of a reader not yet started, for a caller that has weighed the
// header's cost against what it will make of the picture (a need at least
// DecodeJpeg's own): every row into one picture, then the rest of the stream.
DecodedJpeg DecodeJpeg(JpegReader& reader);

// The encoder of EncodeJpeg fed row by row: rows in blue, green, red order,
// top to bottom, width * 3 bytes each. Finish() hands back the stream.
// A moved-from writer may only be destroyed or assigned to.
class JpegWriter {
 public:
  JpegWriter(std::int32_t width, std::int32_t height, int quality, bool progressive);
  ~JpegWriter();
  JpegWriter(JpegWriter&&) noexcept;
  JpegWriter& operator=(JpegWriter&&) noexcept;

  void WriteRows(const std::uint8_t* const* bgr_rows, int count);
  // The whole file (jpeg_finish_compress: a progressive file's scans are
  // coded here).
  std::vector<std::uint8_t> Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tam
