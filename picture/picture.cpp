// SPDX-License-Identifier: MIT
#include "picture/picture.h"

#include <new>
#include <string>

#include "picture/error.h"
#include "picture/limits.h"

namespace tam {

void CheckPictureSize(std::int64_t width, std::int64_t height, int bytes_per_pixel) {
  if (width < 0 || height < 0) throw Error("画像の大きさが不正です");
  const std::int64_t pixels = width * height;
  if (pixels >= (std::int64_t{1} << 31)) {
    throw LimitError("画像が大きすぎます (" + std::to_string(width) + " x " + std::to_string(height) + ")");
  }
  CheckMemoryNeed(width, height, pixels * bytes_per_pixel);
}

namespace {

std::vector<std::uint8_t> Allocate(std::int32_t width, std::int32_t height, int bpp) {
  CheckPictureSize(width, height, bpp);
  try {
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * bpp;
    return std::vector<std::uint8_t>(size);
  } catch (const std::bad_alloc&) {
    throw Error("画像を保持するメモリが足りません (" + std::to_string(width) + " x " +
                std::to_string(height) + ")");
  }
}

}  // namespace

Picture Picture::Bgr24(std::int32_t width, std::int32_t height) {
  Picture p;
  p.pixels_ = Allocate(width, height, 3);
  p.width_ = width;
  p.height_ = height;
  p.format_ = PixelFormat::Bgr24;
  return p;
}

Picture Picture::Indexed8(std::int32_t width, std::int32_t height, std::vector<Bgr> palette) {
  if (palette.empty() || palette.size() > 256) throw Error("パレットが不正です");
  Picture p;
  p.pixels_ = Allocate(width, height, 1);
  p.width_ = width;
  p.height_ = height;
  p.format_ = PixelFormat::Indexed8;
  p.palette_ = std::move(palette);
  return p;
}

Bgr Picture::at(std::int32_t x, std::int32_t y) const {
  const std::uint8_t* p = row(y);
  if (format_ == PixelFormat::Bgr24) return {p[3 * x], p[3 * x + 1], p[3 * x + 2]};
  const std::uint8_t index = p[x];
  return index < palette_.size() ? palette_[index] : Bgr{};
}

void Picture::ToBgr24() {
  if (format_ == PixelFormat::Bgr24) return;
  std::vector<std::uint8_t> out = Allocate(width_, height_, 3);
  PaletteLookup(palette_).Expand(pixels_.data(), pixels_.size(), out.data());
  pixels_ = std::move(out);
  palette_.clear();
  format_ = PixelFormat::Bgr24;
}

}  // namespace tam
