// SPDX-License-Identifier: MIT
#include "picture/ycc.h"

#include <algorithm>
#include <cstddef>

#include "picture/cpu.h"
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tam {
namespace {

// libjpeg's fixed point: 16 fractional bits, constants rounded to nearest.
constexpr int kScaleBits = 16;
constexpr std::int32_t kHalf = std::int32_t{1} << (kScaleBits - 1);
constexpr std::int32_t Fix(double x) { return static_cast<std::int32_t>(x * (1 << kScaleBits) + 0.5); }
constexpr std::int32_t kCrToR = Fix(1.40200);
constexpr std::int32_t kCbToB = Fix(1.77200);
constexpr std::int32_t kCrToG = -Fix(0.71414);
constexpr std::int32_t kCbToG = -Fix(0.34414);

[[gnu::always_inline]] inline std::uint8_t Clamp(std::int32_t v) {
  return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

// A halved row doubled across: each new sample 3/4 of the nearer old one and
// 1/4 of the farther, the halfway rounding biased down and up alternately as
// libjpeg does. padded[0] and padded[n + 1] repeat the ends (which gives
// libjpeg's special first and last samples); out gets 2n samples.
template <typename T>
[[gnu::always_inline]] inline void DoubleAcross(const T* padded, std::int32_t n, int shift, int bias_even,
                                                int bias_odd, std::uint8_t* out) {
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t near3 = 3 * padded[i + 1];
    out[2 * i] = static_cast<std::uint8_t>((near3 + padded[i] + bias_even) >> shift);
    out[2 * i + 1] = static_cast<std::uint8_t>((near3 + padded[i + 2] + bias_odd) >> shift);
  }
}

[[gnu::always_inline]] inline void ConvertBody(const std::uint8_t* y, const std::uint8_t* cb,
                                               const std::uint8_t* cr, std::int32_t width,
                                               std::uint8_t* bgr) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::int32_t luma = y[x];
    const std::int32_t b = cb[x] - 128;
    const std::int32_t r = cr[x] - 128;
    bgr[3 * x] = Clamp(luma + ((kCbToB * b + kHalf) >> kScaleBits));
    bgr[3 * x + 1] = Clamp(luma + ((kCbToG * b + kHalf + kCrToG * r) >> kScaleBits));
    bgr[3 * x + 2] = Clamp(luma + ((kCrToR * r + kHalf) >> kScaleBits));
  }
}

[[gnu::always_inline]] inline void WeighBody(const std::uint8_t* near, const std::uint8_t* far,
                                             std::int32_t n, std::int16_t* sums) {
  for (std::int32_t i = 0; i < n; ++i) sums[i + 1] = static_cast<std::int16_t>(3 * near[i] + far[i]);
}

void ConvertPlain(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::int32_t width,
                  std::uint8_t* bgr) {
  ConvertBody(y, cb, cr, width, bgr);
}
void DoubleAcross8Plain(const std::uint8_t* padded, std::int32_t n, std::uint8_t* out) {
  DoubleAcross(padded, n, 2, 1, 2, out);
}
void DoubleAcross16Plain(const std::int16_t* padded, std::int32_t n, std::uint8_t* out) {
  DoubleAcross(padded, n, 4, 8, 7, out);
}
void WeighPlain(const std::uint8_t* near, const std::uint8_t* far, std::int32_t n, std::int16_t* sums) {
  WeighBody(near, far, n, sums);
}

