// SPDX-License-Identifier: MIT
#include "picture/path.h"

#include <sys/stat.h>

namespace tam {
namespace {

// Position of the extension's dot, or npos when the last name has none.
std::string_view::size_type ExtDot(std::string_view path) {
  const auto dot = path.find_last_of("./");
  if (dot == std::string_view::npos || path[dot] != '.') return std::string_view::npos;
  return dot;
}

}  // namespace

std::string ExtractFileExt(std::string_view path) {
  const auto dot = ExtDot(path);
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string RemoveFileExt(std::string_view path) { return std::string(path.substr(0, ExtDot(path))); }

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  return RemoveFileExt(path).append(ext);
}

std::string ExtractFileName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ShownUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    // Length of the character this byte starts, and the least code point
    // that needs that length (shorter forms are invalid).
    std::size_t n = b < 0x80                ? 1
                    : b >= 0xC2 && b < 0xE0 ? 2
                    : b >= 0xE0 && b < 0xF0 ? 3
                    : b >= 0xF0 && b < 0xF5 ? 4
                                            : 0;
    char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    bool ok = n > 0 && i + n <= bytes.size();
    for (std::size_t k = 1; ok && k < n; ++k) {
      const auto cont = static_cast<unsigned char>(bytes[i + k]);
      ok = (cont & 0xC0) == 0x80;
      c = (c << 6) | (cont & 0x3F);
    }
    ok = ok && !(n == 3 && c < 0x800) && !(n == 4 && (c < 0x10000 || c > 0x10FFFF)) &&
         !(c >= 0xD800 && c <= 0xDFFF);
    if (ok) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace tam
