// SPDX-License-Identifier: MIT
#include "presentation/png.h"

#include <png.h>

#include <csetjmp>
#include <new>

#include "picture/error.h"

namespace tam::pres {

namespace {

void Append(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  bool full = false;
  try {
    out->insert(out->end(), data, data + size);
  } catch (const std::bad_alloc&) {
    full = true;
  }
  // Outside the handler: libpng's error jumps away, and a jump out of a
  // handler would leave the exception behind, never freed.
  if (full) png_error(png, "out of memory");
}

void Flush(png_structp) {}

class WriteStruct {
 public:
  WriteStruct() : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr)) {
    if (png_) info_ = png_create_info_struct(png_);
    if (!png_ || !info_) {
      png_destroy_write_struct(&png_, &info_);
      throw std::bad_alloc();
    }
  }
  ~WriteStruct() { png_destroy_write_struct(&png_, &info_); }
  WriteStruct(const WriteStruct&) = delete;
  WriteStruct& operator=(const WriteStruct&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

// Every libpng call of one encoding. It runs beneath the jump buffer that
// Encoded sets, in a frame of its own: its locals change after setjmp, and
// kept out of the frame that setjmp returns to twice, they cannot be
// clobbered by the jump. It makes nothing with a destructor, which the jump
// would skip.
[[gnu::noinline]] void Write(png_structp png, png_infop info, const Picture& picture,
                             const PaletteLookup& colours, std::uint8_t* bgr,
                             std::vector<std::uint8_t>* out) {
  png_set_write_fn(png, out, Append, Flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width()),
               static_cast<png_uint_32>(picture.height()), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);  // rows are given blue first, as the picture holds them
  const bool indexed = picture.format() == PixelFormat::Indexed8;
  for (std::int32_t y = 0; y < picture.height(); ++y) {
    const std::uint8_t* row = picture.row(y);
    if (indexed) {
      colours.Expand(row, static_cast<std::size_t>(picture.width()), bgr);
      row = bgr;
    }
    png_write_row(png, const_cast<png_bytep>(row));
  }
  png_write_end(png, nullptr);
}

// False when libpng gave up (its error handler jumps back here).
bool Encoded(png_structp png, png_infop info, const Picture& picture, const PaletteLookup& colours,
             std::uint8_t* bgr, std::vector<std::uint8_t>* out) {
  if (setjmp(png_jmpbuf(png))) return false;
  Write(png, info, picture, colours, bgr, out);
  return true;
}

}  // namespace

std::vector<std::uint8_t> EncodePng(const Picture& picture) {
  if (picture.empty()) throw Error("空の図は PNG にできません");
  const PaletteLookup colours(picture.palette());
  const bool indexed = picture.format() == PixelFormat::Indexed8;
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> bgr(indexed ? static_cast<std::size_t>(picture.width()) * 3 : 0);
  WriteStruct s;
  if (!Encoded(s.png(), s.info(), picture, colours, bgr.data(), &out))
    throw Error("図を PNG に変換できません");
  return out;
}

}  // namespace tam::pres