#if defined(__x86_64__) || defined(__i386__)
// Byte k of the 48 bytes of 16 pixels' blue, green, red comes from plane k % 3.
alignas(16) constexpr std::uint8_t kSpread[3][3][16] = {
    {{0, 0x80, 0x80, 1, 0x80, 0x80, 2, 0x80, 0x80, 3, 0x80, 0x80, 4, 0x80, 0x80, 5},
     {0x80, 0x80, 6, 0x80, 0x80, 7, 0x80, 0x80, 8, 0x80, 0x80, 9, 0x80, 0x80, 10, 0x80},
     {0x80, 11, 0x80, 0x80, 12, 0x80, 0x80, 13, 0x80, 0x80, 14, 0x80, 0x80, 15, 0x80, 0x80}},
    {{0x80, 0, 0x80, 0x80, 1, 0x80, 0x80, 2, 0x80, 0x80, 3, 0x80, 0x80, 4, 0x80, 0x80},
     {5, 0x80, 0x80, 6, 0x80, 0x80, 7, 0x80, 0x80, 8, 0x80, 0x80, 9, 0x80, 0x80, 10},
     {0x80, 0x80, 11, 0x80, 0x80, 12, 0x80, 0x80, 13, 0x80, 0x80, 14, 0x80, 0x80, 15, 0x80}},
    {{0x80, 0x80, 0, 0x80, 0x80, 1, 0x80, 0x80, 2, 0x80, 0x80, 3, 0x80, 0x80, 4, 0x80},
     {0x80, 5, 0x80, 0x80, 6, 0x80, 0x80, 7, 0x80, 0x80, 8, 0x80, 0x80, 9, 0x80, 0x80},
     {10, 0x80, 0x80, 11, 0x80, 0x80, 12, 0x80, 0x80, 13, 0x80, 0x80, 14, 0x80, 0x80, 15}},
};

[[gnu::always_inline]] inline __attribute__((target("avx2"))) __m128i Spread(int channel, int part) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(kSpread[channel][part]));
}

// (a * weight + 2^15) >> 16 in 16-bit lanes: the high half of the product,
// plus one where its low half is 2^15 or more.
[[gnu::always_inline]] inline __attribute__((target("avx2"))) __m256i RoundedHigh(__m256i a, __m256i weight) {
  return _mm256_add_epi16(_mm256_mulhi_epi16(a, weight),
                          _mm256_srli_epi16(_mm256_mullo_epi16(a, weight), 15));
}

// Two sets of 16 lanes saturated to 0..255, as libjpeg's range limit does,
// and put in order: the first set's bytes in the low lane, the second's high.
[[gnu::always_inline]] inline __attribute__((target("avx2"))) __m256i Bytes(__m256i first, __m256i second) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}

// Part `part` of each lane's 48 bytes, this channel's bytes in place.
[[gnu::always_inline]] inline __attribute__((target("avx2"))) __m256i SpreadLanes(__m256i plane, int channel,
                                                                                  int part) {
  return _mm256_shuffle_epi8(plane, _mm256_broadcastsi128_si256(Spread(channel, part)));
}

// Sixteen pixels' blue, green and red as 16-bit lanes, before the range limit.
struct Channels16 {
  __m256i blue, green, red;
};

[[gnu::always_inline]] inline __attribute__((target("avx2"))) Channels16 Convert16(__m128i y, __m128i cb,
                                                                                   __m128i cr) {
  const __m256i centre = _mm256_set1_epi16(128);
  const __m256i luma = _mm256_cvtepu8_epi16(y);
  const __m256i b = _mm256_sub_epi16(_mm256_cvtepu8_epi16(cb), centre);
  const __m256i r = _mm256_sub_epi16(_mm256_cvtepu8_epi16(cr), centre);
  const __m256i g_weights =
      _mm256_set1_epi32((18734 << 16) | (-22554 & 0xFFFF));  // (cb, cr) . (-22554, 18734)
  const __m256i half = _mm256_set1_epi32(kHalf);
  const __m256i low = _mm256_madd_epi16(_mm256_unpacklo_epi16(b, r), g_weights);
  const __m256i high = _mm256_madd_epi16(_mm256_unpackhi_epi16(b, r), g_weights);
  const __m256i g = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(low, half), 16),
                                       _mm256_srai_epi32(_mm256_add_epi32(high, half), 16));
  return {_mm256_add_epi16(_mm256_add_epi16(luma, _mm256_add_epi16(b, b)),
                           RoundedHigh(b, _mm256_set1_epi16(-14942))),
          _mm256_add_epi16(_mm256_sub_epi16(luma, r), g),
          _mm256_add_epi16(_mm256_add_epi16(luma, r), RoundedHigh(r, _mm256_set1_epi16(26345)))};
}

