// SPDX-License-Identifier: MIT
#include "picture/fastreduce.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

#include "picture/fastreduce_kernels.h"

namespace tam {

// Why the two passes give the same bytes. Let T be the true sum of
// coverage(column) * coverage(row) * value over a footprint of nx columns and
// ny rows. The exact filter forms each product at extended precision and rounds
// every partial sum to a double: with nonnegative terms it lands within about
// (nx * ny) * u * T of T (u = 2^-53, a hair more for the extended roundings).
// The two passes round each product and each partial sum to a double, first
// down ny rows then across nx columns: within about (nx + ny) * u * T, as no
// term passes through more than ny roundings down the rows and nx across
// (the columns go into two sums, even and odd, added at the end, which takes
// no term through more roundings than one sum in order takes its first; the
// zero terms that pad a footprint to a common count add exactly). Where the
// AVX2 set fuses a product with the sum it joins, one rounding takes the
// place of two, which only tightens that. Both divide by A (the two passes
// multiply by a rounded 1 / A: two more roundings), and T / A < 255, so the two
// averages differ by less than 255 * u * (nx * ny + nx + ny + 4). Rounding to
// the nearest integer can only come out differently when an average lies that
// close to k + 0.5; SafeMargin takes eight times that bound and such pixels are
// redone exactly. The footprints stop 0.000001 short of their far edges, which
// keeps exact halves some millionths of their value away from k + 0.5, many
// orders of magnitude beyond the margin, so that happens for next to no pixel.
//
// The same two passes run first in single precision (u = 2^-24), twice the
// values to a vector. The argument is the one above with two more roundings
// per term, the row's and the column's coverage each rounded to a float, and
// three for 1 / A (rounded to a double, then to a float, then the product):
// every term passes through at most nx + ny + 7 roundings, so the float
// average lies within 255 * (nx + ny + 7) * u (a hair more) of the true
// one, and the exact filter's within the much smaller bound above of that.
// FloatMargin takes four times the first plus SafeMargin; a pixel whose
// float average lies that close to a halfway point is formed again in
// doubles (DecideInDoubles: the same two passes for one pixel, from the
// row's integer sums or its source rows, so the double margin holds), and
// exactly when that does not decide either.
//
// When the floats leave many pixels undecided: with the source p / q times
// the destination across and r / t down (in lowest terms), every coverage
// is a multiple of 1 / q across and 1 / t down, but for the shortfall, and
// the average is an integer over p * r. When p * r is even, that integer
// can make an exact half, which the shortfall moves only some
// hundred-thousandths away from k + 0.5: inside the float margin. Smooth
// parts of a photo reduced by 8 / 3 (p * r = 64) left up to a quarter of a
// row's pixels undecided, 6 % of the whole; formed again in doubles from
// the row's integer sums, they still cost no more than summing the whole
// picture in doubles would, and on most photos less. Should a row leave
// more than one pixel in eight undecided, the rest of the picture is summed
// in doubles.
//
// Most of those need no doubles either (HalfThreshold). Let S be the true
// sum over A (the float area_ratio the exact filter divides by) and I the
// ideal average, with the coverages exact multiples of 1 / q and 1 / t and
// no shortfall: I is a multiple of 1 / (p r). S differs from I by the
// shortfall (coverage taken away, so it only lowers S, by at most
// 0.000001 (nx + ny) 255 / A), by I (A' / A - 1) where A' = (w h) / (W H)
// is the true area, and by the coverages' own rounding against their ideal
// values (each within a few units of 2^-52 of the larger side, over nx ny
// terms). Take a float average F (within E of S, as above) of a pixel with
// p r even, and the halfway point h nearest to it. When everything that
// moves S from I, plus E, stays under 1 / (8 p r): if |F - h| < 1 / (2 p r),
// I can only be h itself, an exact half; when moreover A > A' by enough
// that I (A' / A - 1) outweighs the coverages' rounding and the exact
// filter's own error (I >= 1/2), S lies below h and the exact filter
// rounds it down. Otherwise F lies at least 3 / (8 p r) from h, as S does,
// and F rounds as S does. So each channel is settled from F alone, in the
// float pass across (its settle argument).

using namespace fast_kernels;

namespace {

// The widest footprint of the plan, columns and rows.
void FootprintCounts(const ReducePlan& plan, std::int32_t& nx, std::int32_t& ny) {
  nx = 0;
  ny = 0;
  for (std::int32_t x = 0; x < plan.width(); ++x) nx = std::max(nx, plan.SourceColumnCount(x));
  for (std::int32_t y = 0; y < plan.height(); ++y) {
    ny = std::max(ny, plan.LastSourceRow(y) - plan.FirstSourceRow(y) + 1);
  }
}

// The sums down source rows first to last (coverages wy) of every source
// column and channel, into float_sums where given, else into sums; whole
// holds the 16-bit sums of whole rows. Returns how they were formed.
RowSums SumDown(const KernelSet& k, const std::uint8_t* const* source_rows, std::int32_t first,
                std::int32_t last, const double* wy, std::size_t count, std::uint16_t* whole,
                float* float_sums, double* sums) {
  RowSums down;
  // The partly covered rows are the first and the last at most; any other
  // layout, or too many whole rows for 16 bits, takes every row weighted.
  const std::int32_t rows = last - first + 1;
  const std::int32_t inner_first = wy[0] == 1.0 ? first : first + 1;
  const std::int32_t inner_last = wy[rows - 1] == 1.0 ? last : last - 1;
  bool integral = inner_last - inner_first + 1 <= kMostWholeRows;
  for (std::int32_t i = inner_first; integral && i <= inner_last; ++i) integral = wy[i - first] == 1.0;
  if (integral && inner_first <= inner_last) {
    // All but the last two whole rows into whole, two at a time where there
    // are two; the last two go straight into the weighted sums.
    const std::int32_t whole_rows = inner_last - inner_first + 1;
    const int layout = whole_rows == 1 ? 0 : whole_rows == 2 ? 1 : 2;
    if (layout == 2) {
      std::int32_t i = inner_first;
      const std::int32_t end = inner_last - 1;  // rows [inner_first, end) into whole
      if (i + 1 < end) {
        k.first_two_whole_rows(whole, source_rows[i], source_rows[i + 1], count);
        i += 2;
      } else {
        k.first_whole_row(whole, source_rows[i++], count);
      }
      for (; i + 1 < end; i += 2) k.add_two_whole_rows(whole, source_rows[i], source_rows[i + 1], count);
      if (i < end) k.add_whole_row(whole, source_rows[i], count);
    }
    const std::uint8_t* r0 = source_rows[inner_last];
    const std::uint8_t* r1 = source_rows[layout == 0 ? inner_last : inner_last - 1];
    const double wa = inner_first == first ? 0.0 : wy[0];
    const double wb = inner_last == last || rows == 1 ? 0.0 : wy[rows - 1];
    const std::uint8_t* a = wa == 0.0 ? source_rows[last] : source_rows[first];
    const double a_coverage = wa == 0.0 ? wb : wa;
    const std::uint8_t* b = source_rows[last];
    const int edges = (wa != 0.0) + (wb != 0.0);
    down = RowSums{layout, edges, whole, r0, r1, a, b, a_coverage, wb};
    if (float_sums) {
      k.finish_float[layout][edges](float_sums, whole, r0, r1, a, static_cast<float>(a_coverage), b,
                                    static_cast<float>(wb), count);
    } else {
      k.finish[layout][edges](sums, whole, r0, r1, a, a_coverage, b, wb, count);
    }
  } else {
    if (float_sums) {
      k.first_row_float(float_sums, source_rows[first], count, static_cast<float>(wy[0]));
      for (std::int32_t i = first + 1; i <= last; ++i) {
        k.add_row_float(float_sums, source_rows[i], count, static_cast<float>(wy[i - first]));
      }
    } else {
      k.first_row(sums, source_rows[first], count, wy[0]);
      for (std::int32_t i = first + 1; i <= last; ++i) k.add_row(sums, source_rows[i], count, wy[i - first]);
    }
  }
  return down;
}

}  // namespace

double FastRowFilter::SafeMargin(const ReducePlan& plan) {
  std::int32_t nx = 0, ny = 0;
  FootprintCounts(plan, nx, ny);
  const double terms = static_cast<double>(nx) * ny + nx + ny + 4;
  return 255.0 * std::ldexp(1.0, -50) * terms;
}

double FastRowFilter::FloatMargin(const ReducePlan& plan) {
  std::int32_t nx = 0, ny = 0;
  FootprintCounts(plan, nx, ny);
  const double roundings = static_cast<double>(nx) + ny + 8;
  return 255.0 * std::ldexp(1.0, -22) * roundings + SafeMargin(plan);
}

double FastRowFilter::HalfThreshold(const ReducePlan& plan) {
  std::int32_t nx = 0, ny = 0;
  FootprintCounts(plan, nx, ny);
  const std::int64_t w = plan.source_width(), h = plan.source_height();
  const std::int64_t box_w = plan.width(), box_h = plan.height();
  if (w <= 0 || h <= 0 || box_w <= 0 || box_h <= 0) return 0;
  const std::int64_t grid = (w / std::gcd(w, box_w)) * (h / std::gcd(h, box_h));
  if (grid % 2 != 0) return 0;  // no exact halves
  const long double area = plan.box().area_ratio;
  const long double ideal_area = static_cast<long double>(w * h) / static_cast<long double>(box_w * box_h);
  const double lowered = static_cast<double>(1.0L - ideal_area / area);  // I (A' / A - 1) = -I lowered
  // Each footprint edge x * s lies within w 2^-52 of x w / W (s rounded, the
  // product rounded to a double), so each coverage within (2 w + 1) 2^-52 of
  // its ideal value; over a footprint that moves the sum by at most
  // 255 e (nx sy + ny sx).
  const double e = (2.0 * static_cast<double>(std::max(w, h)) + 1.0) * std::ldexp(1.0, -52);
  const double rounding =
      1.001 * 255.0 * e * (nx * plan.box().sy + ny * plan.box().sx) / static_cast<double>(area);
  if (!(0.5 * lowered > 2.0 * (rounding + SafeMargin(plan)))) return 0;  // halves might not round down
  const double float_error = 1.01 * 255.0 * std::ldexp(1.0, -24) * (static_cast<double>(nx) + ny + 7);
  const double shortfall = 1.0001e-6 * (static_cast<double>(nx) + ny) * 255.0 / static_cast<double>(area);
  const double moved = float_error + shortfall + 255.0 * lowered + rounding;
  if (!(8.0 * moved < 1.0 / static_cast<double>(grid))) return 0;  // halves too close together
  return 1.0 / (2.0 * static_cast<double>(grid));
}

// Pixel x of row y in doubles; false when its average lies too close to a
// halfway point for that to decide.
bool FastRowFilter::DecideInDoubles(std::int32_t x, const void* row, std::uint8_t* out) const {
  Footprint f = *static_cast<const Footprint*>(row);
  f.nx = plan_.SourceColumnCount(x);
  if (f.nx <= 0) return false;
  f.start = 3 * static_cast<std::size_t>(plan_.FirstSourceColumn(x));
  f.wx = plan_.ColumnCoverages(x);
  return ChosenKernels(plain_).decide(f, out);
}

FastRowFilter::FastRowFilter(const ReducePlan& plan, double margin, double float_margin, Kernels kernels)
    : plan_(plan),
      plain_(kernels == Kernels::kPlain),
      margin_(margin < 0 ? SafeMargin(plan) : margin),
      inverse_area_(1.0 / static_cast<double>(plan.box().area_ratio)),
      float_margin_(
          static_cast<float>(float_margin < 0 ? std::max(FloatMargin(plan), margin_) : float_margin)),
      float_inverse_area_(static_cast<float>(inverse_area_)),
      half_threshold_(float_margin < 0 && margin < 0 ? HalfThreshold(plan) : 0),
      may_leave_floats_(float_margin < 0),
      whole_(static_cast<std::size_t>(plan.source_width()) * 3 + 1) {
  const std::int32_t width = plan.width();
  for (std::int32_t x = 0; x < width; ++x) columns_ = std::max(columns_, plan.SourceColumnCount(x));
  starts_.resize(static_cast<std::size_t>(width));
  coverages_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(columns_));
  for (std::int32_t x = 0; x < width; ++x) {
    const std::int32_t count = plan.SourceColumnCount(x);
    if (count <= 0) no_columns_.push_back(x);
    starts_[static_cast<std::size_t>(x)] = count > 0 ? 3 * plan.FirstSourceColumn(x) : 0;
    std::copy_n(plan.ColumnCoverages(x), std::max(count, 0),
                coverages_.begin() + static_cast<std::ptrdiff_t>(x) * columns_);
  }
  float_coverages_.assign(coverages_.begin(), coverages_.end());
  // Pairs of columns: for each coverage step, the first column's coverage
  // four times, then the second's (the lanes of the two pixels' sums).
  const std::size_t step = static_cast<std::size_t>(columns_);
  float_pairs_.assign(static_cast<std::size_t>(width / 2) * step * 8, 0.0f);
  for (std::int32_t x = 0; x + 1 < width; x += 2) {
    float* const pair = float_pairs_.data() + static_cast<std::size_t>(x / 2) * step * 8;
    for (std::size_t m = 0; m < step; ++m) {
      for (std::size_t lane = 0; lane < 4; ++lane) {
        pair[8 * m + lane] = float_coverages_[static_cast<std::size_t>(x) * step + m];
        pair[8 * m + 4 + lane] = float_coverages_[static_cast<std::size_t>(x + 1) * step + m];
      }
    }
  }
  undecided_.resize(static_cast<std::size_t>(width) + no_columns_.size());
  // Zeros past the last column, so that a footprint near the right edge
  // padded to columns_ reads them (times a zero coverage), and the last
  // pixel's unused fourth lane one more.
  const std::size_t padded =
      (static_cast<std::size_t>(plan.source_width()) + static_cast<std::size_t>(columns_)) * 3 + 1;
  sums_.resize(padded);
  float_sums_.resize(padded);
}

