// SPDX-License-Identifier: MIT
// Turning the pixels upright for an EXIF orientation (read in jpeg_header.h).
#include <algorithm>
#include <cstddef>

#include "picture/jpeg.h"

namespace tam {

namespace {

// Copies pixels so that destination (X, Y) takes the source pixel at byte
// offset origin + X * step_x + Y * step_y. Works in tiles so that rotations,
// which walk the source by columns, stay within the cache.
template <int N>
void Remap(const std::uint8_t* src, std::ptrdiff_t origin, std::ptrdiff_t step_x, std::ptrdiff_t step_y,
           Picture& dst) {
  constexpr std::int32_t kTile = 64;
  const std::int32_t width = dst.width();
  const std::int32_t height = dst.height();
  for (std::int32_t ty = 0; ty < height; ty += kTile) {
    const std::int32_t y_end = std::min(ty + kTile, height);
    for (std::int32_t tx = 0; tx < width; tx += kTile) {
      const std::int32_t x_end = std::min(tx + kTile, width);
      for (std::int32_t y = ty; y < y_end; ++y) {
        std::uint8_t* out = dst.row(y) + std::ptrdiff_t{N} * tx;
        std::ptrdiff_t at = origin + tx * step_x + y * step_y;
        for (std::int32_t x = tx; x < x_end; ++x, out += N, at += step_x) {
          for (int k = 0; k < N; ++k) out[k] = src[at + k];
        }
      }
    }
  }
}

}  // namespace

void ApplyOrientation(Picture& picture, int orientation) {
  if (orientation < 2 || orientation > 8) return;
  const std::int32_t w = picture.width();
  const std::int32_t h = picture.height();
  const bool swaps = orientation >= 5;
  const std::int32_t out_w = swaps ? h : w;
  const std::int32_t out_h = swaps ? w : h;
  Picture out = picture.format() == PixelFormat::Bgr24 ? Picture::Bgr24(out_w, out_h)
                                                       : Picture::Indexed8(out_w, out_h, picture.palette());
  if (!picture.empty()) {
    const std::ptrdiff_t n = picture.bytes_per_pixel();
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(picture.stride());
    const std::ptrdiff_t last_x = (w - 1) * n;
    const std::ptrdiff_t last_y = (h - 1) * stride;
    // Where destination pixel (0, 0) comes from and how the source moves
    // along a destination row and down a column. Orientation names where the
    // stored first row and column belong: 6 = first row on the right, first
    // column at the top, so the picture turns a quarter clockwise.
    struct Walk {
      std::ptrdiff_t origin, step_x, step_y;
    };
    const Walk walks[9] = {
        {},
        {},
        {last_x, -n, stride},            // 2: mirrored left to right
        {last_x + last_y, -n, -stride},  // 3: upside down
        {last_y, n, -stride},            // 4: mirrored top to bottom
        {0, stride, n},                  // 5: transposed
        {last_y, -stride, n},            // 6: a quarter clockwise
        {last_x + last_y, -stride, -n},  // 7: transposed the other way
        {last_x, stride, -n},            // 8: a quarter anticlockwise
    };
    const Walk& walk = walks[orientation];
    const std::uint8_t* src = picture.pixels().data();
    if (n == 3) {
      Remap<3>(src, walk.origin, walk.step_x, walk.step_y, out);
    } else {
      Remap<1>(src, walk.origin, walk.step_x, walk.step_y, out);
    }
  }
  picture = std::move(out);
}

}  // namespace tam
