// SPDX-License-Identifier: MIT
#pragma once
// The picture in memory: rows top-down, no row padding. The working form is
// 24 bits per pixel in blue, green, red order; a picture decoded with
// quantization is 8 bits per pixel with a palette until converted.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tam {

struct Bgr {
  std::uint8_t b = 0, g = 0, r = 0;
  friend bool operator==(const Bgr&, const Bgr&) = default;
};

enum class PixelFormat { Bgr24, Indexed8 };

// The colours of a palette by index, for every expansion of 8-bit pixels to
// 24 bits: an index past the palette's end shows black rather than reading
// past it.
class PaletteLookup {
 public:
  explicit PaletteLookup(const std::vector<Bgr>& palette) {
    for (std::size_t i = 0; i < palette.size() && i < 256; ++i) {
      const Bgr& c = palette[i];
      colours_[i] = static_cast<std::uint32_t>(c.b) | static_cast<std::uint32_t>(c.g) << 8 |
                    static_cast<std::uint32_t>(c.r) << 16;
    }
  }
  // Writes count pixels given as indices as blue, green, red bytes. Each
  // pixel but the last is stored as four bytes, the fourth overwritten by
  // the next pixel's first.
  void Expand(const std::uint8_t* indices, std::size_t count, std::uint8_t* bgr) const {
    if (count == 0) return;
    for (std::size_t i = 0; i + 1 < count; ++i) std::memcpy(bgr + 3 * i, &colours_[indices[i]], 4);
    const std::uint32_t last = colours_[indices[count - 1]];
    std::uint8_t* const end = bgr + 3 * (count - 1);
    end[0] = static_cast<std::uint8_t>(last);
    end[1] = static_cast<std::uint8_t>(last >> 8);
    end[2] = static_cast<std::uint8_t>(last >> 16);
  }

 private:
  std::uint32_t colours_[256] = {};  // blue, green, red in the low three bytes
};

class Picture {
 public:
  Picture() = default;
  // A 24-bit picture of the given size, all pixels black. Throws tam::Error
  // with a clear message when the size is negative or too large for memory.
  static Picture Bgr24(std::int32_t width, std::int32_t height);
  // An 8-bit picture with the given palette (1 to 256 entries), all index 0.
  static Picture Indexed8(std::int32_t width, std::int32_t height, std::vector<Bgr> palette);

  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }
  PixelFormat format() const { return format_; }
  bool empty() const { return width_ == 0 || height_ == 0; }
  int bytes_per_pixel() const { return format_ == PixelFormat::Bgr24 ? 3 : 1; }
  std::size_t stride() const { return static_cast<std::size_t>(width_) * bytes_per_pixel(); }

  std::uint8_t* row(std::int32_t y) { return pixels_.data() + stride() * static_cast<std::size_t>(y); }
  const std::uint8_t* row(std::int32_t y) const {
    return pixels_.data() + stride() * static_cast<std::size_t>(y);
  }
  std::vector<std::uint8_t>& pixels() { return pixels_; }
  const std::vector<std::uint8_t>& pixels() const { return pixels_; }
  const std::vector<Bgr>& palette() const { return palette_; }

  // Colour of pixel (x, y) whatever the format.
  Bgr at(std::int32_t x, std::int32_t y) const;

  // Expands a palette picture to 24 bits; a 24-bit picture is left alone.
  void ToBgr24();

 private:
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  PixelFormat format_ = PixelFormat::Bgr24;
  std::vector<std::uint8_t> pixels_;
  std::vector<Bgr> palette_;
};

// Throws tam::Error with a clear Japanese message when a picture of this size
// cannot be held: a negative side; LimitError for 2^31 pixels or more, or more
// bytes than the budget of picture/limits.h allows.
void CheckPictureSize(std::int64_t width, std::int64_t height, int bytes_per_pixel);

}  // namespace tam
