// SPDX-License-Identifier: MIT
#include "picture/jpeg_header.h"

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <cstddef>
#include <cstring>
#include <memory>

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

int Be16(const std::uint8_t* p) { return p[0] << 8 | p[1]; }

}  // namespace

JpegHeader ReadJpegHeader(std::span<const std::uint8_t> file) {
  JpegHeader header;
  const std::uint8_t* d = file.data();
  const std::size_t size = file.size();
  if (size < 4 || d[0] != 0xFF || d[1] != 0xD8) return header;
  // Each fact is taken from the first segment that states it; what comes
  // after a damaged segment is not read.
  bool frame_read = false, exif_read = false;
  std::size_t pos = 2;
  while (pos + 4 <= size && !(frame_read && exif_read)) {
    if (d[pos] != 0xFF) break;
    const std::uint8_t marker = d[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      pos += 2;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;  // scan data or the end
    const std::size_t length = static_cast<std::size_t>(Be16(d + pos + 2));
    if (length < 2 || length > size - pos - 2) break;
    const std::uint8_t* payload = d + pos + 4;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame && !frame_read) {
      frame_read = true;
      if (length >= 8) {
        header.frame_marker = marker;
        header.precision = payload[0];
        header.height = Be16(payload + 1);
        header.width = Be16(payload + 3);
        header.components = payload[5];
      }
    }
    static constexpr std::uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (marker == 0xE1 && !exif_read && length >= 2 + sizeof kExif &&
        std::memcmp(payload, kExif, sizeof kExif) == 0) {
      exif_read = true;
      header.orientation = OrientationOfExif(payload, length - 2);
    }
    pos += 2 + length;
  }
  return header;
}

}  // namespace tam
