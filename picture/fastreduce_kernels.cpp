// SPDX-License-Identifier: MIT
#include "picture/fastreduce_kernels.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "picture/cpu.h"

// Why the sums are formed as they are: picture/fastreduce.cpp.
namespace tam::fast_kernels {

namespace {

// Most source rows lie wholly inside their destination row's footprint
// (coverage exactly 1): those are summed as integers, exactly and sixteen
// bytes to a vector, and only the one or two partly covered rows at the
// edges go through doubles. Whole sums are exact, so a column's sum takes
// fewer roundings than when every row is multiplied and added in doubles,
// and the bound above holds as it stands. Each body is built twice, plain
// and for AVX2, and the filter picks one set when it first runs (KernelSet).

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
// T: double, or float for the single-precision passes.
template <int kLayout, int kEdges, typename T>
[[gnu::always_inline]] inline void FinishBody(T* sums, const std::uint16_t* whole, const std::uint8_t* r0,
                                              const std::uint8_t* r1, const std::uint8_t* a, T wa,
                                              const std::uint8_t* b, T wb, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t w = r0[i];
    if constexpr (kLayout >= 1) w += r1[i];
    if constexpr (kLayout == 2) w += whole[i];
    T sum = static_cast<T>(w);
    if constexpr (kEdges >= 1) sum += wa * static_cast<T>(a[i]);
    if constexpr (kEdges == 2) sum += wb * static_cast<T>(b[i]);
    sums[i] = sum;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the set's own operations, eight values a step: the bytes
// widened straight from memory to 32 bits, four at a time, rather than
// through the wider vectors and extractions the compiler makes of the loop
// above. The last values take that loop.
template <int kLayout, int kEdges>
[[gnu::always_inline]] inline __attribute__((target("avx2,fma"))) void FinishAvx2Body(
    double* sums, const std::uint16_t* whole, const std::uint8_t* r0, const std::uint8_t* r1,
    const std::uint8_t* a, double wa, const std::uint8_t* b, double wb, std::size_t count) {
  const __m256d va = _mm256_set1_pd(wa), vb = _mm256_set1_pd(wb);
  const auto four = [](const std::uint8_t* p) __attribute__((always_inline, target("avx2"))) {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(v));
  };
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    for (std::size_t half = 0; half < 8; half += 4) {
      const std::size_t j = i + half;
      __m128i w = four(r0 + j);
      if constexpr (kLayout >= 1) w = _mm_add_epi32(w, four(r1 + j));
      if constexpr (kLayout == 2) {
        w = _mm_add_epi32(w,
                          _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(whole + j))));
      }
      __m256d sum = _mm256_cvtepi32_pd(w);
      if constexpr (kEdges >= 1) sum = _mm256_fmadd_pd(va, _mm256_cvtepi32_pd(four(a + j)), sum);
      if constexpr (kEdges == 2) sum = _mm256_fmadd_pd(vb, _mm256_cvtepi32_pd(four(b + j)), sum);
      _mm256_storeu_pd(sums + j, sum);
    }
  }
  FinishBody<kLayout, kEdges>(sums + i, whole + i, r0 + i, r1 + i, a + i, wa, b + i, wb, count - i);
}

// Eight floats a step.
template <int kLayout, int kEdges>
[[gnu::always_inline]] inline __attribute__((target("avx2,fma"))) void FinishFloatAvx2Body(
    float* sums, const std::uint16_t* whole, const std::uint8_t* r0, const std::uint8_t* r1,
    const std::uint8_t* a, float wa, const std::uint8_t* b, float wb, std::size_t count) {
  const __m256 va = _mm256_set1_ps(wa), vb = _mm256_set1_ps(wb);
#define TAM_EIGHT(p) _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m256i w = TAM_EIGHT(r0 + i);
    if constexpr (kLayout >= 1) w = _mm256_add_epi32(w, TAM_EIGHT(r1 + i));
    if constexpr (kLayout == 2) {
      w = _mm256_add_epi32(
          w, _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(whole + i))));
    }
    __m256 sum = _mm256_cvtepi32_ps(w);
    if constexpr (kEdges >= 1) sum = _mm256_fmadd_ps(va, _mm256_cvtepi32_ps(TAM_EIGHT(a + i)), sum);
    if constexpr (kEdges == 2) sum = _mm256_fmadd_ps(vb, _mm256_cvtepi32_ps(TAM_EIGHT(b + i)), sum);
    _mm256_storeu_ps(sums + i, sum);
  }
  FinishBody<kLayout, kEdges>(sums + i, whole + i, r0 + i, r1 + i, a + i, wa, b + i, wb, count - i);
}
#undef TAM_EIGHT
#endif

