#include "picture/dither.h"

#include <algorithm>

namespace tam {
namespace {

constexpr int kTop = GreyDither::kLevels - 1;

// The largest grey that maps to level j: halfway to the next level, as
// libjpeg's largest_input_value rounds it.
int LargestInput(int j) { return ((2 * j + 1) * 255 + kTop) / (2 * kTop); }

}  // namespace

std::uint8_t GreyDither::Level(int i) { return static_cast<std::uint8_t>((i * 255 + kTop / 2) / kTop); }

GreyDither::GreyDither(std::int32_t width) : width_(width), errors_(static_cast<std::size_t>(width) + 2, 0) {
  std::uint8_t index[256];
  int level = 0;
  int bound = LargestInput(0);
  for (int grey = 0; grey <= 255; ++grey) {
    while (grey > bound) bound = LargestInput(++level);
    index[grey] = static_cast<std::uint8_t>(level);
  }
  for (int v = -256; v < 512; ++v) {
    const int grey = std::clamp(v, 0, 255);
    index_[v + 256] = index[grey];
    remainder_[v + 256] = static_cast<std::int16_t>(grey - Level(index[grey]));
  }
}

// libjpeg's quantize_fs_dither for one component, step for step: the error
// terms are sixteenths, the rounding an arithmetic shift.
void GreyDither::Row(const std::uint8_t* grey, std::uint8_t* indices) {
  const int step = right_to_left_ ? -1 : 1;
  const std::int32_t start = right_to_left_ ? width_ - 1 : 0;
  const std::uint8_t* in = grey + start;
  std::uint8_t* out = indices + start;
  // The entry before the first column taken (after the last, right to left).
  std::int16_t* error = errors_.data() + (right_to_left_ ? width_ + 1 : 0);
  const std::uint8_t* const index = index_ + 256;
  const std::int16_t* const remainder = remainder_ + 256;
  int cur = 0;  // error carried to the next pixel of this row
  int below = 0;
  int below_prev = 0;
  for (std::int32_t n = width_; n > 0; --n) {
    const int v = ((cur + error[step] + 8) >> 4) + *in;
    *out = index[v];
    cur = remainder[v];
    const int below_next = cur;
    error[0] = static_cast<std::int16_t>(below_prev + 3 * cur);
    below_prev = below + 5 * cur;
    below = below_next;
    cur *= 7;
    in += step;
    out += step;
    error += step;
  }
  error[0] = static_cast<std::int16_t>(below_prev);
  right_to_left_ = !right_to_left_;
}

}  // namespace tam
