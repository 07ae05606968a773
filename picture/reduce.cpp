// SPDX-License-Identifier: MIT
#include "picture/reduce.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "picture/error.h"

#if defined(__i386__) || defined(__x86_64__)
#include <fpu_control.h>
#endif

namespace tam {

// Output sizes and pixels depend on every intermediate value being formed with
// a 64-bit significand and then rounded to the width it is stored at.
static_assert(std::numeric_limits<long double>::digits == 64, "the filter needs the x87 extended type");

namespace {

constexpr const char* kDivideByZero = "0 による浮動小数点数除算";
constexpr const char* kInvalidOperation = "不正な浮動小数点数演算命令";

// Holds the x87 unit at extended precision, rounding to nearest, for one
// scope, whatever a library may have set before.
class ExtendedPrecision {
 public:
#if defined(__i386__) || defined(__x86_64__)
  ExtendedPrecision() {
    _FPU_GETCW(saved_);
    const fpu_control_t wanted = (saved_ & ~(_FPU_EXTENDED | _FPU_RC_ZERO)) | _FPU_EXTENDED | _FPU_RC_NEAREST;
    if (wanted != saved_) {
      _FPU_SETCW(wanted);
      changed_ = true;
    }
  }
  ~ExtendedPrecision() {
    if (changed_) _FPU_SETCW(saved_);
  }