// Every row weighted: footprints too tall for 16-bit sums.
template <typename T>
[[gnu::always_inline]] inline void FirstRowBody(T* sums, const std::uint8_t* row, std::size_t count,
                                                T coverage) {
  for (std::size_t i = 0; i < count; ++i) sums[i] = coverage * static_cast<T>(row[i]);
}

template <typename T>
[[gnu::always_inline]] inline void AddRowBody(T* sums, const std::uint8_t* row, std::size_t count,
                                              T coverage) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += coverage * static_cast<T>(row[i]);
}

// Across the columns: the three channel sums of a destination pixel in one
// vector (a fourth lane rides along unused), from a table made once per
// plan (ColumnTable): where the footprint starts in the sums and its
// coverages, padded with zeros to the widest footprint's count, so that
// every pixel runs the same straight line of code. A zero coverage adds an
// exact zero (the sums are padded too, so the reads past the row's last
// column are zeros). The even and odd columns go into two sums added at the
// end, which breaks the chain of dependent multiply-adds in two and takes no
// term through more roundings than one sum in order takes its first.
// The vectors never cross a function boundary, so the note that their
// passing convention differs between the two builds does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
using Lanes = double __attribute__((vector_size(32)));
using FloatLanes = float __attribute__((vector_size(16)));
template <typename T>
struct LanesFor;
template <>
struct LanesFor<double> {
  using type = Lanes;
};
template <>
struct LanesFor<float> {
  using type = FloatLanes;
};
template <typename T>
using LanesOf = typename LanesFor<T>::type;

// The weighted sum of one pixel's count columns into sum. count is a
// constant where the caller's is (the loop then unrolls).
template <typename T>
[[gnu::always_inline]] inline void SumAcross(const T* s, const T* wx, std::int32_t count, LanesOf<T>& sum) {
  // Broadcasts and loads are written out rather than made by helpers: a
  // helper returning a vector would not build in the plain set with clang.
  using V = LanesOf<T>;
  V even = {0, 0, 0, 0}, odd = {0, 0, 0, 0}, v;
  for (std::int32_t m = 0; m < count; m += 2) {
    std::memcpy(&v, s + 3 * m, sizeof v);
    even += V{wx[m], wx[m], wx[m], wx[m]} * v;
    if (m + 1 < count) {
      std::memcpy(&v, s + 3 * (m + 1), sizeof v);
      odd += V{wx[m + 1], wx[m + 1], wx[m + 1], wx[m + 1]} * v;
    }
  }
  sum = even + odd;
}

// Each pixel's average is rounded to bytes without a branch per channel,
// since on photos the direction is as good as random, and written. One
// whose average lies within the margin of a halfway point (or outside the
// byte range) is listed besides, for the exact filter to overwrite: a branch
// that is next to never taken, so that no store waits for the sums (a store
// to where the count of listed pixels says would wait for every pixel
// before it). Returns how many were listed. kCount: the table's count, or 0
// for any count.
constexpr double kRounder = 6755399441055744.0;  // 1.5 * 2^52: added, leaves the integer in the low bits
constexpr float kFloatRounder = 12582912.0f;     // 1.5 * 2^23

