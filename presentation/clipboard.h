// SPDX-License-Identifier: MIT
#pragma once
// The clipboard between the insert command and the engines. The program puts
// each picture on the desktop's clipboard (app/); the command-line tool keeps
// it in the process. Either way an engine's paste takes it from here, and how
// a slide stores it is decided once, for every engine, by StoredPicture.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "picture/jpeg_header.h"
#include "picture/picture.h"
#include "presentation/media.h"

namespace tam::pres {

// A picture as the clipboard carries it: its pixels, and a JPEG file's own
// bytes when they ride along, with their header facts. Who takes bytes from
// outside the program reads those facts as they come in (JpegFile).
// jpeg_file, when set, names the file those bytes were read from and lets a
// slide that keeps them read them from there when it is saved instead of
// holding them (the command-line tool, whose files stay where they are until
// it has saved); no desktop clipboard carries it.
struct ClipboardPicture {
  Picture picture;
  JpegFile jpeg;
  std::optional<MediaFile> jpeg_file;
};

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Replaces the clipboard's contents.
  virtual void Put(ClipboardPicture picture) = 0;
  // The picture on the clipboard; throws tam::Error when there is none.
  virtual ClipboardPicture Take() = 0;
};

// A clipboard of this process alone (the command-line tool, tests).
class ProcessClipboard : public Clipboard {
 public:
  void Put(ClipboardPicture picture) override { held_ = std::move(picture); }
  ClipboardPicture Take() override;

 private:
  std::optional<ClipboardPicture> held_;
};

// The picture as a slide stores it: the JPEG's own bytes when they carry the
// same picture, upright, in a form every reader shows (then only the file they
// come from, when the picture names it); else the pixels as PNG. The bytes are
// moved, not copied. Throws tam::Error for an empty picture.
std::shared_ptr<const Media> StoredPicture(ClipboardPicture picture);

}  // namespace tam::pres
