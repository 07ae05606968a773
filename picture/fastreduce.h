// SPDX-License-Identifier: MIT
#pragma once
// A faster way to the very bytes ReducePlan::FilterRows gives: the
// coverage-weighted sums of one destination row are formed in two passes
// (down the source rows, then across the columns) in single precision; the
// few pixels whose average lies too close to a rounding boundary for that to
// decide are formed again in doubles, and the rarer ones still too close are
// recomputed the exact way.
#include <cstdint>
#include <vector>

#include "picture/reduce.h"

namespace tam {

// Buys (2026-12-10, 38 bench photos, bench/rounds.py): without it a
// streamed reduction takes 1.9x the CPU time (1.5x for progressive photos).
// Off (the streamed reduction filters every pixel the exact way,
// ReducePlan::FilterRows): false here.
constexpr bool kFastFilter = true;

class FastRowFilter {
 public:
  // The plan must outlive the filter. margin: how close to a halfway point
  // (k + 0.5) an average in doubles may lie before the pixel is recomputed
  // exactly; a negative value takes SafeMargin(plan). float_margin: the
  // same for the single-precision average, before the pixel is formed in
  // doubles; a negative value takes FloatMargin(plan). A float margin given
  // holds for every row (when computed, a picture whose rows leave many
  // pixels undecided goes over to doubles).
  // kernels: the fastest code the processor runs, or the plain loops every
  // processor runs (for the tests, which check both).
  enum class Kernels { kFastest, kPlain };
  explicit FastRowFilter(const ReducePlan& plan, double margin = -1, double float_margin = -1,
                         Kernels kernels = Kernels::kFastest);

  // Twice the most the two-pass average in doubles can differ from the
  // exact one, over every pixel of the plan.
  static double SafeMargin(const ReducePlan& plan);
  // The same for the average in single precision.
  static double FloatMargin(const ReducePlan& plan);

  // Destination row y into out (width() * 3 bytes). source_rows[i] is the
  // start of source row i, 24 bits per pixel; only rows FirstSourceRow(y) to
  // LastSourceRow(y) are read.
  void FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out);

  // Pixels recomputed the exact way so far, and formed again in doubles.
  std::int64_t exact_pixels() const { return exact_pixels_; }
  std::int64_t double_pixels() const { return double_pixels_; }

  // How close to a halfway point a pixel's average may lie and still be an
  // exact half of the plan's grid that rounds down; 0 when the plan's
  // halves do not all round down or lie too close together for floats.
  static double HalfThreshold(const ReducePlan& plan);

 private:
  // row: what FilterRow knows of the row's footprints (its rows and how it
  // summed them down).
  bool DecideInDoubles(std::int32_t x, const void* row, std::uint8_t* out) const;

  const ReducePlan& plan_;
  bool plain_;
  double margin_;
  double inverse_area_;
  float float_margin_;
  float float_inverse_area_;
  double half_threshold_;  // HalfThreshold, or 0 where a margin was given
  bool in_floats_ = true;  // false once a row left many pixels undecided
  bool may_leave_floats_;
  std::int32_t columns_ = 0;              // the widest footprint's count of source columns
  std::vector<std::int32_t> starts_;      // per destination column: where its sums start
  std::vector<double> coverages_;         // per destination column: columns_ coverages, zeros after its own
  std::vector<float> float_coverages_;    // the same in single precision
  std::vector<float> float_pairs_;        // the same laid out for two columns at a time
  std::vector<std::int32_t> no_columns_;  // destination columns with no source column under them
  std::vector<double> sums_;              // per source column and channel, down the rows
  std::vector<float> float_sums_;         // the same in single precision
  std::vector<std::uint16_t> whole_;      // the same, over the wholly covered rows only (and one to spare)
  std::vector<std::int32_t> undecided_;   // columns of one row left to the exact filter
  std::int64_t exact_pixels_ = 0;
  std::int64_t double_pixels_ = 0;
};

}  // namespace tam
