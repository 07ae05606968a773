// EXIF orientation: reading the tag and turning the pixels upright.
#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "picture/jpeg.h"

namespace tam {
namespace {

struct ExifDataUnref {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};

// The orientation tag of one APP1 "Exif" payload (starting at "Exif\0\0").
int OrientationOfExif(const std::uint8_t* payload, std::size_t size) {
  std::unique_ptr<ExifData, ExifDataUnref> data(exif_data_new());
  if (!data) return 1;
  // Read the data as it stands: libexif's clean-up would add or rewrite tags.
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(data.get(), payload, static_cast<unsigned int>(size));
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (!entry || !entry->data || entry->components < 1) return 1;
  const ExifByteOrder order = exif_data_get_byte_order(data.get());
  long value = 0;
  if (entry->format == EXIF_FORMAT_SHORT && entry->size >= 2) {
    value = exif_get_short(entry->data, order);
  } else if (entry->format == EXIF_FORMAT_LONG && entry->size >= 4) {
    value = exif_get_long(entry->data, order);  // written so by a few tools
  } else {
    return 1;
  }
  return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

}  // namespace

int ReadExifOrientation(std::span<const std::uint8_t> file) {
  const std::uint8_t* d = file.data();
  const std::size_t size = file.size();
  if (size < 4 || d[0] != 0xFF || d[1] != 0xD8) return 1;
  // Walk the marker segments before the first scan; EXIF lives in APP1.
  std::size_t pos = 2;
  while (pos + 4 <= size) {
    if (d[pos] != 0xFF) return 1;
    const std::uint8_t marker = d[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    pos += 2;
    if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xDA || marker == 0xD9) return 1;  // scan data or end: no EXIF before it
    const std::size_t length = std::size_t{d[pos]} << 8 | d[pos + 1];
    if (length < 2 || length > size - pos) return 1;
    static constexpr std::uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (marker == 0xE1 && length >= 2 + sizeof kExif && std::memcmp(d + pos + 2, kExif, sizeof kExif) == 0) {
      return OrientationOfExif(d + pos + 2, length - 2);
    }
    pos += length;
  }
  return 1;
}

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