// settle > 0 (floats, where HalfThreshold holds): a channel whose average lies
// within settle of a halfway point is an exact half and rounds down; only a
// pixel outside the byte range is listed.
template <int kCount, typename T>
[[gnu::always_inline]] inline std::int32_t AcrossRowBody(const ColumnTable<T>& table, const T* sums,
                                                         T inverse_area, T margin, T settle,
                                                         std::uint8_t* out, std::int32_t* undecided) {
  using V = LanesOf<T>;
  const T h = T(0.5) - margin;
  const T s = T(0.5) - settle;
  const V settled = {-s, -s, -s, -s};
  const T r = std::is_same_v<T, float> ? kFloatRounder : kRounder;
  const V round = {r, r, r, r};
  const V half = {h, h, h, h}, low_half = {-h, -h, -h, -h};
  const V zero = {0, 0, 0, 0}, top = {255, 255, 255, 255};
  const V inverse = {inverse_area, inverse_area, inverse_area, inverse_area};
  const std::int32_t count = kCount > 0 ? kCount : table.count;
  std::int32_t listed = 0;
  for (std::int32_t x = 0; x < table.width; ++x, out += 3) {
    V sum;
    SumAcross(sums + table.start[x],
              table.coverages + static_cast<std::size_t>(count) * static_cast<std::size_t>(x), count, sum);
    const V average = sum * inverse;
    V nearest = (average + round) - round;
    const V off = average - nearest;
    if (settle > 0) {
      // Rounded up past the half: one less (the mask is -1 where so).
      nearest += __builtin_convertvector(off < settled, V);
      const auto bad = (nearest < zero) | (nearest > top);
      if (bad[0] | bad[1] | bad[2]) undecided[listed++] = x;
    } else {
      const auto bad = (off >= half) | (off <= low_half) | (nearest < zero) | (nearest > top);
      if (bad[0] | bad[1] | bad[2]) undecided[listed++] = x;
    }
    // Through int32: a listed pixel's value may lie outside the bytes.
    out[0] = static_cast<std::uint8_t>(static_cast<std::int32_t>(nearest[0]));
    out[1] = static_cast<std::uint8_t>(static_cast<std::int32_t>(nearest[1]));
    out[2] = static_cast<std::uint8_t>(static_cast<std::int32_t>(nearest[2]));
  }
  return listed;
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the set's own operations: the sum no lower than zero (no
// term is negative), a mask of the channels that need the exact filter, and
// the three bytes gathered from the rounded sums' low bits, stored as four
// (the fourth is the next pixel's, written after) but for the last pixel.
template <int kCount>
[[gnu::always_inline]] inline __attribute__((target("avx2,fma"))) std::int32_t AcrossRowAvx2Body(
    const ColumnTable<double>& table, const double* sums, double inverse_area, double margin,
    [[maybe_unused]] double settle, std::uint8_t* out, std::int32_t* undecided) {
  const __m256d round = _mm256_set1_pd(kRounder);
  const __m256d half = _mm256_set1_pd(0.5 - margin);
  const __m256d top = _mm256_set1_pd(255);
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256d inverse = _mm256_set1_pd(inverse_area);
  const __m256i low_bytes = _mm256_set_epi32(0, 0, 0, 0, 6, 4, 2, 0);
  const __m128i three = _mm_set_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 8, 4, 0);
  const std::int32_t count = kCount > 0 ? kCount : table.count;
  const std::int32_t* const starts = table.start;
  const double* const coverages = table.coverages;
  const std::int32_t width = table.width;
  std::int32_t listed = 0;
  std::int32_t x = 0;
  // Two pixels a step: one test for doubt and one store for both.
  const __m128i six = _mm_set_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 12, 10, 8, 4, 2, 0);
  for (; x + 1 < width; x += 2, out += 6) {
    Lanes first, second;
    SumAcross(sums + starts[x], coverages + static_cast<std::size_t>(count) * static_cast<std::size_t>(x),
              count, first);
    SumAcross(sums + starts[x + 1],
              coverages + static_cast<std::size_t>(count) * static_cast<std::size_t>(x + 1), count, second);
    const __m256d rounded0 = _mm256_fmadd_pd(first, inverse, round);
    const __m256d rounded1 = _mm256_fmadd_pd(second, inverse, round);
    const __m256d nearest0 = _mm256_sub_pd(rounded0, round);
    const __m256d nearest1 = _mm256_sub_pd(rounded1, round);
    const __m256d off0 = _mm256_fmsub_pd(first, inverse, nearest0);
    const __m256d off1 = _mm256_fmsub_pd(second, inverse, nearest1);
    const __m256d bad0 = _mm256_or_pd(_mm256_cmp_pd(_mm256_and_pd(off0, magnitude), half, _CMP_GE_OQ),
                                      _mm256_cmp_pd(nearest0, top, _CMP_GT_OQ));
    const __m256d bad1 = _mm256_or_pd(_mm256_cmp_pd(_mm256_and_pd(off1, magnitude), half, _CMP_GE_OQ),
                                      _mm256_cmp_pd(nearest1, top, _CMP_GT_OQ));
    const int bad = _mm256_movemask_pd(bad0) | _mm256_movemask_pd(bad1) << 4;
    if (bad & 0x77) [[unlikely]] {
      if (bad & 0x07) undecided[listed++] = x;
      if (bad & 0x70) undecided[listed++] = x + 1;
    }
    // The low 32 bits of each rounded sum, both pixels' in one vector, to
    // 16 bits and then to the six bytes.
    const __m128i words = _mm_packus_epi32(
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(rounded0), low_bytes)),
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(rounded1), low_bytes)));
    const std::uint64_t pixels = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_shuffle_epi8(words, six)));
    std::memcpy(out, &pixels, 6);
  }
  for (; x < width; ++x, out += 3) {
    Lanes sum;
    SumAcross(sums + starts[x], coverages + static_cast<std::size_t>(count) * static_cast<std::size_t>(x),
              count, sum);
    const __m256d rounded = _mm256_fmadd_pd(sum, inverse, round);
    const __m256d nearest = _mm256_sub_pd(rounded, round);
    const __m256d off = _mm256_fmsub_pd(sum, inverse, nearest);
    const __m256d far = _mm256_cmp_pd(_mm256_and_pd(off, magnitude), half, _CMP_GE_OQ);
    const __m256d bad = _mm256_or_pd(far, _mm256_cmp_pd(nearest, top, _CMP_GT_OQ));
    if (_mm256_movemask_pd(bad) & 7) undecided[listed++] = x;
    const __m128i bytes = _mm_shuffle_epi8(
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(rounded), low_bytes)), three);
    const std::uint32_t pixel = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
    if (x + 1 < width) {
      std::memcpy(out, &pixel, 4);
    } else {
      out[0] = static_cast<std::uint8_t>(pixel);
      out[1] = static_cast<std::uint8_t>(pixel >> 8);
      out[2] = static_cast<std::uint8_t>(pixel >> 16);
    }
  }
  return listed;
}

