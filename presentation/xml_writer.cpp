// SPDX-License-Identifier: MIT
#include "presentation/xml_writer.h"

#include <cassert>

#include "picture/path.h"

namespace tam::pres {

namespace {

bool XmlAllowed(char32_t c) {
  if (c == 0x9 || c == 0xA || c == 0xD) return true;
  if (c < 0x20) return false;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  if (c == 0xFFFE || c == 0xFFFF) return false;
  return c <= 0x10FFFF;
}

}  // namespace

std::string XmlSafeUtf8(std::string_view text) {
  const std::string valid = ShownUtf8(text);
  std::string clean;
  clean.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    const auto b = static_cast<unsigned char>(valid[i]);
    const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    if (XmlAllowed(c))
      clean.append(valid, i, n);
    else
      clean += "\xEF\xBF\xBD";
    i += n;
  }
  return clean;
}

XmlWriter::XmlWriter() : out_(kXmlDeclaration) {}

void XmlWriter::CloseStartTag() {
  if (start_tag_open_) {
    out_ += '>';
    start_tag_open_ = false;
  }
}

void XmlWriter::Start(std::string_view name) {
  CloseStartTag();
  out_ += '<';
  out_ += name;
  open_.emplace_back(name);
  start_tag_open_ = true;
}

void XmlWriter::Attr(std::string_view name, std::string_view value) {
  assert(start_tag_open_);
  out_ += ' ';
  out_ += name;
  out_ += "=\"";
  Escaped(value, true);
  out_ += '"';
}

void XmlWriter::Attr(std::string_view name, long long value) { Attr(name, std::to_string(value)); }

void XmlWriter::Text(std::string_view utf8) {
  CloseStartTag();
  Escaped(utf8, false);
}

void XmlWriter::End() {
  assert(!open_.empty());
  if (start_tag_open_) {
    out_ += "/>";
    start_tag_open_ = false;
  } else {
    out_ += "</";
    out_ += open_.back();
    out_ += '>';
  }
  open_.pop_back();
}

void XmlWriter::Empty(std::string_view name,
                      std::initializer_list<std::pair<std::string_view, std::string_view>> attrs) {
  Start(name);
  for (const auto& [k, v] : attrs) Attr(k, v);
  End();
}

std::string XmlWriter::Finish() {
  while (!open_.empty()) End();
  return std::move(out_);
}

void XmlWriter::Escaped(std::string_view text, bool in_attribute) {
  // Texts come from file names too: whatever XML cannot carry is replaced here.
  for (char c : XmlSafeUtf8(text)) {
    switch (c) {
      case '&':
        out_ += "&amp;";
        break;
      case '<':
        out_ += "&lt;";
        break;
      case '>':
        out_ += "&gt;";
        break;
      case '"':
        if (in_attribute)
          out_ += "&quot;";
        else
          out_ += c;
        break;
      // Line ends and tabs in attributes would be normalised to spaces by a reader.
      case '\t':
        if (in_attribute)
          out_ += "&#9;";
        else
          out_ += c;
        break;
      case '\n':
        if (in_attribute)
          out_ += "&#10;";
        else
          out_ += c;
        break;
      case '\r':
        out_ += "&#13;";
        break;
      default:
        out_ += c;
    }
  }
}

}  // namespace tam::pres
