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

// True when name ends in ext (".jpg") ignoring ASCII case.
bool EndsWithNoCase(std::string_view name, std::string_view ext);

// Full paths (folder + "/" + name) of the folder's entries whose names end in
// ".jpg", then of those ending in ".bmp", ignoring case. Every kind of entry
// counts, directories included. A folder that cannot be read gives nothing.
std::vector<std::string> FindFolderPictures(const std::string& folder);

}  // namespace tam