void FastRowFilter::FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out) {
  const std::size_t count = static_cast<std::size_t>(plan_.source_width()) * 3;
  const std::int32_t first = plan_.FirstSourceRow(y);
  const std::int32_t last = plan_.LastSourceRow(y);
  const double* const wy = plan_.RowCoverages(y);
  const std::int32_t width = plan_.width();
  const KernelSet& k = ChosenKernels(plain_);
  if (last < first) {
    // No source row under the footprint (never for a plan that reduces).
    for (std::int32_t x = 0; x < width; ++x) plan_.FilterPixel(x, y, source_rows, out + 3 * x);
    exact_pixels_ += width;
    return;
  }
  const bool floats = in_floats_;
  const RowSums down = SumDown(k, source_rows, first, last, wy, count, whole_.data(),
                               floats ? float_sums_.data() : nullptr, floats ? nullptr : sums_.data());

  const std::int32_t unrolled = columns_ <= kMostUnrolled ? columns_ : 0;
  std::int32_t listed = 0;
  if (floats) {
    const ColumnTable<float> table{starts_.data(), float_coverages_.data(), float_pairs_.data(), width,
                                   columns_};
    // Where the plan's halves are settled, only a pixel outside the byte
    // range (none, by the shortfall) is left doubtful.
    const std::int32_t doubtful =
        k.across_row_float[unrolled](table, float_sums_.data(), float_inverse_area_, float_margin_,
                                     static_cast<float>(half_threshold_), out, undecided_.data());
    // Each doubtful pixel in doubles: the row's part of its footprint once.
    const Footprint row{&down,
                        source_rows + first,
                        wy,
                        last - first + 1,
                        0,
                        3 * static_cast<std::size_t>(plan_.source_width()),
                        nullptr,
                        0,
                        inverse_area_,
                        margin_};
    for (std::int32_t i = 0; i < doubtful; ++i) {
      const std::int32_t x = undecided_[static_cast<std::size_t>(i)];
      if (!DecideInDoubles(x, &row, out + 3 * static_cast<std::size_t>(x))) {
        undecided_[static_cast<std::size_t>(listed++)] = x;
      }
    }
    double_pixels_ += doubtful;
    if (may_leave_floats_ && doubtful > width / 8) in_floats_ = false;
  } else {
    const ColumnTable<double> table{starts_.data(), coverages_.data(), nullptr, width, columns_};
    listed = k.across_row[unrolled](table, sums_.data(), inverse_area_, margin_, out, undecided_.data());
  }
  for (const std::int32_t x : no_columns_) undecided_[static_cast<std::size_t>(listed++)] = x;
  for (std::int32_t i = 0; i < listed; ++i) {
    const std::int32_t x = undecided_[static_cast<std::size_t>(i)];
    plan_.FilterPixel(x, y, source_rows, out + 3 * static_cast<std::size_t>(x));
  }
  exact_pixels_ += listed;
}

}  // namespace tam
