// SPDX-License-Identifier: MIT
#pragma once
// The per-file conversion: one JPEG or BMP file in, one reduced JPEG file out.
#include <functional>
#include <string>

#include "picture/kind.h"
#include "picture/trash.h"

namespace tam {

struct ConvertOptions {
  bool overwrite = false;           // OverwriteSave
  bool quarter = false;             // QuarterSlideSize: JPEG sources fit 480 x 360
  bool low_colour_display = false;  // display of 8 bits per pixel or fewer
  Trash* trash = nullptr;           // where a replaced bitmap goes; null: the real trash
  // Runs once the source is read, before anything is written: where a test
  // changes the folder under the conversion.
  std::function<void()> after_read = nullptr;
};

// Converts one file and returns the path written last, or "" when nothing was
// written. Errors throw tam::Error with the user-facing message. The source's
// folder is held open from before the read: the output goes into that very
// folder, renamed or not, and never into one put under its name meanwhile;
// the path returned is where the output is found now.
std::string ConvertPicture(const std::string& path, int quality, SourceKind kind,
                           const ConvertOptions& options);

}  // namespace tam
