// SPDX-License-Identifier: MIT
#pragma once
// A small streaming XML writer: elements, attributes and text, escaped and
// encoded as UTF-8. Characters XML 1.0 cannot carry (most C0 controls, lone
// surrogates, U+FFFE/U+FFFF) become U+FFFD, so any file name can be written.
#include <string>
#include <string_view>
#include <vector>

namespace tam::pres {

// The declaration every document starts with, its own line.
inline constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

class XmlWriter {
 public:
  // Starts the document with the standalone UTF-8 declaration.
  XmlWriter();

  void Start(std::string_view name);
  // Attributes go on the element most recently started, before any content.
  void Attr(std::string_view name, std::string_view value);
  void Attr(std::string_view name, const char* value) { Attr(name, std::string_view(value)); }
  void Attr(std::string_view name, const std::string& value) { Attr(name, std::string_view(value)); }
  void Attr(std::string_view name, long long value);
  void Text(std::string_view utf8);
  void End();
  // Start + attributes + End for an element without content.
  void Empty(std::string_view name,
             std::initializer_list<std::pair<std::string_view, std::string_view>> attrs);

  // Closes whatever is still open and hands over the document.
  std::string Finish();

 private:
  void CloseStartTag();
  void Escaped(std::string_view utf8, bool in_attribute);

  std::string out_;
  std::vector<std::string> open_;
  bool start_tag_open_ = false;
};

// A UTF-8 text with the characters XML cannot carry, and any byte that is not
// part of a valid character, replaced by U+FFFD.
std::string XmlSafeUtf8(std::string_view text);

}  // namespace tam::pres
