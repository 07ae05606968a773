// SPDX-License-Identifier: MIT
#pragma once
// The steps that make one picture slide, shared by the insert command of the
// main window and the command-line tool: load the listed file, append a slide
// through the automation components, write the file name into its notes and
// caption, switch it to the blank layout, put the picture on the clipboard
// and paste it.
#include <cstdint>
#include <string>
#include <vector>

#include "picture/jpeg.h"
#include "picture/jpeg_header.h"
#include "picture/kind.h"
#include "picture/picture.h"
#include "presentation/components.h"

namespace tam::pres {

// Whether a slide that keeps a JPEG's own bytes holds them or reads them from
// the file again when the presentation is saved (see MediaFile).
enum class JpegBytes { Held, ReadWhenSaved };

// The file name without its folder, as the slide's texts show it (UTF-8).
std::string SlideFileName(const std::string& path);

// A listed picture loaded for its slide, as the kind its name gives
// (KindOfName). A JPEG file is read whole and its header checked; its pixels
// are decoded only when it goes on the clipboard, its bytes with their header
// facts beside them. A BMP is decoded at once.
class SlidePicture {
 public:
  // Throws tam::Error: the file-open error, the JPEG header's, or the BMP
  // reader's; a picture too large for the clipboard is refused here.
  static SlidePicture Load(const std::string& path, PictureKind kind, const JpegDecodeOptions& options = {},
                           JpegBytes bytes = JpegBytes::Held);

  // Replaces the clipboard's contents with the picture, handing over what it
  // holds: a bitmap kept beside the clipboard's copies would be one large
  // picture more than the check at Load counted. A JPEG's own bytes ride
  // along when they show the picture as decoded (upright).
  // Throws tam::Error for a JPEG the decoder rejects.
  void PutOnClipboard(Clipboard& clipboard) &&;

 private:
  PictureKind kind_ = PictureKind::None;
  std::string path_;  // named in a refusal found only while decoding
  JpegFile jpeg_;
  Picture bitmap_;
  JpegDecodeOptions options_;
  JpegBytes bytes_ = JpegBytes::Held;
};

// Appends one slide for the picture at the end of the presentation (Slides.Add
// with the title layout), binds the slide component to it, appends the file
// name to its notes, adds an empty 500 x 50 pt text box, sets the first shape's
// text to the file name at 8 pt, switches to the blank layout, then puts the
// picture on the clipboard and pastes it. A failure leaves the slide as far as
// it got and throws tam::Error.
void AddPictureSlide(TPowerPointPresentation& presentation, TPowerPointSlide& slide, const std::string& path,
                     SlidePicture picture, Clipboard& clipboard);

}  // namespace tam::pres
