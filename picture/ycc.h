// SPDX-License-Identifier: MIT
#pragma once
// A JPEG's brightness and colour-difference planes (what libjpeg hands out
// with raw_data_out) made into rows of blue, green, red: byte for byte what
// libjpeg's own decoder gives with its defaults, smooth ("fancy") upsampling
// of halved colour planes and its fixed-point colour conversion. Done here,
// the decoding thread hands over the planes and this work moves to the
// thread that filters.
#include <cstdint>
#include <vector>

namespace tam {

// Buys (2026-12-10, 38 bench photos, bench/rounds.py, a machine loaded
// far beyond its two cores): without it 1.03x the CPU time and 1.06x the
// wall time (1.13x for progressive photos), medians: a shorter decoding
// thread, which shows in wall time only when both threads get a core.
// Off (libjpeg upsamples and converts on the decoding thread): false here.
constexpr bool kHandOutPlanes = true;

// How the two colour-difference planes are sampled against the brightness plane.
enum class ChromaSampling {
  kFull,        // 4:4:4
  kHalfAcross,  // 4:2:2: half the columns
  kHalfBoth,    // 4:2:0: half the columns and half the rows
};

// The colour-difference rows picture row `row` is made from: the nearest,
// and for kHalfBoth the next nearest (above for an even row, below for an
// odd one, the nearest itself at the top and bottom edges, where libjpeg
// repeats the edge row); for other samplings both are the row itself.
struct ChromaRows {
  std::int32_t near;
  std::int32_t far;
};
ChromaRows ChromaRowsFor(ChromaSampling sampling, std::int32_t row, std::int32_t chroma_height);

class YccToBgr {
 public:
  // Which code does the work: the fastest the processor runs, or the plain
  // loops every processor runs (for the tests, which check both).
  enum class Kernels { kFastest, kPlain };

  // width: pixels in a row (and brightness samples). chroma_width: samples in
  // a colour-difference row, (width + 1) / 2 when halved across, where
  // libjpeg smooths only rows of more than two samples (the caller leaves
  // narrower pictures to libjpeg).
  YccToBgr(ChromaSampling sampling, std::int32_t width, std::int32_t chroma_width,
           Kernels kernels = Kernels::kFastest);

  // One row. y: the row's brightness samples; cb, cr: the colour-difference
  // rows ChromaRowsFor names near; cb_far, cr_far: those it names far.
  void Row(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, const std::uint8_t* cb_far,
           const std::uint8_t* cr_far, std::uint8_t* bgr);

 private:
  ChromaSampling sampling_;
  bool plain_;
  std::int32_t width_;
  std::int32_t chroma_width_;
  std::vector<std::uint8_t> padded_;  // a colour-difference row with its ends repeated
  std::vector<std::int16_t> sums_;    // the same, two rows weighted down
  std::vector<std::uint8_t> cb_;      // the colour-difference rows at full width
  std::vector<std::uint8_t> cr_;
};

}  // namespace tam
