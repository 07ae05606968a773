// SPDX-License-Identifier: MIT
#include "picture/reduce.h"

#include <fpu_control.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "picture/error.h"

namespace tam {
namespace {

// The filter as its definition reads, pair by pair, recomputing every
// footprint and coverage at extended precision; slow, and the yardstick the
// real filter is held to byte for byte.
double ReferenceCoverage(std::int32_t j, double a0, double a1) {
  if (j > a0 && j + 1 < a1) return 1.0;
  if (j <= a0 && j + 1 < a1) return static_cast<double>(1 - (static_cast<long double>(a0) - j));
  if (j > a0 && j + 1 >= a1) return static_cast<double>(static_cast<long double>(a1) - j);
  return static_cast<double>(static_cast<long double>(a1) - static_cast<long double>(a0));
}

Picture ReferenceReduce(Picture source, std::int32_t box_w, std::int32_t box_h) {
  // The box itself is held to its own table (FitBox tests below).
  const FittedBox box = FitBox(source.width(), source.height(), box_w, box_h);
  if (!box.reduces) return source;
  source.ToBgr24();
  Picture dest = Picture::Bgr24(box.width, box.height);
  for (std::int32_t y = 0; y < box.height; ++y) {
    for (std::int32_t x = 0; x < box.width; ++x) {
      const double x0 = static_cast<double>(static_cast<long double>(x) * box.sx);
      const double y0 = static_cast<double>(static_cast<long double>(y) * box.sy);
      const double x1 = static_cast<double>(static_cast<long double>(x + 1) * box.sx - 0.000001L);
      const double y1 = static_cast<double>(static_cast<long double>(y + 1) * box.sy - 0.000001L);
      double acc[3] = {0, 0, 0};
      for (auto i = static_cast<std::int32_t>(std::floor(y0)); i <= static_cast<std::int32_t>(std::floor(y1));
           ++i) {
        for (auto j = static_cast<std::int32_t>(std::floor(x0));
             j <= static_cast<std::int32_t>(std::floor(x1)); ++j) {
          const double wx = ReferenceCoverage(j, x0, x1);
          const double wy = ReferenceCoverage(i, y0, y1);
          for (int c = 0; c < 3; ++c) {
            const long double value = source.row(i)[3 * j + c];
            acc[c] = static_cast<double>(acc[c] + (static_cast<long double>(wx) * wy) * value);
          }
        }
      }
      for (int c = 0; c < 3; ++c) {
        dest.row(y)[3 * x + c] = static_cast<std::uint8_t>(std::nearbyintl(acc[c] / box.area_ratio));
      }
    }
  }
  return dest;
}

Picture RandomPicture(std::int32_t w, std::int32_t h, std::mt19937& rng) {
  Picture p = Picture::Bgr24(w, h);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& v : p.pixels()) v = static_cast<std::uint8_t>(byte(rng));
  return p;
}

Picture Uniform(std::int32_t w, std::int32_t h, std::uint8_t value) {
  Picture p = Picture::Bgr24(w, h);
  std::fill(p.pixels().begin(), p.pixels().end(), value);
  return p;
}

// Every pixel from a function of its column (all three channels alike).
template <typename F>
Picture ByColumn(std::int32_t w, std::int32_t h, F value) {
  Picture p = Picture::Bgr24(w, h);
  for (std::int32_t y = 0; y < h; ++y) {
    for (std::int32_t x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) p.row(y)[3 * x + c] = static_cast<std::uint8_t>(value(x));
    }
  }
  return p;
}

std::string Size(const Picture& p) { return std::to_string(p.width()) + " x " + std::to_string(p.height()); }

void ExpectSameAsReference(const Picture& source, std::int32_t box_w, std::int32_t box_h) {
  SCOPED_TRACE(Size(source) + " into " + std::to_string(box_w) + " x " + std::to_string(box_h));
  const Picture expected = ReferenceReduce(source, box_w, box_h);
  Picture actual = source;
  ReducePicture(actual, box_w, box_h);
  ASSERT_EQ(Size(actual), Size(expected));
  ASSERT_EQ(actual.format(), PixelFormat::Bgr24);
  // Find the first differing pixel for a readable failure.
  for (std::int32_t y = 0; y < actual.height(); ++y) {
    for (std::int32_t x = 0; x < actual.width(); ++x) {
      ASSERT_EQ(actual.at(x, y), expected.at(x, y)) << "pixel (" << x << ", " << y << ")";
    }
  }
}

struct SizeCase {
  std::int32_t w, h, box_w, box_h;
  std::int32_t fitted_w, fitted_h;
  bool reduces;
};

