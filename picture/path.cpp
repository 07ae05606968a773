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

}  // namespace tam
