// SPDX-License-Identifier: MIT
#include "cli/shown.h"

namespace tamcli {
namespace {

// The length of the printable UTF-8 character at `at`, 0 for a control
// character (C0, DEL, C1) or a byte that starts no valid character.
std::size_t PrintableAt(std::string_view s, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = byte(at);
  if (c >= 0x20 && c < 0x7f) return 1;
  if (c < 0xc2 || c > 0xf4) return 0;
  const std::size_t n = c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
  if (at + n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  const unsigned char c1 = byte(at + 1);
  if ((c == 0xc2 && c1 < 0xa0) || (c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0) ||
      (c == 0xf0 && c1 < 0x90) || (c == 0xf4 && c1 >= 0x90)) {
    return 0;  // C1 controls, overlong forms, surrogates, past U+10FFFF
  }
  return n;
}

bool AllPrintable(std::string_view s) {
  for (std::size_t at = 0, n; at < s.size(); at += n) {
    if ((n = PrintableAt(s, at)) == 0) return false;
  }
  return true;
}

// A byte that may not reach the terminal as it is, as C and the shell's
// $'...' write it.
void AppendEscape(std::string& out, unsigned char c) {
  static constexpr char kNamed[] = "abtnvfr";  // 7 to 13
  out += '\\';
  if (c >= 7 && c <= 13) {
    out += kNamed[c - 7];
  } else {
    out += static_cast<char>('0' + (c >> 6));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
  }
}

}  // namespace

std::string ShownPath(std::string_view path) {
  if (AllPrintable(path) && !path.starts_with('\'') && !path.starts_with("$'")) return std::string(path);
  std::string out;
  enum { kNone, kPlain, kEscaped } state = kNone;
  for (std::size_t at = 0; at < path.size();) {
    if (const std::size_t n = PrintableAt(path, at)) {
      if (state != kPlain) out += state == kEscaped ? "''" : "'";
      state = kPlain;
      if (path[at] == '\'') {
        out += "'\\''";
      } else {
        out.append(path, at, n);
      }
      at += n;
    } else {
      if (state != kEscaped) out += state == kPlain ? "'$'" : "$'";
      state = kEscaped;
      AppendEscape(out, static_cast<unsigned char>(path[at++]));
    }
  }
  return out + "'";
}

std::string ShownText(std::string_view text) {
  if (AllPrintable(text)) return std::string(text);
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t n = PrintableAt(text, at)) {
      out.append(text, at, n);
      at += n;
    } else {
      AppendEscape(out, static_cast<unsigned char>(text[at++]));
    }
  }
  return out;
}

}  // namespace tamcli
