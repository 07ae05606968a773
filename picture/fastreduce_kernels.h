// SPDX-License-Identifier: MIT
#pragma once
// The kernels of the fast filter (picture/fastreduce.h): its passes down the
// rows and across the columns, built once plain and once for AVX2, and what
// the filter hands them. For fastreduce.cpp alone.
#include <cstddef>
#include <cstdint>

namespace tam::fast_kernels {

// The sums in 16 bits hold all but the last two whole rows (FilterRow), and
// 257 rows of bytes fit them.
constexpr std::int32_t kMostWholeRows = 65535 / 255 + 2;

// The widest footprint with a loop of its own, unrolled: enough for a
// quarter-sized copy of a 24 MP photo; wider ones take the loop for any count.
constexpr std::int32_t kMostUnrolled = 16;

template <typename T>
struct ColumnTable {
  const std::int32_t* start;  // per destination column: its first source column's sums
  const T* coverages;         // per destination column: count coverages, the last ones zero
  const T* pairs;  // floats: per pair of columns, for each of count, the first's four times, the second's
  std::int32_t width;
  std::int32_t count;
};

// How FilterRow formed one destination row's sums down the source rows in
// the integral layout (FinishBody's arguments); layout -1: every row
// weighted, from the footprint's rows.
struct RowSums {
  int layout = -1, edges = 0;
  const std::uint16_t* whole = nullptr;
  const std::uint8_t *r0 = nullptr, *r1 = nullptr, *a = nullptr, *b = nullptr;
  double wa = 0, wb = 0;
};

struct Footprint {
  const RowSums* down;
  const std::uint8_t* const* rows;  // the footprint's first source row, then the others
  const double* wy;
  std::int32_t ny;
  std::size_t start;      // the first column's first byte
  std::size_t row_bytes;  // of a source row
  const double* wx;
  std::int32_t nx;
  double inverse_area;
  double margin;
};

// One set of the passes above, built for one instruction set. Chosen when
// a filter first runs, not by the loader at every start of a program (as
// target_clones would be): asking the processor is slow where a hypervisor
// answers it, and most starts of tamarind2-cli filter nothing.
struct KernelSet {
  void (*first_whole_row)(std::uint16_t*, const std::uint8_t*, std::size_t);
  void (*add_whole_row)(std::uint16_t*, const std::uint8_t*, std::size_t);
  void (*first_two_whole_rows)(std::uint16_t*, const std::uint8_t*, const std::uint8_t*, std::size_t);
  void (*add_two_whole_rows)(std::uint16_t*, const std::uint8_t*, const std::uint8_t*, std::size_t);
  // [layout][edges] as FinishBody's.
  void (*finish[3][3])(double*, const std::uint16_t*, const std::uint8_t*, const std::uint8_t*,
                       const std::uint8_t*, double, const std::uint8_t*, double, std::size_t);
  void (*first_row)(double*, const std::uint8_t*, std::size_t, double);
  void (*add_row)(double*, const std::uint8_t*, std::size_t, double);
  // [count] for the counts up to kMostUnrolled, [0] for any.
  std::int32_t (*across_row[kMostUnrolled + 1])(const ColumnTable<double>&, const double*, double, double,
                                                std::uint8_t*, std::int32_t*);
  // The same in single precision.
  void (*finish_float[3][3])(float*, const std::uint16_t*, const std::uint8_t*, const std::uint8_t*,
                             const std::uint8_t*, float, const std::uint8_t*, float, std::size_t);
  void (*first_row_float)(float*, const std::uint8_t*, std::size_t, float);
  void (*add_row_float)(float*, const std::uint8_t*, std::size_t, float);
  std::int32_t (*across_row_float[kMostUnrolled + 1])(const ColumnTable<float>&, const float*, float, float,
                                                      float, std::uint8_t*, std::int32_t*);
  bool (*decide)(const Footprint&, std::uint8_t*);
};

// The plain set, or the fastest the processor runs.
const KernelSet& ChosenKernels(bool plain);

}  // namespace tam::fast_kernels
