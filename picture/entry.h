// SPDX-License-Identifier: MIT
#pragma once
// Which file a list entry stands for, and how it is to be converted.
#include <optional>
#include <string>

#include "picture/kind.h"

namespace tam {

struct ConversionSource {
  std::string path;
  SourceKind kind = skByExtension;
  friend bool operator==(const ConversionSource&, const ConversionSource&) = default;
};

// An existing file with an extension is converted as it is (skByExtension).
// An entry ending in an appended extension (".jpg" or ".bmp", exact case,
// kind.h) that names no file while the entry without it does stands for that
// extensionless file (skJpeg or skBitmap): this is how extensionless pictures
// get into the list. Any other entry is not converted.
std::optional<ConversionSource> ChooseConversionSource(const std::string& entry);

}  // namespace tam