 private:
  fpu_control_t saved_ = 0;
  bool changed_ = false;
#endif
};

// a / b at extended precision, trapping where the x87 unit of the original
// program trapped.
long double Divide(long double a, long double b) {
  if (b == 0) throw FloatError(a == 0 ? kInvalidOperation : kDivideByZero);
  return a / b;
}

// The start of footprint x: x * s.
double FootprintStart(std::int32_t x, double s) {
  return static_cast<double>(static_cast<long double>(x) * s);
}

// The end of footprint x, stopping just short of the next footprint's start.
double FootprintEnd(std::int32_t x, double s) {
  return static_cast<double>(static_cast<long double>(x + 1) * s - 0.000001L);
}

// How much of source column (or row) j the footprint [a0, a1] covers.
double Coverage(std::int32_t j, double a0, double a1) {
  const bool after_start = j > a0;
  const bool before_end = j + 1 < a1;
  if (after_start && before_end) return 1.0;
  if (before_end) return static_cast<double>(1.0L - (static_cast<long double>(a0) - j));
  if (after_start) return static_cast<double>(static_cast<long double>(a1) - j);
  return static_cast<double>(static_cast<long double>(a1) - a0);
}

// Byte values as doubles, so the multiply takes its operand straight from memory.
struct ByteValues {
  double value[256];
  constexpr ByteValues() : value() {
    for (int i = 0; i < 256; ++i) value[i] = i;
  }
};
constexpr ByteValues kByte;

}  // namespace

FittedBox FitBox(std::int32_t w, std::int32_t h, std::int32_t box_w, std::int32_t box_h) {
  if (box_w <= 0 || box_h <= 0 || std::int64_t{box_w} * box_h >= (std::int64_t{1} << 31)) {
    throw Error("縮小先の大きさが不正です");
  }
  // Only the pixel-count limit here: memory is checked where pixels are held.
  CheckPictureSize(w, h, 0);
  ExtendedPrecision precision;

  const std::int32_t pixels = w * h;
  FittedBox box;
  box.width = box_w;
  box.height = box_h;
  box.area_ratio = static_cast<float>(static_cast<long double>(pixels) / (box_w * box_h));
  box.sx = static_cast<double>(static_cast<long double>(w) / box_w);
  box.sy = static_cast<double>(static_cast<long double>(h) / box_h);
  if (box.sx != box.sy) {
    // Exactly one side shrinks. The quotient can lie a hair below a whole
    // number at extended precision and then floors to the number below.
    if (box.sx < box.sy) {
      box.width = static_cast<std::int32_t>(std::floor(static_cast<long double>(w) / box.sy));
    } else {
      box.height = static_cast<std::int32_t>(std::floor(static_cast<long double>(h) / box.sx));
    }
    // A picture with one side 0 has nothing to average (0 / 0). A very thin
    // picture keeps one pixel on its fitted side rather than dividing by 0.
    if (pixels != 0) {
      box.width = std::max(box.width, 1);
      box.height = std::max(box.height, 1);
    }
    box.area_ratio = static_cast<float>(Divide(pixels, box.width * box.height));
    box.sx = static_cast<double>(Divide(w, box.width));
    box.sy = static_cast<double>(Divide(h, box.height));
  }
  box.reduces = !(box.area_ratio < 1.0f);
  return box;
}

ReducePlan::ReducePlan(std::int32_t w, std::int32_t h, const FittedBox& box)
    : source_width_(w), source_height_(h), box_(box) {
  ExtendedPrecision precision;
  // The coverages of one axis, once per destination column or row; the
  // filter multiplies them pair by pair exactly as if recomputed each time.
  const auto plan_axis = [](std::int32_t count, double s, std::int32_t source_count, std::vector<Span>& spans,
                            std::vector<double>& weights) {
    spans.resize(static_cast<std::size_t>(count));
    // Neighbouring footprints share at most one source column.
    weights.reserve(static_cast<std::size_t>(source_count) + static_cast<std::size_t>(count));
    for (std::int32_t x = 0; x < count; ++x) {
      const double a0 = FootprintStart(x, s);
      const double a1 = FootprintEnd(x, s);
      Span& span = spans[static_cast<std::size_t>(x)];
      span.first = static_cast<std::int32_t>(std::floor(a0));
      // The footprint ends short of the source's far edge; the bound only
      // guards against reading past it.
      const std::int32_t last = std::min(static_cast<std::int32_t>(std::floor(a1)), source_count - 1);
      span.count = std::max(last - span.first + 1, 0);
      span.weights = weights.size();
      for (std::int32_t j = span.first; j <= last; ++j) weights.push_back(Coverage(j, a0, a1));
    }
  };
  plan_axis(box.width, box.sx, w, columns_, column_weights_);
  plan_axis(box.height, box.sy, h, rows_, row_weights_);
}

namespace {

// Destination pixels filtered side by side (see FilterGroup).
constexpr int kGroup = 4;

// The three channel sums of one destination pixel.
struct Sums {
  double blue = 0, green = 0, red = 0;
};

// Adds one source pixel with its coverage: each product and sum at extended
// precision, each sum stored as a double.
inline void AddPair(Sums& sums, long double weight, const std::uint8_t* s) {
  sums.blue = static_cast<double>(sums.blue + weight * kByte.value[s[0]]);
  sums.green = static_cast<double>(sums.green + weight * kByte.value[s[1]]);
  sums.red = static_cast<double>(sums.red + weight * kByte.value[s[2]]);
}

// Footprints stop just short of their far edges, so the coverages sum to a
// little less than A: a halfway average rounds down and none passes 255.
inline void Store(const Sums& sums, long double area, std::uint8_t* out) {
  out[0] = static_cast<std::uint8_t>(std::lrint(sums.blue / area));
  out[1] = static_cast<std::uint8_t>(std::lrint(sums.green / area));
  out[2] = static_cast<std::uint8_t>(std::lrint(sums.red / area));
}

}  // namespace

// N destination pixels of one row, side by side: each one's sums still take
// its source pixels in their own order, but the N chains of dependent
// additions overlap in the floating-point unit.
template <int N>
void ReducePlan::FilterGroup(const Span* columns, const Span& row, const double* wys,
                             const std::uint8_t* const* rows, long double area, std::uint8_t* out) const {
  const double* w[N];
  std::int32_t both = columns[0].count;
  for (int n = 0; n < N; ++n) {
    w[n] = column_weights_.data() + columns[n].weights;
    both = std::min(both, columns[n].count);
  }
  Sums sums[N];
  for (std::int32_t k = 0; k < row.count; ++k) {
    const long double wy = wys[k];
    const std::uint8_t* p[N];
    for (int n = 0; n < N; ++n) p[n] = rows[k] + 3 * static_cast<std::size_t>(columns[n].first);
    std::int32_t m = 0;
    for (; m < both; ++m) {
#pragma GCC unroll 8
      for (int n = 0; n < N; ++n) AddPair(sums[n], w[n][m] * wy, p[n] + 3 * m);
    }
    for (int n = 0; n < N; ++n) {
      for (std::int32_t j = m; j < columns[n].count; ++j) AddPair(sums[n], w[n][j] * wy, p[n] + 3 * j);
    }
  }
  for (int n = 0; n < N; ++n) Store(sums[n], area, out + 3 * n);
}

void ReducePlan::FilterRow(std::int32_t y, const std::uint8_t* const* source_rows, std::uint8_t* out) const {
  const Span& row = rows_[static_cast<std::size_t>(y)];
  const double* const wys = row_weights_.data() + row.weights;
  const std::uint8_t* const* const rows = source_rows + row.first;
  const long double area = box_.area_ratio;
  const std::size_t width = columns_.size();
  std::size_t x = 0;
  for (; x + kGroup <= width; x += kGroup)
    FilterGroup<kGroup>(&columns_[x], row, wys, rows, area, out + 3 * x);
  for (; x < width; ++x) FilterGroup<1>(&columns_[x], row, wys, rows, area, out + 3 * x);
}

void ReducePlan::FilterRows(std::int32_t y_begin, std::int32_t y_end, const std::uint8_t* const* source_rows,
                            std::uint8_t* dest, std::size_t dest_stride) const {
  ExtendedPrecision precision;
  for (std::int32_t y = y_begin; y < y_end; ++y, dest += dest_stride) FilterRow(y, source_rows, dest);
}

void ReducePlan::FilterPixel(std::int32_t x, std::int32_t y, const std::uint8_t* const* source_rows,
                             std::uint8_t* out) const {
  ExtendedPrecision precision;
  const Span& row = rows_[static_cast<std::size_t>(y)];
  FilterGroup<1>(&columns_[static_cast<std::size_t>(x)], row, row_weights_.data() + row.weights,
                 source_rows + row.first, box_.area_ratio, out);
}

void ReducePicture(Picture& picture, std::int32_t box_w, std::int32_t box_h) {
  const std::int32_t w = picture.width();
  const std::int32_t h = picture.height();
  const FittedBox box = FitBox(w, h, box_w, box_h);
  if (!box.reduces) return;

  // Everything that can fail comes before the caller's picture changes
  // (ToBgr24 allocates before it replaces anything).
  std::optional<ReducePlan> plan;
  std::vector<const std::uint8_t*> source_rows;
  try {
    plan.emplace(w, h, box);
    source_rows.resize(static_cast<std::size_t>(h));
  } catch (const std::bad_alloc&) {
    throw Error("画像を縮小するメモリが足りません (" + std::to_string(w) + " x " + std::to_string(h) + ")");
  }
  Picture dest = Picture::Bgr24(box.width, box.height);
  picture.ToBgr24();
  for (std::int32_t i = 0; i < h; ++i) source_rows[static_cast<std::size_t>(i)] = picture.row(i);

  // The lower half of the destination rows on a second thread.
  const std::int32_t middle = box.height / 2;
  const std::size_t stride = dest.stride();
  std::thread helper;
  const bool worth_a_thread =
      middle > 0 && std::int64_t{w} * h >= 256 * 256 && std::thread::hardware_concurrency() != 1;
  if (worth_a_thread) {
    try {
      helper = std::thread(
          [&] { plan->FilterRows(middle, box.height, source_rows.data(), dest.row(middle), stride); });
    } catch (const std::system_error&) {
      // No thread to be had: this thread does all the rows.
    }
  }
  const std::int32_t split = helper.joinable() ? middle : box.height;
  plan->FilterRows(0, split, source_rows.data(), dest.row(0), stride);
  if (helper.joinable()) helper.join();

  picture = std::move(dest);
}

}  // namespace tam