// The same in single precision, two pixels to a vector (the first in the
// low half): each step loads the two footprints' next column and their
// coverages laid out for it. The rounded sum's low byte is the integer's.
template <int kCount>
[[gnu::always_inline]] inline __attribute__((target("avx2,fma"))) std::int32_t AcrossRowFloatAvx2Body(
    const ColumnTable<float>& table, const float* sums, float inverse_area, float margin, float settle,
    std::uint8_t* out, std::int32_t* undecided) {
  const __m256 round = _mm256_set1_ps(kFloatRounder);
  const __m256 half = _mm256_set1_ps(0.5f - margin);
  const __m256 settled = _mm256_set1_ps(settle - 0.5f);
  const __m256 one = _mm256_set1_ps(settle > 0 ? 1.0f : 0.0f);
  const __m256 top = _mm256_set1_ps(255);
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 inverse = _mm256_set1_ps(inverse_area);
  const __m256i three = _mm256_setr_epi8(0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                         0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const std::int32_t count = kCount > 0 ? kCount : table.count;
  const std::int32_t width = table.width;
  std::int32_t listed = 0;
  std::int32_t x = 0;
  for (; x + 1 < width; x += 2, out += 6) {
    const float* const s0 = sums + table.start[x];
    const float* const s1 = sums + table.start[x + 1];
    const float* const w =
        table.pairs + static_cast<std::size_t>(count) * 8 * static_cast<std::size_t>(x / 2);
    __m256 even = _mm256_setzero_ps(), odd = _mm256_setzero_ps();
    for (std::int32_t m = 0; m < count; m += 2) {
      __m256 v =
          _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(s0 + 3 * m)), _mm_loadu_ps(s1 + 3 * m), 1);
      even = _mm256_fmadd_ps(_mm256_loadu_ps(w + 8 * m), v, even);
      if (m + 1 < count) {
        v = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(s0 + 3 * (m + 1))),
                                 _mm_loadu_ps(s1 + 3 * (m + 1)), 1);
        odd = _mm256_fmadd_ps(_mm256_loadu_ps(w + 8 * (m + 1)), v, odd);
      }
    }
    const __m256 sum = _mm256_add_ps(even, odd);
    __m256 rounded = _mm256_fmadd_ps(sum, inverse, round);
    const __m256 nearest = _mm256_sub_ps(rounded, round);
    const __m256 off = _mm256_fmsub_ps(sum, inverse, nearest);
    // Settling: a channel rounded up past an exact half loses one (the
    // rounded sum's low bits hold the byte; one is subtracted exactly), and
    // none is listed for being near a half.
    rounded = _mm256_sub_ps(rounded, _mm256_and_ps(_mm256_cmp_ps(off, settled, _CMP_LT_OQ), one));
    const __m256 far =
        settle > 0 ? _mm256_setzero_ps() : _mm256_cmp_ps(_mm256_and_ps(off, magnitude), half, _CMP_GE_OQ);
    const int bad = _mm256_movemask_ps(_mm256_or_ps(far, _mm256_cmp_ps(nearest, top, _CMP_GT_OQ)));
    if (bad & 0x77) [[unlikely]] {
      if (bad & 0x07) undecided[listed++] = x;
      if (bad & 0x70) undecided[listed++] = x + 1;
    }
    const __m256i bytes = _mm256_shuffle_epi8(_mm256_castps_si256(rounded), three);
    const std::uint32_t first = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(bytes));
    const std::uint32_t second = static_cast<std::uint32_t>(_mm256_extract_epi32(bytes, 4));
    std::memcpy(out, &first, 4);
    if (x + 2 < width) {
      std::memcpy(out + 3, &second, 4);
    } else {
      out[3] = static_cast<std::uint8_t>(second);
      out[4] = static_cast<std::uint8_t>(second >> 8);
      out[5] = static_cast<std::uint8_t>(second >> 16);
    }
  }
  if (x < width) {
    // The last pixel of an odd width alone.
    ColumnTable<float> last = table;
    last.start += x;
    last.coverages += static_cast<std::size_t>(count) * static_cast<std::size_t>(x);
    last.width = 1;
    const std::int32_t more =
        AcrossRowBody<kCount>(last, sums, inverse_area, margin, settle, out, undecided + listed);
    if (more > 0) undecided[listed++] = x;
  }
  return listed;
}
#endif

