// SPDX-License-Identifier: MIT
#include "picture/bmp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "picture/error.h"
#include "picture/limits.h"

// The reader trusts nothing in the file: every field is read with an explicit
// little-endian read that checks the file's end, and the header as a whole is
// checked (sizes, bit depth against compression, palette, where the pixels
// lie) before the picture is allocated.
//
// Accepted: the 12-byte core header, OS/2 2.x headers of 16 to 64 bytes, and
// the 40/52/56/108/124-byte info headers; 1, 2, 4, 8, 16, 24 and 32 bits per
// pixel, uncompressed or with bit-field masks, RLE4, RLE8 and the OS/2 RLE24.
// Palette pictures come back as 8-bit pictures whose palette always has 2^bpp
// entries (missing ones black), so every index names a colour. Pixels that an
// RLE stream skips (deltas, early end of line or of bitmap, a cut stream) are
// index 0 (black for RLE24). Alpha is ignored, as the picture has none.

namespace tam {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void Invalid() { throw Error("ビットマップイメージが不正です"); }

std::uint16_t U16(Bytes b, std::size_t at) {
  if (at > b.size() || b.size() - at < 2) Invalid();
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t U32(Bytes b, std::size_t at) {
  if (at > b.size() || b.size() - at < 4) Invalid();
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::int32_t I32(Bytes b, std::size_t at) { return static_cast<std::int32_t>(U32(b, at)); }

enum class Coding { kRgb, kRle8, kRle4, kRle24, kBitFields };

constexpr std::size_t kFileHeaderSize = 14;

struct Header {
  std::int64_t width = 0;
  std::int64_t height = 0;  // always positive; top_down tells the row order
  bool top_down = false;
  int bpp = 0;
  Coding coding = Coding::kRgb;
  std::uint32_t colors_used = 0;  // 0 when the header does not say
  std::uint32_t masks[3] = {};    // red, green, blue
  std::size_t palette_at = 0;     // file offset of the first palette entry
  std::size_t entry_size = 4;     // 3 for the core header
  std::size_t data_at = 0;        // file offset of the pixels, as the file header says
};

bool IsWindowsInfoSize(std::uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

// The depths each coding allows.
bool DepthFits(Coding coding, int bpp) {
  switch (coding) {
    case Coding::kRgb:
      return bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    case Coding::kRle8:
      return bpp == 8;
    case Coding::kRle4:
      return bpp == 4;
    case Coding::kRle24:
      return bpp == 24;
    case Coding::kBitFields:
      return bpp == 16 || bpp == 32;
  }
  return false;
}

// Reads the file header and the bitmap header and checks what does not depend
// on the palette. Compression numbers mean different things in OS/2 2.x and
// Windows headers, so the header size decides which table applies.
Header ReadHeader(Bytes file) {
  if (file[0] != 'B' || file[1] != 'M') Invalid();
  Header h;
  h.data_at = U32(file, 10);
  const std::uint32_t size = U32(file, 14);
  const bool core = size == 12;
  const bool os2 = !core && !IsWindowsInfoSize(size) && size >= 16 && size <= 64 && size % 4 == 0;
  if (!core && !os2 && !IsWindowsInfoSize(size)) Invalid();
  if (file.size() - kFileHeaderSize < size) Invalid();
  // Fields of an OS/2 2.x header past its stated size are zero.
  auto field32 = [&](std::size_t at) -> std::uint32_t {
    return at + 4 <= kFileHeaderSize + size ? U32(file, at) : 0;
  };

  std::uint32_t planes = 0;
  std::uint32_t compression = 0;
  if (core) {
    h.width = U16(file, 18);
    h.height = U16(file, 20);
    planes = U16(file, 22);
    h.bpp = U16(file, 24);
    h.entry_size = 3;
  } else {
    h.width = I32(file, 18);
    const std::int64_t height = I32(file, 22);
    planes = U16(file, 26);
    h.bpp = U16(file, 28);
    compression = field32(30);
    h.colors_used = field32(46);
    h.top_down = height < 0;
    h.height = height < 0 ? -height : height;
  }
  if (planes != 1) Invalid();
  if (h.width <= 0 || h.height <= 0 || h.height > std::numeric_limits<std::int32_t>::max()) Invalid();

  h.palette_at = kFileHeaderSize + size;
  switch (compression) {
    case 0:
      h.coding = Coding::kRgb;
      break;
    case 1:
      h.coding = Coding::kRle8;
      break;
    case 2:
      h.coding = Coding::kRle4;
      break;
    case 3:  // OS/2: Huffman 1D, not supported
    case 6:  // alpha bit fields: the fourth mask follows the other three
      if (os2) Invalid();
      h.coding = Coding::kBitFields;
      if (size >= 52) {
        for (int i = 0; i < 3; ++i) h.masks[i] = U32(file, 54 + 4 * i);
      } else {
        for (int i = 0; i < 3; ++i) h.masks[i] = U32(file, h.palette_at + 4 * i);
        h.palette_at += compression == 6 ? 16 : 12;
      }
      break;
    case 4:  // OS/2: RLE24; Windows: an embedded JPEG stream, not supported
      if (!os2) Invalid();
      h.coding = Coding::kRle24;
      break;
    default:  // embedded PNG and anything unknown
      Invalid();
  }

  if (!DepthFits(h.coding, h.bpp)) Invalid();
  // Run-length pictures are stored bottom-up only.
  if (h.top_down && h.coding != Coding::kRgb && h.coding != Coding::kBitFields) Invalid();

  if (h.coding == Coding::kRgb && h.bpp == 16) {
    h.masks[0] = 0x7C00;
    h.masks[1] = 0x03E0;
    h.masks[2] = 0x001F;
    h.coding = Coding::kBitFields;
  }
  return h;
}

// Reads the palette and settles where the pixels start. A palette whose length
// the header leaves open ends where the pixels begin (short OS/2 palettes); a
// pixel offset that points into the headers or at the palette itself is taken
// to mean "right after the palette", as its writer forgot to count it.
std::vector<Bgr> ReadPalette(Bytes file, Header& h) {
  const std::uint64_t full = h.bpp <= 8 ? std::uint64_t{1} << h.bpp : 0;
  std::uint64_t count = h.colors_used != 0 ? h.colors_used : full;
  if (h.colors_used == 0 && h.data_at > h.palette_at) {
    count = std::min<std::uint64_t>(count, (h.data_at - h.palette_at) / h.entry_size);
  }
  if (h.data_at <= h.palette_at) {
    const std::uint64_t end = h.palette_at + count * h.entry_size;
    if (end > file.size()) Invalid();
    h.data_at = static_cast<std::size_t>(end);
  }
  if (h.data_at > file.size()) Invalid();
  if (full == 0) return {};

  const std::uint64_t used = std::min(count, full);
  if (h.palette_at + used * h.entry_size > file.size()) Invalid();
  std::vector<Bgr> palette(full);
  for (std::uint64_t i = 0; i < used; ++i) {
    const std::uint8_t* e = file.data() + h.palette_at + i * h.entry_size;
    palette[i] = {e[0], e[1], e[2]};
  }
  return palette;
}

// Scales one bit-field channel to 8 bits: value * 255 / max, rounded to
// nearest (max = 2^n - 1 is odd, so there are no ties). A 5-bit 31 becomes
// 255, a 5-bit 16 becomes 132; channels wider than 8 bits scale down alike.
class Channel {
 public:
  explicit Channel(std::uint32_t mask, int bpp) {
    if (bpp < 32 && (mask >> bpp) != 0) Invalid();  // bits the pixel does not have
    if (mask == 0) return;                          // channel absent: reads as 0
    shift_ = std::countr_zero(mask);
    const std::uint32_t bits = mask >> shift_;
    if ((bits & (bits + 1)) != 0) Invalid();  // not one run of ones
    mask_ = bits;
    width_ = std::popcount(bits);
    if (width_ <= 16) {
      lut_.resize(std::size_t{1} << width_);
      for (std::uint32_t v = 0; v <= bits; ++v) lut_[v] = Scale(v);
    }
  }

  std::uint8_t operator()(std::uint32_t pixel) const {
    const std::uint32_t v = (pixel >> shift_) & mask_;
    return width_ <= 16 ? lut_[v] : Scale(v);
  }

 private:
  std::uint8_t Scale(std::uint32_t v) const {
    const std::uint64_t max = mask_;
    return static_cast<std::uint8_t>((std::uint64_t{v} * 255 + max / 2) / max);
  }

  int shift_ = 0;
  std::uint32_t mask_ = 0;
  int width_ = 0;
  std::vector<std::uint8_t> lut_ = std::vector<std::uint8_t>(1, 0);
};

// Refuses a picture whose conversion would take more than the budget: the
// file, the picture and, for a palette picture, its 24-bit form. A run-length
// file of a few bytes may claim any size, so this comes before the picture.
void CheckCost(Bytes file, const Header& h, int bytes_per_pixel) {
  CheckPictureSize(h.width, h.height, 0);
  const DecodeCost cost{h.width, h.height, bytes_per_pixel, static_cast<std::int64_t>(file.size()), 0};
  CheckMemoryNeed(h.width, h.height, ConversionNeed(cost, false));
}

Picture DecodeUncompressed(Bytes file, const Header& h, std::vector<Bgr> palette) {
  // Rows are padded to 4 bytes; the last row's padding may be missing.
  const std::int64_t row_bytes = (h.width * h.bpp + 7) / 8;
  const std::int64_t stride = (h.width * h.bpp + 31) / 32 * 4;
  const std::int64_t available = static_cast<std::int64_t>(file.size() - h.data_at);
  if (available < row_bytes || (h.height - 1) > (available - row_bytes) / stride) Invalid();

  const bool indexed = h.bpp <= 8;
  CheckCost(file, h, indexed ? 1 : 3);
  const auto width = static_cast<std::int32_t>(h.width);
  const auto height = static_cast<std::int32_t>(h.height);
  Picture picture =
      indexed ? Picture::Indexed8(width, height, std::move(palette)) : Picture::Bgr24(width, height);

  const Channel red(h.masks[0], h.bpp), green(h.masks[1], h.bpp), blue(h.masks[2], h.bpp);
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* src = file.data() + h.data_at + static_cast<std::size_t>(stride) * y;
    std::uint8_t* dst = picture.row(h.top_down ? y : height - 1 - y);
    switch (h.bpp) {
      case 1:
      case 2:
      case 4: {
        const int per_byte = 8 / h.bpp;
        const int value_mask = (1 << h.bpp) - 1;
        for (std::int32_t x = 0; x < width; ++x) {
          const int shift = 8 - h.bpp * (x % per_byte + 1);
          dst[x] = static_cast<std::uint8_t>((src[x / per_byte] >> shift) & value_mask);
        }
        break;
      }
      case 8:
      case 24:
        std::memcpy(dst, src, static_cast<std::size_t>(row_bytes));
        break;
      case 16:
        for (std::int32_t x = 0; x < width; ++x, src += 2, dst += 3) {
          const std::uint32_t p = src[0] | src[1] << 8;
          dst[0] = blue(p);
          dst[1] = green(p);
          dst[2] = red(p);
        }
        break;
      case 32:
        if (h.coding == Coding::kRgb) {
          for (std::int32_t x = 0; x < width; ++x, src += 4, dst += 3) std::memcpy(dst, src, 3);
          break;
        }
        for (std::int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
          const std::uint32_t p =
              static_cast<std::uint32_t>(src[0]) | static_cast<std::uint32_t>(src[1]) << 8 |
              static_cast<std::uint32_t>(src[2]) << 16 | static_cast<std::uint32_t>(src[3]) << 24;
          dst[0] = blue(p);
          dst[1] = green(p);
          dst[2] = red(p);
        }
        break;
    }
  }
  return picture;
}

// Decodes RLE4, RLE8 and RLE24 streams. Runs and deltas are clipped to the
// picture: pixels past the right edge are dropped (a run never goes on in the
// next row), and the stream ends at the top row, at end of bitmap or where
// the file ends, whichever comes first.
Picture DecodeRle(Bytes file, const Header& h, std::vector<Bgr> palette) {
  const int pixel_bytes = h.coding == Coding::kRle24 ? 3 : 1;
  CheckCost(file, h, pixel_bytes);
  const auto width = static_cast<std::int32_t>(h.width);
  const auto height = static_cast<std::int32_t>(h.height);
  Picture picture =
      pixel_bytes == 3 ? Picture::Bgr24(width, height) : Picture::Indexed8(width, height, std::move(palette));

  const Bytes data = file.subspan(h.data_at);
  std::size_t pos = 0;
  auto left = [&] { return data.size() - pos; };
  std::int64_t x = 0;
  std::int64_t y = 0;  // counted from the bottom row
  std::uint8_t* row = nullptr;
  // Writes one pixel at the current position unless it lies past the right edge.
  auto put = [&](const std::uint8_t* value) {
    if (x < width) std::memcpy(row + x * pixel_bytes, value, pixel_bytes);
    ++x;
  };

  while (y < height && left() >= 1) {
    row = picture.row(static_cast<std::int32_t>(height - 1 - y));
    const unsigned count = data[pos++];
    if (count != 0) {  // a run of one value (two alternating values in RLE4)
      if (left() < static_cast<std::size_t>(pixel_bytes)) break;
      const std::uint8_t* value = data.data() + pos;
      pos += pixel_bytes;
      const std::int64_t end = x + count;
      if (h.coding == Coding::kRle4) {
        const std::uint8_t nibbles[2] = {static_cast<std::uint8_t>(*value >> 4),
                                         static_cast<std::uint8_t>(*value & 0x0F)};
        for (unsigned i = 0; x < end && x < width; ++i) put(&nibbles[i % 2]);
      } else {
        while (x < end && x < width) put(value);
      }
      x = end;  // whatever lies past the right edge is dropped
      continue;
    }
    if (left() < 1) break;
    const unsigned escape = data[pos++];
    if (escape == 0) {  // end of line
      x = 0;
      ++y;
    } else if (escape == 1) {  // end of bitmap
      break;
    } else if (escape == 2) {  // delta: move right and up
      if (left() < 2) break;
      x += data[pos];
      y += data[pos + 1];
      pos += 2;
    } else {  // absolute run of `escape` pixels, padded to a 16-bit boundary
      const std::size_t bytes =
          h.coding == Coding::kRle4 ? (escape + 1) / 2 : std::size_t{escape} * pixel_bytes;
      const std::size_t have = std::min(bytes, left());
      const std::uint8_t* src = data.data() + pos;
      if (h.coding == Coding::kRle4) {
        const std::size_t n = std::min<std::size_t>(escape, have * 2);
        for (std::size_t i = 0; i < n; ++i) {
          const std::uint8_t v = i % 2 == 0 ? src[i / 2] >> 4 : src[i / 2] & 0x0F;
          put(&v);
        }
      } else {
        const std::size_t n = have / pixel_bytes;
        for (std::size_t i = 0; i < n; ++i) put(src + i * pixel_bytes);
      }
      if (have < bytes) break;  // the file ends inside the run
      pos += std::min(bytes + (bytes & 1), left());
    }
  }
  return picture;
}

}  // namespace

Picture DecodeBmp(std::span<const std::uint8_t> file) {
  if (file.empty()) return Picture();
  if (file.size() < kFileHeaderSize) throw Error("ストリームからの読み込みエラー");
  Header h = ReadHeader(file);
  std::vector<Bgr> palette = ReadPalette(file, h);
  if (h.coding == Coding::kRgb || h.coding == Coding::kBitFields)
    return DecodeUncompressed(file, h, std::move(palette));
  return DecodeRle(file, h, std::move(palette));
}

}  // namespace tam
