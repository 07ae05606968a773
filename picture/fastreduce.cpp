#include "picture/fastreduce.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tam {

// Why the two passes give the same bytes. Let T be the true sum of
// coverage(column) * coverage(row) * value over a footprint of nx columns and
// ny rows. The exact filter forms each product at extended precision and rounds
// every partial sum to a double: with nonnegative terms it lands within about
// (nx * ny) * u * T of T (u = 2^-53, a hair more for the extended roundings).
// The two passes round each product and each partial sum to a double, first
// down ny rows then across nx columns: within about (nx + ny) * u * T; where
// the AVX2 set fuses a product with the sum it joins, one rounding takes the
// place of two, which only tightens that. Both divide by A (the two passes
// multiply by a rounded 1 / A: two more roundings), and T / A < 255, so the two
// averages differ by less than 255 * u * (nx * ny + nx + ny + 4). Rounding to
// the nearest integer can only come out differently when an average lies that
// close to k + 0.5; SafeMargin takes eight times that bound and such pixels are
// redone exactly. The footprints stop 0.000001 short of their far edges, which
// keeps exact halves some millionths of their value away from k + 0.5, many
// orders of magnitude beyond the margin, so that happens for next to no pixel.

namespace {

// Most source rows lie wholly inside their destination row's footprint
// (coverage exactly 1): those are summed as integers, exactly and sixteen
// bytes to a vector, and only the one or two partly covered rows at the
// edges go through doubles. Whole sums are exact, so a column's sum takes
// fewer roundings than when every row is multiplied and added in doubles,
// and the bound above holds as it stands. Each body is built twice, plain
// and for AVX2, and the filter picks one set when it first runs (Kernels).
constexpr std::int32_t kMostWholeRows = 65535 / 255;  // sums of bytes that fit 16 bits

[[gnu::always_inline]] inline void FirstWholeRowBody(std::uint16_t* whole, const std::uint8_t* row,
                                                     std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) whole[i] = row[i];
}

[[gnu::always_inline]] inline void AddWholeRowBody(std::uint16_t* whole, const std::uint8_t* row,
                                                   std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) whole[i] = static_cast<std::uint16_t>(whole[i] + row[i]);
}

// Two rows at a time where there are two: the sums are exact integers in any
// order, and each pass over them reads and writes the sums once.
[[gnu::always_inline]] inline void FirstTwoWholeRowsBody(std::uint16_t* whole, const std::uint8_t* row,
                                                         const std::uint8_t* next, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) whole[i] = static_cast<std::uint16_t>(row[i] + next[i]);
}

[[gnu::always_inline]] inline void AddTwoWholeRowsBody(std::uint16_t* whole, const std::uint8_t* row,
                                                       const std::uint8_t* next, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    whole[i] = static_cast<std::uint16_t>(whole[i] + (row[i] + next[i]));
}

// The last step down the rows: the last one or two whole rows added to the
// sum of the others (held in whole when there are more than two, so those
// never pass through memory twice), and the partly covered rows weighted:
// kEdges of them, most footprints having a whole row at one edge at least.
// kLayout 0: one whole row, 1: two, 2: more (whole holds all but the last two).
template <int kLayout, int kEdges>
[[gnu::always_inline]] inline void FinishBody(double* sums, const std::uint16_t* whole,
                                              const std::uint8_t* r0, const std::uint8_t* r1,
                                              const std::uint8_t* a, double wa, const std::uint8_t* b,
                                              double wb, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t w = r0[i];
    if constexpr (kLayout >= 1) w += r1[i];
    if constexpr (kLayout == 2) w += whole[i];
    double sum = static_cast<double>(w);
    if constexpr (kEdges >= 1) sum += wa * static_cast<double>(a[i]);
    if constexpr (kEdges == 2) sum += wb * static_cast<double>(b[i]);
    sums[i] = sum;
  }
}

// Every row in doubles: footprints too tall for 16-bit sums.
[[gnu::always_inline]] inline void FirstRowBody(double* sums, const std::uint8_t* row, std::size_t count,
                                                double coverage) {
  for (std::size_t i = 0; i < count; ++i) sums[i] = coverage * static_cast<double>(row[i]);
}

[[gnu::always_inline]] inline void AddRowBody(double* sums, const std::uint8_t* row, std::size_t count,
                                              double coverage) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += coverage * static_cast<double>(row[i]);
}

// Across the columns: the three channel sums of a destination pixel in one
// vector (a fourth lane rides along unused), rounded to bytes without a
// branch per channel, since on photos the direction is as good as random.
// A pixel whose average lies within the margin of a halfway point (or
// outside the byte range) is not written but listed for the exact filter.
// Returns how many were listed.
// The vectors never cross a function boundary, so the note that their
// passing convention differs between the two builds does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
using Lanes = double __attribute__((vector_size(32)));
using Masks = long long __attribute__((vector_size(32)));

