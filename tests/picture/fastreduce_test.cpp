// SPDX-License-Identifier: MIT
#include "picture/fastreduce.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tam {
namespace {

struct Result {
  Picture picture;
  std::int64_t exact_pixels = 0;
  std::int64_t double_pixels = 0;
};

std::vector<const std::uint8_t*> Rows(const Picture& p) {
  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(p.height()));
  for (std::int32_t i = 0; i < p.height(); ++i) rows[static_cast<std::size_t>(i)] = p.row(i);
  return rows;
}

// The exact filter, row by row, as ReducePicture runs it.
Picture Exact(const Picture& source, const ReducePlan& plan) {
  Picture out = Picture::Bgr24(plan.width(), plan.height());
  plan.FilterRows(0, plan.height(), Rows(source).data(), out.row(0), out.stride());
  return out;
}

using Kernels = FastRowFilter::Kernels;

Result Fast(const Picture& source, const ReducePlan& plan, double margin = -1, double float_margin = -1,
            Kernels kernels = Kernels::kFastest) {
  FastRowFilter filter(plan, margin, float_margin, kernels);
  Result r{Picture::Bgr24(plan.width(), plan.height())};
  const auto rows = Rows(source);
  for (std::int32_t y = 0; y < plan.height(); ++y) filter.FilterRow(y, rows.data(), r.picture.row(y));
  r.exact_pixels = filter.exact_pixels();
  r.double_pixels = filter.double_pixels();
  return r;
}

void ExpectSameAsExact(const Picture& source, int box_w, int box_h, const std::string& label) {
  SCOPED_TRACE(label + " " + std::to_string(source.width()) + "x" + std::to_string(source.height()) +
               " into " + std::to_string(box_w) + "x" + std::to_string(box_h));
  const FittedBox box = FitBox(source.width(), source.height(), box_w, box_h);
  ASSERT_TRUE(box.reduces);
  const ReducePlan plan(source.width(), source.height(), box);
  const Picture exact = Exact(source, plan);
  // The fastest kernels this processor runs, and the plain ones every
  // processor runs (the only ones where there is no AVX2).
  for (const Kernels kernels : {Kernels::kFastest, Kernels::kPlain}) {
    SCOPED_TRACE(kernels == Kernels::kPlain ? "plain kernels" : "fastest kernels");
    const Result fast = Fast(source, plan, -1, -1, kernels);
    EXPECT_EQ(fast.picture.pixels(), exact.pixels());
    // Every pixel the exact way must give the same too (the recomputation
    // path), and every pixel formed again in doubles.
    const std::int64_t pixels = std::int64_t{plan.width()} * plan.height();
    const Result all_exact = Fast(source, plan, 0.5, -1, kernels);
    EXPECT_EQ(all_exact.exact_pixels, pixels);
    EXPECT_EQ(all_exact.picture.pixels(), exact.pixels());
    const Result all_doubles = Fast(source, plan, -1, 0.5, kernels);
    EXPECT_EQ(all_doubles.double_pixels, pixels);
    EXPECT_EQ(all_doubles.picture.pixels(), exact.pixels());
  }
}

Picture Random(int w, int h, std::mt19937& rng) {
  Picture p = Picture::Bgr24(w, h);
  for (auto& v : p.pixels()) v = static_cast<std::uint8_t>(rng());
  return p;
}

// Columns alternating between two neighbouring values: averages land on
// halves, which only the footprints' shortfall keeps from rounding up.
Picture Stripes(int w, int h, std::uint8_t a, std::uint8_t b, int period) {
  Picture p = Picture::Bgr24(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::uint8_t v = (x / period + y / period) % 2 ? b : a;
      for (int c = 0; c < 3; ++c) p.row(y)[3 * x + c] = v;
    }
  }
  return p;
}

TEST(FastRowFilter, RandomPicturesByManyFactors) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> side(1, 700);
  for (int round = 0; round < 40; ++round) {
    const int w = side(rng), h = side(rng);
    const int bw = std::uniform_int_distribution<int>(1, w)(rng);
    const int bh = std::uniform_int_distribution<int>(1, h)(rng);
    const Picture p = Random(w, h, rng);
    if (!FitBox(w, h, bw, bh).reduces) continue;
    ExpectSameAsExact(p, bw, bh, "random");
  }
}

