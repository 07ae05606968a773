#pragma once
// How the reduce command picks what to convert for one list entry.
#include <optional>
#include <string>

#include "picture/convert.h"

namespace tam {

struct ConversionJob {
  std::string path;
  SourceKind kind;
};

// An existing file with an extension: itself, by extension. An entry ending
// exactly in ".jpg" (".bmp") that names nothing while the entry without it
// names a file: that extensionless file as JPEG (bitmap). Otherwise nothing.
std::optional<ConversionJob> ChooseConversion(const std::string& entry);

}  // namespace tam