// One destination pixel in doubles, straight from its source rows: down
// each column of the footprint, then across, the three channels side by
// side. For the few pixels the single-precision passes leave undecided.
[[gnu::always_inline]] inline bool DecideBody(const Footprint& f, std::uint8_t* out) {
  Lanes sum = {0, 0, 0, 0};
  for (std::int32_t m = 0; m < f.nx; ++m) {
    const std::size_t at = f.start + 3 * static_cast<std::size_t>(m);
    Lanes down = {0, 0, 0, 0};
    for (std::int32_t k = 0; k < f.ny; ++k) {
      const std::uint8_t* const p = f.rows[k] + at;
      const double w = f.wy[k];
      down += Lanes{w, w, w, w} *
              Lanes{static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2]), 0};
    }
    const double w = f.wx[m];
    sum += Lanes{w, w, w, w} * down;
  }
  const double h = 0.5 - f.margin;
  const Lanes round = {kRounder, kRounder, kRounder, kRounder};
  const Lanes average = sum * Lanes{f.inverse_area, f.inverse_area, f.inverse_area, f.inverse_area};
  const Lanes nearest = (average + round) - round;
  const Lanes off = average - nearest;
  const auto bad = (off >= Lanes{h, h, h, h}) | (off <= Lanes{-h, -h, -h, -h}) |
                   (nearest < Lanes{0, 0, 0, 0}) | (nearest > Lanes{255, 255, 255, 255});
  if (bad[0] | bad[1] | bad[2]) return false;
  out[0] = static_cast<std::uint8_t>(static_cast<std::int32_t>(nearest[0]));
  out[1] = static_cast<std::uint8_t>(static_cast<std::int32_t>(nearest[1]));
  out[2] = static_cast<std::uint8_t>(static_cast<std::int32_t>(nearest[2]));
  return true;
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the set's own operations: each column's three bytes widened
// from one 4-byte load, where the row has a fourth byte after them.
[[gnu::always_inline]] inline __attribute__((target("avx2,fma"))) bool DecideAvx2Body(const Footprint& f,
                                                                                      std::uint8_t* out) {
  __m256d sum = _mm256_setzero_pd();
  const RowSums& d = *f.down;
  if (d.layout >= 0) {
    // From the whole rows' integer sums, as the row was summed.
    const __m256d wa = _mm256_set1_pd(d.wa), wb = _mm256_set1_pd(d.wb);
    for (std::int32_t m = 0; m < f.nx; ++m) {
      const std::size_t at = f.start + 3 * static_cast<std::size_t>(m);
      const bool whole_load = at + 4 <= f.row_bytes;
      const auto four = [&](const std::uint8_t* p) __attribute__((always_inline, target("avx2"))) {
        std::int32_t bytes;
        if (whole_load) {
          std::memcpy(&bytes, p + at, sizeof bytes);
        } else {
          bytes = p[at] | p[at + 1] << 8 | p[at + 2] << 16;
        }
        return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes));
      };
      __m128i w = four(d.r0);
      if (d.layout >= 1) w = _mm_add_epi32(w, four(d.r1));
      // whole has one value to spare after the last column's.
      if (d.layout == 2) {
        w = _mm_add_epi32(
            w, _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d.whole + at))));
      }
      __m256d down = _mm256_cvtepi32_pd(w);
      if (d.edges >= 1) down = _mm256_fmadd_pd(wa, _mm256_cvtepi32_pd(four(d.a)), down);
      if (d.edges == 2) down = _mm256_fmadd_pd(wb, _mm256_cvtepi32_pd(four(d.b)), down);
      sum = _mm256_fmadd_pd(_mm256_broadcast_sd(f.wx + m), down, sum);
    }
  }
  // Otherwise every row weighted, the rows' coverages broadcast once (a
  // footprint that tall is rare: the later rows take theirs at each step).
  constexpr std::int32_t kHeld = 8;
  __m256d wy[kHeld];
  for (std::int32_t k = 0; d.layout < 0 && k < f.ny && k < kHeld; ++k) wy[k] = _mm256_broadcast_sd(f.wy + k);
  const auto row_coverage = [&](std::int32_t k) __attribute__((always_inline, target("avx2"))) {
    return k < kHeld ? wy[k] : _mm256_broadcast_sd(f.wy + k);
  };
  for (std::int32_t m = 0; d.layout < 0 && m < f.nx; ++m) {
    const std::size_t at = f.start + 3 * static_cast<std::size_t>(m);
    __m256d down = _mm256_setzero_pd();
    // The fourth lane takes the next byte, or nothing at the row's end; it
    // is never read.
    if (at + 4 <= f.row_bytes) {
      for (std::int32_t k = 0; k < f.ny; ++k) {
        std::int32_t bytes;
        std::memcpy(&bytes, f.rows[k] + at, sizeof bytes);
        const __m256d v = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes)));
        down = _mm256_fmadd_pd(row_coverage(k), v, down);
      }
    } else {
      for (std::int32_t k = 0; k < f.ny; ++k) {
        const std::uint8_t* const p = f.rows[k] + at;
        const std::int32_t bytes = p[0] | p[1] << 8 | p[2] << 16;
        const __m256d v = _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes)));
        down = _mm256_fmadd_pd(row_coverage(k), v, down);
      }
    }
    sum = _mm256_fmadd_pd(_mm256_broadcast_sd(f.wx + m), down, sum);
  }
  const __m256d round = _mm256_set1_pd(kRounder);
  const __m256d inverse = _mm256_set1_pd(f.inverse_area);
  const __m256d rounded = _mm256_fmadd_pd(sum, inverse, round);
  const __m256d nearest = _mm256_sub_pd(rounded, round);
  const __m256d off = _mm256_fmsub_pd(sum, inverse, nearest);
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256d far =
      _mm256_cmp_pd(_mm256_and_pd(off, magnitude), _mm256_set1_pd(0.5 - f.margin), _CMP_GE_OQ);
  const __m256d bad = _mm256_or_pd(far, _mm256_cmp_pd(nearest, _mm256_set1_pd(255), _CMP_GT_OQ));
  if (_mm256_movemask_pd(bad) & 7) return false;
  alignas(32) double values[4];
  _mm256_store_pd(values, nearest);
  for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(static_cast<std::int32_t>(values[c]));
  return true;
}
#endif