[[gnu::always_inline]] inline std::int32_t AcrossRowBody(const ReducePlan& plan, const double* sums,
                                                         double inverse_area, double margin,
                                                         std::uint8_t* out, std::int32_t* undecided) {
  // Broadcasts and loads are written out rather than made by helpers: a
  // helper returning a vector would not build in the plain set with clang.
  const double rounder = 6755399441055744.0;
  const double h = 0.5 - margin;
  const Lanes round = {rounder, rounder, rounder, rounder};
  const Lanes half = {h, h, h, h}, low_half = {-h, -h, -h, -h};
  const Lanes zero = {0, 0, 0, 0}, top = {255, 255, 255, 255};
  const Lanes inverse = {inverse_area, inverse_area, inverse_area, inverse_area};
  std::int32_t listed = 0;
  const std::int32_t width = plan.width();
  for (std::int32_t x = 0; x < width; ++x, out += 3) {
    const std::int32_t columns = plan.SourceColumnCount(x);
    if (columns <= 0) {
      undecided[listed++] = x;
      continue;
    }
    const double* const wx = plan.ColumnCoverages(x);
    const double* s = sums + 3 * static_cast<std::size_t>(plan.FirstSourceColumn(x));
    Lanes v;
    std::memcpy(&v, s, sizeof v);
    Lanes acc = Lanes{wx[0], wx[0], wx[0], wx[0]} * v;
    for (std::int32_t m = 1; m < columns; ++m) {
      std::memcpy(&v, s + 3 * m, sizeof v);
      acc += Lanes{wx[m], wx[m], wx[m], wx[m]} * v;
    }
    const Lanes average = acc * inverse;
    const Lanes nearest = (average + round) - round;
    const Lanes off = average - nearest;
    const Masks bad = (off >= half) | (off <= low_half) | (nearest < zero) | (nearest > top);
    if (bad[0] | bad[1] | bad[2]) {
      undecided[listed++] = x;
      continue;
    }
    out[0] = static_cast<std::uint8_t>(nearest[0]);
    out[1] = static_cast<std::uint8_t>(nearest[1]);
    out[2] = static_cast<std::uint8_t>(nearest[2]);
  }
  return listed;
}

// One set of the passes above, built for one instruction set. Chosen when
// a filter first runs, not by the loader at every start of a program (as
// target_clones would be): asking the processor is slow where a hypervisor
// answers it, and most starts of tamarind2-cli filter nothing.
struct Kernels {
  void (*first_whole_row)(std::uint16_t*, const std::uint8_t*, std::size_t);
  void (*add_whole_row)(std::uint16_t*, const std::uint8_t*, std::size_t);
  void (*first_two_whole_rows)(std::uint16_t*, const std::uint8_t*, const std::uint8_t*, std::size_t);
  void (*add_two_whole_rows)(std::uint16_t*, const std::uint8_t*, const std::uint8_t*, std::size_t);
  // [layout][edges] as FinishBody's.
  void (*finish[3][3])(double*, const std::uint16_t*, const std::uint8_t*, const std::uint8_t*,
                       const std::uint8_t*, double, const std::uint8_t*, double, std::size_t);
  void (*first_row)(double*, const std::uint8_t*, std::size_t, double);
  void (*add_row)(double*, const std::uint8_t*, std::size_t, double);
  std::int32_t (*across_row)(const ReducePlan&, const double*, double, double, std::uint8_t*, std::int32_t*);
};

