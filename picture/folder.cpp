// SPDX-License-Identifier: MIT
#include "picture/folder.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

#include "picture/kind.h"
#include "picture/unique_fd.h"

namespace tam {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::vector<std::string> ReadNames(const std::string& folder) {
  std::vector<std::string> names;
  UniqueDir dir(::opendir(folder.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

}  // namespace

bool NaturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Compare the two numbers without their leading zeros: more digits is
      // larger, equal lengths compare digit by digit.
      while (i < a.size() && a[i] == '0') ++i;
      while (j < b.size() && b[j] == '0') ++j;
      std::size_t ei = i, ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      if (ei - i != ej - j) return ei - i < ej - j;
      const int digits = a.substr(i, ei - i).compare(b.substr(j, ej - j));
      if (digits != 0) return digits < 0;
      i = ei;
      j = ej;
      continue;
    }
    const auto ca = static_cast<unsigned char>(FoldCase(a[i]));
    const auto cb = static_cast<unsigned char>(FoldCase(b[j]));
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

std::vector<std::string> FindFolderPictures(const std::string& folder) {
  std::vector<std::string> names = ReadNames(folder);
  std::sort(names.begin(), names.end(),
            [](const std::string& x, const std::string& y) { return NaturalLess(x, y); });
  const std::string prefix = !folder.empty() && folder.back() == '/' ? folder : folder + '/';
  std::vector<std::string> paths;
  for (const PictureKind kind : {PictureKind::Jpeg, PictureKind::Bitmap}) {
    for (const auto& name : names) {
      if (KindOfFolderName(name) == kind) paths.push_back(prefix + name);
    }
  }
  return paths;
}

}  // namespace tam
