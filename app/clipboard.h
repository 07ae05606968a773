// SPDX-License-Identifier: MIT
#pragma once
// The desktop's clipboard as the insert command uses it: a picture goes on it
// as an image, with a JPEG file's own bytes beside it as image/jpeg, and is
// read back from there for the engines' paste.
#include <QImage>

#include "picture/picture.h"
#include "presentation/clipboard.h"

namespace tam {

// MIME type of the extra clipboard flavour carrying a JPEG file's own bytes.
inline constexpr const char* kJpegMimeType = "image/jpeg";

// The picture as a Qt image, 24-bit or with its palette. Throws for an empty
// picture or when memory runs out.
QImage ToQImage(const Picture& picture);

class DesktopClipboard : public pres::Clipboard {
 public:
  // Throws tam::Error when there is no GUI application to own the clipboard.
  void Put(pres::ClipboardPicture picture) override;
  pres::ClipboardPicture Take() override;
};

}  // namespace tam
