#include "picture/fastreduce.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tam {

// Why the two passes give the same bytes. Let T be the true sum of
// coverage(column) * coverage(row) * value over a footprint of nx columns and
// ny rows. The exact filter forms each product at extended precision and
// rounds every partial sum to a double: with nonnegative terms it lands within
// about (nx * ny) * u * T of T (u = 2^-53, a hair more for the extended
// roundings). The two passes round each product and each partial sum to a
// double, first down ny rows then across nx columns: within about
// (nx + ny) * u * T. Both divide by A, and T / A < 255, so the two averages
// differ by less than 255 * u * (nx * ny + nx + ny + 4). Rounding to the
// nearest integer can only come out differently when an average lies that
// close to k + 0.5; SafeMargin takes eight times that bound and such pixels
// are redone exactly. The footprints stop 0.000001 short of their far edges,
// which keeps exact halves about a millionth away from k + 0.5, so that
// happens for next to no pixel.

namespace {

// The source rows of one destination row summed down, per column and
// channel, a row at a time. Cloned for AVX2 where the processor has it: four
// lanes instead of two.
__attribute__((target_clones("avx2", "default"))) void FirstRow(double* sums, const std::uint8_t* row,
                                                                std::size_t count, double coverage) {
  for (std::size_t i = 0; i < count; ++i) sums[i] = coverage * static_cast<double>(row[i]);
}

__attribute__((target_clones("avx2", "default"))) void AddRow(double* sums, const std::uint8_t* row,
                                                              std::size_t count, double coverage) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += coverage * static_cast<double>(row[i]);
}

// Rounds the three averages of a pixel to bytes. Returns false when one
// lies within margin of a halfway point (or outside the byte range) and the
// pixel must be decided exactly. No branch per channel: on photos the
// rounding direction is as good as random.
inline bool Decide(const double (&average)[3], double margin, std::uint8_t* out) {
  bool undecided = false;
  for (int c = 0; c < 3; ++c) {
    // cvtsd2si rounds by the SSE rounding mode, to nearest as always here.
    const int nearest = _mm_cvtsd_si32(_mm_set_sd(average[c]));
    const double off = std::fabs(average[c] - static_cast<double>(nearest));
    undecided |= (0.5 - off <= margin) | (static_cast<unsigned>(nearest) > 255);
    out[c] = static_cast<std::uint8_t>(nearest);
  }
  return !undecided;
}

}  // namespace

double FastRowFilter::SafeMargin(const ReducePlan& plan) {
  std::int32_t nx = 0, ny = 0;
  for (std::int32_t x = 0; x < plan.width(); ++x) nx = std::max(nx, plan.SourceColumnCount(x));
  for (std::int32_t y = 0; y < plan.height(); ++y) {
    ny = std::max(ny, plan.LastSourceRow(y) - plan.FirstSourceRow(y) + 1);
  }
  const double terms = static_cast<double>(nx) * ny + nx + ny + 4;
  return 255.0 * std::ldexp(1.0, -50) * terms;
}

FastRowFilter::FastRowFilter(const ReducePlan& plan, double margin)
    : plan_(plan),
      margin_(margin < 0 ? SafeMargin(plan) : margin),
      inverse_area_(1.0 / static_cast<double>(plan.box().area_ratio)),
      sums_(static_cast<std::size_t>(plan.source_width()) * 3) {}

void FastRowFilter::FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out) {
  const std::size_t count = sums_.size();
  double* const sums = sums_.data();
  const std::int32_t first = plan_.FirstSourceRow(y);
  const std::int32_t last = plan_.LastSourceRow(y);
  const double* const wy = plan_.RowCoverages(y);
  const std::int32_t width = plan_.width();
  if (last < first) {
    // No source row under the footprint (never for a plan that reduces).
    for (std::int32_t x = 0; x < width; ++x) plan_.FilterPixel(x, y, source_rows, out + 3 * x);
    exact_pixels_ += width;
    return;
  }
  FirstRow(sums, source_rows[first], count, wy[0]);
  for (std::int32_t i = first + 1; i <= last; ++i) AddRow(sums, source_rows[i], count, wy[i - first]);

  for (std::int32_t x = 0; x < width; ++x, out += 3) {
    const std::int32_t columns = plan_.SourceColumnCount(x);
    const double* const wx = plan_.ColumnCoverages(x);
    if (columns <= 0) {
      plan_.FilterPixel(x, y, source_rows, out);
      ++exact_pixels_;
      continue;
    }
    const double* s = sums + 3 * static_cast<std::size_t>(plan_.FirstSourceColumn(x));
    double blue = wx[0] * s[0], green = wx[0] * s[1], red = wx[0] * s[2];
    for (std::int32_t m = 1; m < columns; ++m) {
      s += 3;
      blue += wx[m] * s[0];
      green += wx[m] * s[1];
      red += wx[m] * s[2];
    }
    const double averages[3] = {blue * inverse_area_, green * inverse_area_, red * inverse_area_};
    if (!Decide(averages, margin_, out)) {
      plan_.FilterPixel(x, y, source_rows, out);
      ++exact_pixels_;
    }
  }
}

}  // namespace tam