TEST(FitBox, FitsTheBoxAtExtendedPrecision) {
  const SizeCase cases[] = {
      {800, 600, 960, 720, 960, 720, false},
      {640, 480, 480, 360, 480, 360, true},
      {960, 720, 960, 720, 960, 720, true},
      {900, 720, 960, 720, 900, 720, true},
      {4000, 3000, 960, 720, 960, 720, true},
      {1024, 768, 960, 720, 960, 720, true},
      {1920, 1080, 960, 720, 960, 540, true},
      {6000, 4000, 960, 720, 960, 640, true},
      {3000, 4000, 960, 720, 540, 720, true},
      // The quotient lies a hair below the whole number at extended precision.
      {3456, 4608, 960, 720, 539, 720, true},
      {1200, 1600, 960, 720, 539, 720, true},
      {1536, 2048, 960, 720, 539, 720, true},
      {4000, 6000, 960, 720, 479, 720, true},
      {1000, 100, 960, 720, 960, 95, true},
      {1080, 1920, 480, 360, 202, 360, true},
      {3456, 4608, 480, 360, 269, 360, true},
      {1, 720, 960, 720, 1, 720, true},
      {960, 1, 960, 720, 960, 1, true},
      {500, 1, 960, 720, 960, 1, false},
      {0, 0, 960, 720, 960, 720, false},
      // Too thin for the box: the fitted side stays 1 instead of dividing by 0.
      {1, 721, 960, 720, 1, 720, true},
      {961, 1, 960, 720, 960, 1, true},
      {1, 100000, 960, 720, 1, 720, true},
      {100000, 1, 960, 720, 960, 1, true},
      {1, 361, 480, 360, 1, 360, true},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) + " into " + std::to_string(c.box_w) +
                 " x " + std::to_string(c.box_h));
    const FittedBox box = FitBox(c.w, c.h, c.box_w, c.box_h);
    EXPECT_EQ(box.width, c.fitted_w);
    EXPECT_EQ(box.height, c.fitted_h);
    EXPECT_EQ(box.reduces, c.reduces);
    if (box.reduces) {
      EXPECT_GE(box.sx, 1.0);
      EXPECT_GE(box.sy, 1.0);
    }
  }
}

TEST(FitBox, KeepsExtendedPrecisionWhateverTheUnitWasSetTo) {
  fpu_control_t saved;
  _FPU_GETCW(saved);
  fpu_control_t reduced = (saved & ~_FPU_EXTENDED) | _FPU_DOUBLE;
  _FPU_SETCW(reduced);
  const FittedBox box = FitBox(3456, 4608, 960, 720);
  fpu_control_t after;
  _FPU_GETCW(after);
  _FPU_SETCW(saved);
  EXPECT_EQ(box.width, 539);
  EXPECT_EQ(after & _FPU_EXTENDED, _FPU_DOUBLE) << "the caller's setting is given back";
}

TEST(FitBox, RefusesWhatTheArithmeticCannotHold) {
  const auto message = [](auto f) {
    try {
      f();
    } catch (const FloatError& e) {
      return "FloatError: " + std::string(e.what());
    } catch (const Error& e) {
      return std::string("Error");
    }
    return std::string("no error");
  };
  // One side 0 and the other not: 0 / 0 when the area ratio is recomputed.
  EXPECT_EQ(message([] { FitBox(0, 5, 960, 720); }), "FloatError: 不正な浮動小数点数演算命令");
  EXPECT_EQ(message([] { FitBox(5, 0, 960, 720); }), "FloatError: 不正な浮動小数点数演算命令");
  EXPECT_EQ(message([] { FitBox(0, 100000, 480, 360); }), "FloatError: 不正な浮動小数点数演算命令");
  // 2^31 pixels or more lie outside 32-bit pixel counts.
  EXPECT_EQ(message([] { FitBox(65536, 32768, 960, 720); }), "Error");
  EXPECT_EQ(message([] { FitBox(2, 1073741824, 960, 720); }), "Error");
  EXPECT_EQ(message([] { FitBox(-1, 5, 960, 720); }), "Error");
  EXPECT_EQ(message([] { FitBox(5, 5, 0, 720); }), "Error");
  EXPECT_EQ(message([] { FitBox(5, 5, 960, -1); }), "Error");
  // Just under the limit still fits.
  EXPECT_EQ(FitBox(1, 2147483647, 960, 720).height, 720);
}