// The same sums in 16-bit lanes, 32 pixels a step. Each constant over 2^15
// is split into a multiple of 2^16, which adds whole samples, and a
// remainder that fits: 1.402 = 1 + 26345 / 2^16, 1.772 = 2 - 14942 / 2^16
// and -0.71414 = -1 + 18734 / 2^16. A lone product is rounded from its high
// and low halves, green's two products and the half are summed by pmaddwd
// in 32 bits: every sum is libjpeg's to the bit.
__attribute__((target("avx2"))) void ConvertAvx2(const std::uint8_t* y, const std::uint8_t* cb,
                                                 const std::uint8_t* cr, std::int32_t width,
                                                 std::uint8_t* bgr) {
  static_assert(kCrToR == 65536 + 26345 && kCbToB == 2 * 65536 - 14942 && kCrToG == -65536 + 18734 &&
                kCbToG == -22554);
  const auto load = [](const std::uint8_t* p) __attribute__((always_inline, target("avx2"))) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  };
  std::int32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const Channels16 a = Convert16(load(y + x), load(cb + x), load(cr + x));
    const Channels16 b = Convert16(load(y + x + 16), load(cb + x + 16), load(cr + x + 16));
    const __m256i planes[3] = {Bytes(a.blue, b.blue), Bytes(a.green, b.green), Bytes(a.red, b.red)};
    // Each lane spreads its 16 pixels into 48 bytes, in three parts.
    __m256i parts[3];
    for (int part = 0; part < 3; ++part) {
      parts[part] =
          _mm256_or_si256(_mm256_or_si256(SpreadLanes(planes[0], 0, part), SpreadLanes(planes[1], 1, part)),
                          SpreadLanes(planes[2], 2, part));
    }
    std::uint8_t* out = bgr + 3 * x;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(parts[0], parts[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                        _mm256_permute2x128_si256(parts[2], parts[0], 0x30));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64),
                        _mm256_permute2x128_si256(parts[1], parts[2], 0x31));
  }
  ConvertBody(y + x, cb + x, cr + x, width - x, bgr + 3 * x);
}

// Sixteen old samples a step: both new samples of each as 16-bit lanes,
// the second shifted into the high byte, make the 32 bytes in order.
template <typename Load>
[[gnu::always_inline]] inline __attribute__((target("avx2"))) void DoubleAcrossAvx2Body(
    Load load, std::int32_t n, int shift, int bias_even, int bias_odd, std::uint8_t* out) {
  const __m256i even_bias = _mm256_set1_epi16(static_cast<std::int16_t>(bias_even));
  const __m256i odd_bias = _mm256_set1_epi16(static_cast<std::int16_t>(bias_odd));
  const __m128i count = _mm_cvtsi32_si128(shift);
  for (std::int32_t i = 0; i + 16 <= n; i += 16) {
    const __m256i left = load(i);
    const __m256i near = load(i + 1);
    const __m256i right = load(i + 2);
    const __m256i near3 = _mm256_add_epi16(near, _mm256_add_epi16(near, near));
    const __m256i even = _mm256_srl_epi16(_mm256_add_epi16(_mm256_add_epi16(near3, left), even_bias), count);
    const __m256i odd = _mm256_srl_epi16(_mm256_add_epi16(_mm256_add_epi16(near3, right), odd_bias), count);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                        _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
  }
}

__attribute__((target("avx2"))) void DoubleAcross8Avx2(const std::uint8_t* padded, std::int32_t n,
                                                       std::uint8_t* out) {
  const auto load = [padded](std::int32_t i) __attribute__((always_inline, target("avx2"))) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(padded + i)));
  };
  DoubleAcrossAvx2Body(load, n, 2, 1, 2, out);
  const std::int32_t done = n / 16 * 16;
  DoubleAcross(padded + done, n - done, 2, 1, 2, out + 2 * done);
}
__attribute__((target("avx2"))) void DoubleAcross16Avx2(const std::int16_t* padded, std::int32_t n,
                                                        std::uint8_t* out) {
  const auto load = [padded](std::int32_t i) __attribute__((always_inline, target("avx2"))) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(padded + i));
  };
  DoubleAcrossAvx2Body(load, n, 4, 8, 7, out);
  const std::int32_t done = n / 16 * 16;
  DoubleAcross(padded + done, n - done, 4, 8, 7, out + 2 * done);
}
__attribute__((target("avx2"))) void WeighAvx2(const std::uint8_t* near, const std::uint8_t* far,
                                               std::int32_t n, std::int16_t* sums) {
  WeighBody(near, far, n, sums);
}
#endif

