// SPDX-License-Identifier: MIT
#pragma once
// What kind of picture a file is taken for. The kind is told by the file's
// name alone, decided once for each list entry and handed on: every rule by
// which a name makes a kind is here.
#include <cstdint>
#include <string_view>

namespace tam {

enum class PictureKind : std::uint8_t { None, Jpeg, Bitmap };

// The rule for a listed file: the whole extension, dot included, in exact
// case: ".jpg" and ".JPG" are JPEG, ".bmp" and ".BMP" bitmaps; ".Jpg" or
// ".jpeg" are neither.
PictureKind KindOfExtension(std::string_view ext);
PictureKind KindOfName(std::string_view path);  // by the path's extension

// The extension the list's commands append to an entry without one, ".jpg"
// or ".bmp", and the kind such an entry asks for when only the file without
// it exists: these lower-case forms alone ("" and None otherwise).
std::string_view AppendedExtension(PictureKind kind);
PictureKind KindOfAppendedExtension(std::string_view ext);

// The rule of the folder search, which matches names as a case-blind
// directory search would: ".Jpg" is JPEG there too.
PictureKind KindOfFolderName(std::string_view name);

// What a list entry asks of the conversion: a kind forced on the file behind
// it (an extension appended to an extensionless file), or the kind of the
// file's own name. The values are fixed: any other byte acts as
// skByExtension.
enum SourceKind : std::uint8_t { skBitmap = 0, skJpeg = 1, skByExtension = 3 };

// The kind a SourceKind forces; None for skByExtension.
PictureKind ForcedKind(SourceKind kind);

}  // namespace tam