TEST(ReducePicture, PixelCasesAverageAsDefined) {
  // Halfway averages round down: every footprint stops just short of its edge.
  Picture halves = ByColumn(2, 2, [](int x) { return x == 0 ? 101 : 102; });
  ReducePicture(halves, 1, 1);
  ASSERT_EQ(Size(halves), "1 x 1");
  EXPECT_EQ(halves.at(0, 0), (Bgr{101, 101, 101}));

  Picture swapped = ByColumn(2, 2, [](int x) { return x == 0 ? 102 : 101; });
  ReducePicture(swapped, 1, 1);
  EXPECT_EQ(swapped.at(0, 0), (Bgr{101, 101, 101}));

  Picture four = Picture::Bgr24(2, 2);
  four.pixels() = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  ReducePicture(four, 1, 1);
  EXPECT_EQ(four.at(0, 0), (Bgr{55, 65, 75}));

  Picture three_by_two = ByColumn(3, 2, [](int x) { return x == 1 ? 255 : 0; });
  ReducePicture(three_by_two, 2, 2);
  ASSERT_EQ(Size(three_by_two), "2 x 1");
  EXPECT_EQ(three_by_two.at(0, 0), (Bgr{85, 85, 85}));
  EXPECT_EQ(three_by_two.at(1, 0), (Bgr{85, 85, 85}));

  Picture three_by_three = ByColumn(3, 3, [](int x) { return 90 * x; });
  ReducePicture(three_by_three, 2, 2);
  ASSERT_EQ(Size(three_by_three), "2 x 2");
  for (int y = 0; y < 2; ++y) {
    EXPECT_EQ(three_by_three.at(0, y), (Bgr{30, 30, 30}));
    EXPECT_EQ(three_by_three.at(1, y), (Bgr{150, 150, 150}));
  }
}

TEST(ReducePicture, FullBoxIsAnExactCopy) {
  std::mt19937 rng(7);
  for (const auto& [w, h] : {std::pair{960, 720}, {900, 720}, {1, 720}, {960, 1}}) {
    const Picture source = RandomPicture(w, h, rng);
    Picture copy = source;
    ReducePicture(copy, 960, 720);
    EXPECT_EQ(copy.pixels(), source.pixels()) << Size(source);
  }
}

struct ReferenceCase {
  std::int32_t w, h, box_w, box_h;
};

TEST(ReducePicture, MatchesTheReferenceInTheBoxesInUse) {
  std::mt19937 rng(20261207);
  // Odd, exact, thin and threaded sizes; factors up to 8.
  const ReferenceCase cases[] = {
      {961, 721, 960, 720},   {1000, 750, 960, 720},  {1001, 1333, 960, 720}, {1920, 1080, 960, 720},
      {1000, 100, 960, 720},  {3001, 7, 960, 720},    {1, 721, 960, 720},     {1, 5000, 960, 720},
      {961, 1, 960, 720},     {100000, 2, 960, 720},  {640, 480, 480, 360},   {481, 361, 480, 360},
      {1080, 1920, 480, 360}, {1925, 1443, 480, 360}, {3843, 721, 480, 360},  {2, 1000, 480, 360},
  };
  for (const ReferenceCase& c : cases) ExpectSameAsReference(RandomPicture(c.w, c.h, rng), c.box_w, c.box_h);
  std::uniform_int_distribution<int> w(240, 480 * 3);
  std::uniform_int_distribution<int> h(180, 360 * 3);
  for (int n = 0; n < 3; ++n) ExpectSameAsReference(RandomPicture(w(rng), h(rng), rng), 480, 360);
}

TEST(ReducePicture, MatchesTheReferenceOnSmallBoxes) {
  std::mt19937 rng(77);
  const ReferenceCase cases[] = {
      {17, 13, 16, 12}, {128, 96, 16, 12}, {127, 97, 16, 12}, {100, 7, 16, 12}, {3, 200, 16, 12},
      {50, 37, 7, 5},   {6, 6, 5, 5},      {40, 41, 5, 5},    {9, 1, 2, 2},     {1, 9, 2, 2},
  };
  for (const ReferenceCase& c : cases) ExpectSameAsReference(RandomPicture(c.w, c.h, rng), c.box_w, c.box_h);
  // Random sizes from half the box to eight times it.
  for (const auto& [box_w, box_h] : {std::pair{16, 12}, {33, 20}, {9, 9}, {4, 3}}) {
    std::uniform_int_distribution<int> w(box_w / 2, box_w * 8);
    std::uniform_int_distribution<int> h(box_h / 2, box_h * 8);
    for (int n = 0; n < 40; ++n) ExpectSameAsReference(RandomPicture(w(rng), h(rng), rng), box_w, box_h);
  }
}

