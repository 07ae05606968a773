#pragma once
// The per-file conversion: one JPEG or BMP file in, one reduced JPEG file out.
#include <string>

#include "picture/kind.h"
#include "picture/trash.h"

namespace tam {

struct ConvertOptions {
  bool overwrite = false;           // OverwriteSave
  bool quarter = false;             // QuarterSlideSize: JPEG sources fit 480 x 360
  bool low_colour_display = false;  // display of 8 bits per pixel or fewer
  Trash* trash = nullptr;           // where a replaced bitmap goes; null: the real trash
};

// Converts one file and returns the path written last, or "" when nothing was
// written. Errors throw tam::Error with the user-facing message.
std::string ConvertPicture(const std::string& path, int quality, SourceKind kind,
                           const ConvertOptions& options);

}  // namespace tam
