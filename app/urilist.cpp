// SPDX-License-Identifier: MIT
#include "app/urilist.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace tam {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

bool IsThisHost(std::string_view host) {
  if (host.empty() || host == "localhost") return true;
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 && host == name;
}

}  // namespace

std::vector<std::string> LocalPathsOfUriList(std::string_view uri_list) {
  std::vector<std::string> paths;
  while (!uri_list.empty()) {
    const auto end = uri_list.find('\n');
    std::string_view line = uri_list.substr(0, end);
    uri_list = end == std::string_view::npos ? std::string_view() : uri_list.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\0')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#' || !StartsWithNoCase(line, "file:")) continue;
    line.remove_prefix(5);
    if (line.starts_with("//")) {
      line.remove_prefix(2);
      const auto slash = line.find('/');
      if (slash == std::string_view::npos || !IsThisHost(line.substr(0, slash))) continue;
      line.remove_prefix(slash);
    }
    // Query and fragment are no part of a file's path; the characters
    // themselves reach us percent-encoded.
    line = line.substr(0, line.find_first_of("?#"));
    if (!line.starts_with('/')) continue;
    // No file's name holds a NUL byte: such a path would name a different
    // file than the one shown, once cut there by the system.
    std::string path = PercentDecode(line);
    if (path.find('\0') != std::string::npos) continue;
    paths.push_back(std::move(path));
  }
  return paths;
}

}  // namespace tam
