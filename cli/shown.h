// SPDX-License-Identifier: MIT
#pragma once
// Names as the command-line tool shows them: a control character in a file
// name must neither split a line nor act on the terminal.
#include <string>
#include <string_view>

namespace tamcli {

// A path for a one-per-line output: as it is, unless it holds a control
// character (C0, DEL, C1) or bytes that are no UTF-8, or starts with ' or $';
// it is then quoted as GNU tools and the shell do, 'a'$'\n''b.jpg', which a
// shell reads back as the name.
std::string ShownPath(std::string_view path);

// A message line whose file names may hold anything: a control character or
// a byte that is no UTF-8 is written as its escape (\n, \033).
std::string ShownText(std::string_view text);

}  // namespace tamcli