struct KernelSet {
  void (*convert)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::int32_t, std::uint8_t*);
  void (*double8)(const std::uint8_t*, std::int32_t, std::uint8_t*);
  void (*double16)(const std::int16_t*, std::int32_t, std::uint8_t*);
  void (*weigh)(const std::uint8_t*, const std::uint8_t*, std::int32_t, std::int16_t*);
};

constexpr KernelSet kPlain{ConvertPlain, DoubleAcross8Plain, DoubleAcross16Plain, WeighPlain};

const KernelSet& Chosen(bool plain) {
#if defined(__x86_64__) || defined(__i386__)
  static constexpr KernelSet avx2{ConvertAvx2, DoubleAcross8Avx2, DoubleAcross16Avx2, WeighAvx2};
  static const KernelSet& fastest = HasAvx2() ? avx2 : kPlain;
  return plain ? kPlain : fastest;
#else
  (void)plain;
  return kPlain;
#endif
}

}  // namespace

ChromaRows ChromaRowsFor(ChromaSampling sampling, std::int32_t row, std::int32_t chroma_height) {
  if (sampling != ChromaSampling::kHalfBoth) return {row, row};
  const std::int32_t near = row / 2;
  return {near, row % 2 == 0 ? std::max(near - 1, 0) : std::min(near + 1, chroma_height - 1)};
}

YccToBgr::YccToBgr(ChromaSampling sampling, std::int32_t width, std::int32_t chroma_width, Kernels kernels)
    : sampling_(sampling), plain_(kernels == Kernels::kPlain), width_(width), chroma_width_(chroma_width) {
  if (sampling_ == ChromaSampling::kFull) return;
  const std::size_t doubled = 2 * static_cast<std::size_t>(chroma_width_);
  cb_.resize(doubled);
  cr_.resize(doubled);
  if (sampling_ == ChromaSampling::kHalfAcross) {
    padded_.resize(static_cast<std::size_t>(chroma_width_) + 2);
  } else {
    sums_.resize(static_cast<std::size_t>(chroma_width_) + 2);
  }
}

void YccToBgr::Row(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                   const std::uint8_t* cb_far, const std::uint8_t* cr_far, std::uint8_t* bgr) {
  const KernelSet& k = Chosen(plain_);
  const std::int32_t n = chroma_width_;
  switch (sampling_) {
    case ChromaSampling::kFull:
      k.convert(y, cb, cr, width_, bgr);
      return;
    case ChromaSampling::kHalfAcross: {
      // 3/4 * nearer + 1/4 * farther, rounding 1 then 2 (of 4) alternately.
      std::uint8_t* padded = padded_.data();
      for (int plane = 0; plane < 2; ++plane) {
        const std::uint8_t* in = plane == 0 ? cb : cr;
        std::copy_n(in, n, padded + 1);
        padded[0] = in[0];
        padded[n + 1] = in[n - 1];
        k.double8(padded, n, plane == 0 ? cb_.data() : cr_.data());
      }
      break;
    }
    case ChromaSampling::kHalfBoth: {
      // Down first (3 * nearer row + farther row), then across as above
      // with the rounding 8 then 7 (of 16).
      for (int plane = 0; plane < 2; ++plane) {
        k.weigh(plane == 0 ? cb : cr, plane == 0 ? cb_far : cr_far, n, sums_.data());
        sums_[0] = sums_[1];
        sums_[static_cast<std::size_t>(n) + 1] = sums_[static_cast<std::size_t>(n)];
        k.double16(sums_.data(), n, plane == 0 ? cb_.data() : cr_.data());
      }
      break;
    }
  }
  k.convert(y, cb_.data(), cr_.data(), width_, bgr);
}

}  // namespace tam
