#pragma once
// A faster way to the very bytes ReducePlan::FilterRows gives: the
// coverage-weighted sums of one destination row are formed in two passes
// (down the source rows, then across the columns) in plain double arithmetic,
// and the few pixels whose average lies too close to a rounding boundary for
// that to decide are recomputed the exact way.
#include <cstdint>
#include <vector>

#include "picture/reduce.h"

namespace tam {

class FastRowFilter {
 public:
  // The plan must outlive the filter. margin: how close to a halfway point
  // (k + 0.5) an average may lie before the pixel is recomputed exactly;
  // a negative value takes SafeMargin(plan).
  explicit FastRowFilter(const ReducePlan& plan, double margin = -1);

  // Twice the most the two-pass average can differ from the exact one, over
  // every pixel of the plan.
  static double SafeMargin(const ReducePlan& plan);

  // Destination row y into out (width() * 3 bytes). source_rows[i] is the
  // start of source row i, 24 bits per pixel; only rows FirstSourceRow(y) to
  // LastSourceRow(y) are read.
  void FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out);

  // Pixels recomputed the exact way so far.
  std::int64_t exact_pixels() const { return exact_pixels_; }

 private:
  const ReducePlan& plan_;
  double margin_;
  double inverse_area_;
  std::int32_t columns_ = 0;              // the widest footprint's count of source columns
  std::vector<std::int32_t> starts_;      // per destination column: where its sums start
  std::vector<double> coverages_;         // per destination column: columns_ coverages, zeros after its own
  std::vector<std::int32_t> no_columns_;  // destination columns with no source column under them
  std::vector<double> sums_;              // per source column and channel, down the rows
  std::vector<std::uint16_t> whole_;      // the same, over the wholly covered rows only
  std::vector<std::int32_t> undecided_;   // columns of one row left to the exact filter
  std::int64_t exact_pixels_ = 0;
};

}  // namespace tam
