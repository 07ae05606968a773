// SPDX-License-Identifier: MIT
#pragma once
// Writes a presentation as an Office Open XML .pptx package: slide master with
// its theme, title and blank layouts, a notes master with a theme of its own,
// one notes slide per slide, pictures stored as their own bytes.
#include <ctime>
#include <string>

#include "picture/trash.h"
#include "presentation/builtin_model.h"

namespace tam::pres {

struct PptxOptions {
  std::string title;  // document title in the file's properties (UTF-8)
  std::time_t time = std::time(nullptr);
  // When set, an existing file at the path that is no presentation
  // (IsForeignFile: somebody's photo, text or other document) is moved here
  // before it is replaced; when that fails the save fails and the file stays.
  // When not set, such a file is never replaced: the save fails.
  Trash* foreign_to = nullptr;
};

// Writes the package in place of path as every file of this program is
// written (SafeFileWriter in picture/fileio.h): a failure leaves any earlier
// file intact, a link keeps pointing to the saved file, a file the user may
// not write is refused. A link is written through only to an earlier
// presentation (or to nothing yet): whatever else it points to stays as it
// is, neither trashed nor replaced, and the save fails. Throws tam::Error
// naming the file and the reason.
void SavePptx(const PresentationData& data, const std::string& path, const PptxOptions& options = {});

}  // namespace tam::pres