TEST(FastRowFilter, HalfwayAveragesRoundDownAsTheExactFilterDoes) {
  // 2 x 2 into 1 x 1 with 101 and 102: exactly halfway before the shortfall.
  ExpectSameAsExact(Stripes(2, 2, 101, 102, 1), 1, 1, "two columns");
  ExpectSameAsExact(Stripes(2, 2, 102, 101, 1), 1, 1, "two columns swapped");
  for (const int period : {1, 2, 3}) {
    ExpectSameAsExact(Stripes(1920, 1440, 0, 255, period), 960, 720, "stripes by two");
    ExpectSameAsExact(Stripes(1000, 750, 254, 255, period), 480, 360, "stripes by a fraction");
    ExpectSameAsExact(Stripes(4000, 3000, 1, 2, period), 960, 720, "camera-sized stripes");
  }
  // By 8 / 3 (p r = 64), with the float area above the true one: every
  // exact half rounds down, and the float pass settles them itself (an odd
  // width takes the last pixel by the plain body).
  for (const int period : {1, 2, 3}) {
    for (const auto& [width, box_w] : {std::pair{1280, 480}, std::pair{1288, 483}}) {
      const Picture stripes = Stripes(width, 800, 100, 101, period);
      ExpectSameAsExact(stripes, box_w, 362, "stripes by 8 / 3");
      const ReducePlan plan(width, 800, FitBox(width, 800, box_w, 362));
      EXPECT_GT(FastRowFilter::HalfThreshold(plan), 0);
      EXPECT_EQ(Fast(stripes, plan).double_pixels, 0);
    }
  }
  // Black and white at random: some halves have only black under the
  // footprint's shortfall, which then lowers them less than the float error
  // may raise them, so that they must be brought back down.
  std::mt19937 coin(8);
  Picture noise = Picture::Bgr24(1288, 800);
  for (auto& v : noise.pixels()) v = coin() % 2 ? 255 : 0;
  ExpectSameAsExact(noise, 483, 362, "black and white by 8 / 3");
  // The same size by 2 (area exact): halves that need the doubles.
  EXPECT_EQ(FastRowFilter::HalfThreshold(ReducePlan(1280, 800, FitBox(1280, 800, 640, 400))), 0);
  // Identity copies: coverage 0.999999 on each axis.
  std::mt19937 rng(5);
  ExpectSameAsExact(Random(960, 720, rng), 960, 720, "identity");
  ExpectSameAsExact(Random(900, 720, rng), 960, 720, "identity, fitted width");
}

TEST(FastRowFilter, EveryMixOfWholeAndPartlyCoveredRows) {
  // Footprints of one, two and more whole rows, with no, one or two partly
  // covered rows beside them, each summed by its own path.
  std::mt19937 rng(21);
  for (int h = 2; h <= 40; ++h) {
    const Picture p = Random(6, h, rng);
    for (int bh = 1; bh < h; ++bh) ExpectSameAsExact(p, 6, bh, "rows");
  }
}

TEST(FastRowFilter, TallFootprintsOfWhiteRowsDoNotOverflowTheirSums) {
  // A footprint of h - 1 whole rows and a partly covered last one. Of 259
  // whole rows of 255, 257 are summed in 16 bits: 65535 exactly; with one
  // more the rows have to be summed another way.
  for (const int h : {258, 259, 260, 261, 262, 600}) {
    ExpectSameAsExact(Stripes(4, h, 255, 255, 1), 1, 1, "white column");
  }
}

TEST(FastRowFilter, MarginIsFarBelowTheShortfallOfCameraSizedReductions) {
  // Near-halfway pixels must stay rare for the speed to hold: the margin
  // has to stay well under the footprints' 0.000001 shortfall.
  const ReducePlan plan(6000, 4000, FitBox(6000, 4000, 960, 720));
  EXPECT_LT(FastRowFilter::SafeMargin(plan), 1e-9);
  EXPECT_GT(FastRowFilter::SafeMargin(plan), 0);
  std::mt19937 rng(9);
  const Picture p = Random(6000, 4000, rng);
  const Result fast = Fast(p, plan);
  EXPECT_LT(fast.exact_pixels, 10);
  // The single-precision passes decide all but a few in a thousand.
  EXPECT_LT(fast.double_pixels, std::int64_t{plan.width()} * plan.height() / 50);
}

}  // namespace
}  // namespace tam