#define TAM_KERNELS(Name, FinishRows, FinishFloatRows, AcrossBody, AcrossFloatBody, DecideOne, ...)          \
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
    FinishRows<kLayout, kEdges>(sums, whole, r0, r1, a, wa, b, wb, count);                                   \
  }                                                                                                          \
  __VA_ARGS__ void FirstRow##Name(double* sums, const std::uint8_t* row, std::size_t count,                  \
                                  double coverage) {                                                         \
    FirstRowBody(sums, row, count, coverage);                                                                \
  }                                                                                                          \
  __VA_ARGS__ void AddRow##Name(double* sums, const std::uint8_t* row, std::size_t count, double coverage) { \
    AddRowBody(sums, row, count, coverage);                                                                  \
  }                                                                                                          \
  template <int kCount>                                                                                      \
  __VA_ARGS__ std::int32_t AcrossRow##Name(const ColumnTable<double>& table, const double* sums,             \
                                           double inverse_area, double margin, std::uint8_t* out,            \
                                           std::int32_t* undecided) {                                        \
    return AcrossBody<kCount>(table, sums, inverse_area, margin, 0.0, out, undecided);                       \
  }                                                                                                          \
  template <int kLayout, int kEdges>                                                                         \
  __VA_ARGS__ void FinishFloat##Name(float* sums, const std::uint16_t* whole, const std::uint8_t* r0,        \
                                     const std::uint8_t* r1, const std::uint8_t* a, float wa,                \
                                     const std::uint8_t* b, float wb, std::size_t count) {                   \
    FinishFloatRows<kLayout, kEdges>(sums, whole, r0, r1, a, wa, b, wb, count);                              \
  }                                                                                                          \
  __VA_ARGS__ void FirstRowFloat##Name(float* sums, const std::uint8_t* row, std::size_t count,              \
                                       float coverage) {                                                     \
    FirstRowBody(sums, row, count, coverage);                                                                \
  }                                                                                                          \
  __VA_ARGS__ void AddRowFloat##Name(float* sums, const std::uint8_t* row, std::size_t count,                \
                                     float coverage) {                                                       \
    AddRowBody(sums, row, count, coverage);                                                                  \
  }                                                                                                          \
  template <int kCount>                                                                                      \
  __VA_ARGS__ std::int32_t AcrossRowFloat##Name(const ColumnTable<float>& table, const float* sums,          \
                                                float inverse_area, float margin, float settle,              \
                                                std::uint8_t* out, std::int32_t* undecided) {                \
    return AcrossFloatBody<kCount>(table, sums, inverse_area, margin, settle, out, undecided);               \
  }                                                                                                          \
  __VA_ARGS__ bool Decide##Name(const Footprint& f, std::uint8_t* out) { return DecideOne(f, out); }         \
  constexpr KernelSet k##Name = {                                                                            \
      FirstWholeRow##Name,                                                                                   \
      AddWholeRow##Name,                                                                                     \
      FirstTwoWholeRows##Name,                                                                               \
      AddTwoWholeRows##Name,                                                                                 \
      {{Finish##Name<0, 0>, Finish##Name<0, 1>, Finish##Name<0, 2>},                                         \
       {Finish##Name<1, 0>, Finish##Name<1, 1>, Finish##Name<1, 2>},                                         \
       {Finish##Name<2, 0>, Finish##Name<2, 1>, Finish##Name<2, 2>}},                                        \
      FirstRow##Name,                                                                                        \
      AddRow##Name,                                                                                          \
      {AcrossRow##Name<0>, AcrossRow##Name<1>, AcrossRow##Name<2>, AcrossRow##Name<3>, AcrossRow##Name<4>,   \
       AcrossRow##Name<5>, AcrossRow##Name<6>, AcrossRow##Name<7>, AcrossRow##Name<8>, AcrossRow##Name<9>,   \
       AcrossRow##Name<10>, AcrossRow##Name<11>, AcrossRow##Name<12>, AcrossRow##Name<13>,                   \
       AcrossRow##Name<14>, AcrossRow##Name<15>, AcrossRow##Name<16>},                                       \
      {{FinishFloat##Name<0, 0>, FinishFloat##Name<0, 1>, FinishFloat##Name<0, 2>},                          \
       {FinishFloat##Name<1, 0>, FinishFloat##Name<1, 1>, FinishFloat##Name<1, 2>},                          \
       {FinishFloat##Name<2, 0>, FinishFloat##Name<2, 1>, FinishFloat##Name<2, 2>}},                         \
      FirstRowFloat##Name,                                                                                   \
      AddRowFloat##Name,                                                                                     \
      {AcrossRowFloat##Name<0>, AcrossRowFloat##Name<1>, AcrossRowFloat##Name<2>, AcrossRowFloat##Name<3>,   \
       AcrossRowFloat##Name<4>, AcrossRowFloat##Name<5>, AcrossRowFloat##Name<6>, AcrossRowFloat##Name<7>,   \
       AcrossRowFloat##Name<8>, AcrossRowFloat##Name<9>, AcrossRowFloat##Name<10>, AcrossRowFloat##Name<11>, \
       AcrossRowFloat##Name<12>, AcrossRowFloat##Name<13>, AcrossRowFloat##Name<14>,                         \
       AcrossRowFloat##Name<15>, AcrossRowFloat##Name<16>},                                                  \
      Decide##Name};

TAM_KERNELS(Plain, FinishBody, FinishBody, AcrossRowBody, AcrossRowBody, DecideBody)

#if defined(__x86_64__) || defined(__i386__)
TAM_KERNELS(Avx2, FinishAvx2Body, FinishFloatAvx2Body, AcrossRowAvx2Body, AcrossRowFloatAvx2Body,
            DecideAvx2Body, __attribute__((target("avx2,fma"))))

#endif
#undef TAM_KERNELS

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
const KernelSet& ChosenKernels(bool plain) {
  static const KernelSet& fastest = HasAvx2() ? kAvx2 : kPlain;
  return plain ? kPlain : fastest;
}
#else
const KernelSet& ChosenKernels(bool) { return kPlain; }
#endif

}  // namespace tam::fast_kernels
