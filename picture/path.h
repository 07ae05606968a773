// SPDX-License-Identifier: MIT
#pragma once
// Path helpers on byte strings. A Linux file name is bytes, not necessarily
// UTF-8; "/" is the only separator. No multi-byte UTF-8 character contains the
// bytes "/" or ".", so byte scans from the end stay exact.
#include <string>
#include <string_view>

namespace tam {

// The text from the last "." after the last "/", dot included; empty when
// there is no such dot. A name ending in "." has the extension ".".
std::string ExtractFileExt(std::string_view path);

// The path with its extension removed (the whole path when it has none).
std::string RemoveFileExt(std::string_view path);

// Base name + ext: a path without extension gets ext appended.
std::string ChangeFileExt(std::string_view path, std::string_view ext);

// The text after the last "/" (the whole path when it has none).
std::string ExtractFileName(std::string_view path);

// The folder part: everything up to and including the last "/".
std::string ExtractFilePath(std::string_view path);

// The bytes of a name as text to show: valid UTF-8 is kept, every byte that
// is not part of a valid character becomes U+FFFD, as a UTF-8 desktop shows
// such a name.
std::string ShownUtf8(std::string_view bytes);

// stat() succeeds, links followed, and the entry is not a directory.
bool FileExists(const std::string& path);

}  // namespace tam
