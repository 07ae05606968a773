// SPDX-License-Identifier: MIT
#pragma once
// Dropped files arrive as a text/uri-list: one file:// URI a line. Their paths
// are percent-decoded straight to bytes, so a name that is not valid UTF-8
// keeps its exact bytes.
#include <string>
#include <string_view>
#include <vector>

namespace tam {

// The local paths of the list's file URIs, in order. Comment lines, blank
// lines and URIs of other schemes or other hosts are left out.
std::vector<std::string> LocalPathsOfUriList(std::string_view uri_list);

}  // namespace tam