#define TAM_KERNELS(Name, ...)                                                                               \
  __VA_ARGS__ void FirstWholeRow##Name(std::uint16_t* whole, const std::uint8_t* row, std::size_t count) {   \
    FirstWholeRowBody(whole, row, count);                                                                    \
  }                                                                                                          \
  __VA_ARGS__ void AddWholeRow##Name(std::uint16_t* whole, const std::uint8_t* row, std::size_t count) {     \
    AddWholeRowBody(whole, row, count);                                                                      \
  }                                                                                                          \
  __VA_ARGS__ void FirstTwoWholeRows##Name(std::uint16_t* whole, const std::uint8_t* row,                    \
                                           const std::uint8_t* next, std::size_t count) {                    \
    FirstTwoWholeRowsBody(whole, row, next, count);                                                          \
  }                                                                                                          \
  __VA_ARGS__ void AddTwoWholeRows##Name(std::uint16_t* whole, const std::uint8_t* row,                      \
                                         const std::uint8_t* next, std::size_t count) {                      \
    AddTwoWholeRowsBody(whole, row, next, count);                                                            \
  }                                                                                                          \
  template <int kLayout, int kEdges>                                                                         \
  __VA_ARGS__ void Finish##Name(double* sums, const std::uint16_t* whole, const std::uint8_t* r0,            \
                                const std::uint8_t* r1, const std::uint8_t* a, double wa,                    \
                                const std::uint8_t* b, double wb, std::size_t count) {                       \
    FinishBody<kLayout, kEdges>(sums, whole, r0, r1, a, wa, b, wb, count);                                   \
  }                                                                                                          \
  __VA_ARGS__ void FirstRow##Name(double* sums, const std::uint8_t* row, std::size_t count,                  \
                                  double coverage) {                                                         \
    FirstRowBody(sums, row, count, coverage);                                                                \
  }                                                                                                          \
  __VA_ARGS__ void AddRow##Name(double* sums, const std::uint8_t* row, std::size_t count, double coverage) { \
    AddRowBody(sums, row, count, coverage);                                                                  \
  }                                                                                                          \
  __VA_ARGS__ std::int32_t AcrossRow##Name(const ReducePlan& plan, const double* sums, double inverse_area,  \
                                           double margin, std::uint8_t* out, std::int32_t* undecided) {      \
    return AcrossRowBody(plan, sums, inverse_area, margin, out, undecided);                                  \
  }                                                                                                          \
  constexpr Kernels k##Name = {FirstWholeRow##Name,                                                          \
                               AddWholeRow##Name,                                                            \
                               FirstTwoWholeRows##Name,                                                      \
                               AddTwoWholeRows##Name,                                                        \
                               {{Finish##Name<0, 0>, Finish##Name<0, 1>, Finish##Name<0, 2>},                \
                                {Finish##Name<1, 0>, Finish##Name<1, 1>, Finish##Name<1, 2>},                \
                                {Finish##Name<2, 0>, Finish##Name<2, 1>, Finish##Name<2, 2>}},               \
                               FirstRow##Name,                                                               \
                               AddRow##Name,                                                                 \
                               AcrossRow##Name};

TAM_KERNELS(Plain)

#if defined(__x86_64__) || defined(__i386__)
TAM_KERNELS(Avx2, __attribute__((target("avx2,fma"))))

// AVX2 and FMA in the processor, and their registers saved by the system.
bool HasAvx2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX) || !(c & bit_FMA)) return false;
  unsigned saved = 0, high = 0;
  __asm__("xgetbv" : "=a"(saved), "=d"(high) : "c"(0));
  if ((saved & 6) != 6) return false;  // XMM and YMM state
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}

const Kernels& ChosenKernels() {
  static const Kernels& chosen = HasAvx2() ? kAvx2 : kPlain;
  return chosen;
}
#else
const Kernels& ChosenKernels() { return kPlain; }
#endif
#undef TAM_KERNELS

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
      // One more than the sums: the last pixel's unused fourth lane reads it.
      sums_(static_cast<std::size_t>(plan.source_width()) * 3 + 1),
      whole_(static_cast<std::size_t>(plan.source_width()) * 3),
      undecided_(static_cast<std::size_t>(plan.width())) {}

void FastRowFilter::FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out) {
  const std::size_t count = static_cast<std::size_t>(plan_.source_width()) * 3;
  double* const sums = sums_.data();
  const std::int32_t first = plan_.FirstSourceRow(y);
  const std::int32_t last = plan_.LastSourceRow(y);
  const double* const wy = plan_.RowCoverages(y);
  const std::int32_t width = plan_.width();
  const Kernels& k = ChosenKernels();
  if (last < first) {
    // No source row under the footprint (never for a plan that reduces).
    for (std::int32_t x = 0; x < width; ++x) plan_.FilterPixel(x, y, source_rows, out + 3 * x);
    exact_pixels_ += width;
    return;
  }
  // The partly covered rows are the first and the last at most; any other
  // layout, or too many whole rows for 16 bits, takes every row in doubles.
  const std::int32_t rows = last - first + 1;
  const std::int32_t inner_first = wy[0] == 1.0 ? first : first + 1;
  const std::int32_t inner_last = wy[rows - 1] == 1.0 ? last : last - 1;
  bool integral = inner_last - inner_first + 1 <= kMostWholeRows;
  for (std::int32_t i = inner_first; integral && i <= inner_last; ++i) integral = wy[i - first] == 1.0;
  if (integral && inner_first <= inner_last) {
    // All but the last two whole rows into whole, two at a time where there
    // are two; the last two go straight into the doubles.
    std::uint16_t* const whole = whole_.data();
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
    k.finish[layout][edges](sums, whole, r0, r1, a, a_coverage, b, wb, count);
  } else {
    k.first_row(sums, source_rows[first], count, wy[0]);
    for (std::int32_t i = first + 1; i <= last; ++i) k.add_row(sums, source_rows[i], count, wy[i - first]);
  }

  const std::int32_t listed = k.across_row(plan_, sums, inverse_area_, margin_, out, undecided_.data());
  for (std::int32_t k = 0; k < listed; ++k) {
    const std::int32_t x = undecided_[static_cast<std::size_t>(k)];
    plan_.FilterPixel(x, y, source_rows, out + 3 * static_cast<std::size_t>(x));
  }
  exact_pixels_ += listed;
}

}  // namespace tam