TEST(ReducePlan, RowByRowFromOnlyTheRowsItNames) {
  std::mt19937 rng(11);
  for (const auto& [w, h, box_w, box_h] :
       {std::tuple{1001, 1333, 960, 720}, {1, 721, 960, 720}, {130, 97, 16, 12}}) {
    const Picture source = RandomPicture(w, h, rng);
    Picture whole = source;
    ReducePicture(whole, box_w, box_h);

    const ReducePlan plan(w, h, FitBox(w, h, box_w, box_h));
    ASSERT_EQ(plan.width(), whole.width());
    ASSERT_EQ(plan.height(), whole.height());
    EXPECT_EQ(plan.FirstSourceRow(0), 0);
    EXPECT_EQ(plan.LastSourceRow(plan.height() - 1), h - 1);
    // A decoder hands rows over in order: only the named ones are there.
    std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(h), nullptr);
    std::vector<std::uint8_t> out(whole.stride());
    for (std::int32_t y = 0; y < plan.height(); ++y) {
      if (y > 0) {
        ASSERT_GE(plan.FirstSourceRow(y), plan.FirstSourceRow(y - 1));
        ASSERT_GE(plan.LastSourceRow(y), plan.LastSourceRow(y - 1));
      }
      std::fill(rows.begin(), rows.end(), nullptr);
      for (std::int32_t i = plan.FirstSourceRow(y); i <= plan.LastSourceRow(y); ++i) rows[i] = source.row(i);
      plan.FilterRows(y, y + 1, rows.data(), out.data(), out.size());
      ASSERT_TRUE(std::equal(out.begin(), out.end(), whole.row(y))) << w << " x " << h << " row " << y;
    }
  }
}

TEST(ReducePicture, ExtremeValuesStayInRange) {
  for (const auto& [w, h, box_w, box_h] : {std::tuple{1000, 750, 960, 720},
                                           {1, 100000, 960, 720},
                                           {4000, 3, 960, 720},
                                           {3, 3, 2, 2},
                                           {199, 151, 7, 5}}) {
    for (const std::uint8_t value : {std::uint8_t{0}, std::uint8_t{255}}) {
      Picture p = Uniform(w, h, value);
      ReducePicture(p, box_w, box_h);
      EXPECT_TRUE(
          std::all_of(p.pixels().begin(), p.pixels().end(), [&](std::uint8_t v) { return v == value; }))
          << w << " x " << h << " of " << int{value};
    }
  }
}

TEST(ReducePicture, ThinPictureBecomesOnePixelWide) {
  Picture tall = ByColumn(1, 721, [](int) { return 200; });
  ReducePicture(tall, 960, 720);
  EXPECT_EQ(Size(tall), "1 x 720");
  EXPECT_EQ(tall.at(0, 719), (Bgr{200, 200, 200}));

  Picture wide = ByColumn(961, 1, [](int x) { return x % 256; });
  ReducePicture(wide, 960, 720);
  EXPECT_EQ(Size(wide), "960 x 1");
}

TEST(ReducePicture, PictureThatFitsIsUntouched) {
  Picture indexed = Picture::Indexed8(800, 600, {{1, 2, 3}, {4, 5, 6}});
  indexed.pixels()[5] = 1;
  const Picture before = indexed;
  ReducePicture(indexed, 960, 720);
  EXPECT_EQ(indexed.format(), PixelFormat::Indexed8);
  EXPECT_EQ(indexed.pixels(), before.pixels());

  Picture line = ByColumn(500, 1, [](int x) { return x % 256; });
  const Picture line_before = line;
  ReducePicture(line, 960, 720);
  EXPECT_EQ(line.pixels(), line_before.pixels());

  Picture empty;
  ReducePicture(empty, 960, 720);
  EXPECT_TRUE(empty.empty());
}

TEST(ReducePicture, PalettePictureIsReducedInItsColours) {
  std::mt19937 rng(3);
  std::vector<Bgr> palette;
  for (int i = 0; i < 236; ++i)
    palette.push_back({std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())});
  Picture indexed = Picture::Indexed8(1200, 900, palette);
  for (auto& v : indexed.pixels()) v = static_cast<std::uint8_t>(rng() % 236);
  Picture expanded = indexed;
  expanded.ToBgr24();

  ReducePicture(indexed, 960, 720);
  ReducePicture(expanded, 960, 720);
  EXPECT_EQ(indexed.format(), PixelFormat::Bgr24);
  EXPECT_TRUE(indexed.palette().empty());
  EXPECT_EQ(Size(indexed), "960 x 720");
  EXPECT_EQ(indexed.pixels(), expanded.pixels());
}

TEST(ReducePicture, FailureLeavesThePictureAsItWas) {
  for (const auto& [w, h] : {std::pair{0, 5}, {5, 0}, {0, 100000}}) {
    Picture p = Picture::Indexed8(w, h, {{1, 2, 3}});
    try {
      ReducePicture(p, 960, 720);
      ADD_FAILURE() << w << " x " << h << " reduced";
    } catch (const FloatError& e) {
      EXPECT_STREQ(e.what(), "不正な浮動小数点数演算命令");
    }
    EXPECT_EQ(p.width(), w);
    EXPECT_EQ(p.height(), h);
    EXPECT_EQ(p.format(), PixelFormat::Indexed8);
  }
}

}  // namespace
}  // namespace tam
