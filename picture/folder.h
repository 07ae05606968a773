// SPDX-License-Identifier: MIT
#pragma once
// The folder search behind "choose a folder": the folder's JPEG names, then its
// BMP names, each group in natural name order. No subfolders are searched.
#include <string>
#include <string_view>
#include <vector>

namespace tam {

// Natural order of two names: ASCII letters compare without regard to case,
// runs of digits compare as numbers (IMG_2 before IMG_10); names equal so far
// are ordered by their raw bytes, so the order is total and stable.
bool NaturalLess(std::string_view a, std::string_view b);

// Full paths (folder + "/" + name) of the folder's JPEG names, then of its
// bitmap names, by the folder search's own rule (KindOfFolderName in kind.h:
// ".jpg" and ".bmp" with case ignored). Every kind of entry
// counts, directories included. A folder that cannot be read gives nothing.
std::vector<std::string> FindFolderPictures(const std::string& folder);

}  // namespace tam
