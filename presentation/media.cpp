#include "presentation/media.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace tam::pres {

std::uint32_t MediaCrc(const std::uint8_t* data, std::size_t size, std::uint32_t start) {
  uLong crc = start;
  while (size > 0) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace tam::pres
