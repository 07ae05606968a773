// SPDX-License-Identifier: MIT
#include "presentation/insertion.h"

#include <utility>

#include "picture/bmp.h"
#include "picture/error.h"
#include "picture/fileio.h"
#include "picture/jpeg_header.h"
#include "picture/limits.h"
#include "picture/path.h"

namespace tam::pres {

std::string SlideFileName(const std::string& path) { return ShownUtf8(ExtractFileName(path)); }

SlidePicture SlidePicture::Load(const std::string& path, PictureKind kind, const JpegDecodeOptions& options,
                                JpegBytes bytes) {
  SlidePicture p;
  p.kind_ = kind;
  p.bytes_ = bytes;
  p.path_ = path;
  p.options_ = options;
  try {
    if (kind == PictureKind::Jpeg) {
      p.jpeg_ = JpegFile(ReadWholeFile(path));
      // The decoder reads the header now, so a file that is no JPEG at all
      // gets no slide, nor one too large for the clipboard; the pixels wait.
      JpegReader header(p.jpeg_.bytes(), options);
      const DecodeCost cost = header.cost();
      CheckMemoryNeed(cost.width, cost.height, ClipboardNeed(cost));
    } else if (kind == PictureKind::Bitmap) {
      std::vector<std::uint8_t> file = ReadWholeFile(path);
      p.bitmap_ = DecodeBmp(file);
      // The file is gone by the time the picture goes on the clipboard.
      const Picture& b = p.bitmap_;
      CheckMemoryNeed(b.width(), b.height(),
                      ClipboardNeed({b.width(), b.height(), b.bytes_per_pixel(), 0, 0}));
    } else {
      throw Error("JPEG でも BMP でもないファイルです");
    }
  } catch (const LimitError& refusal) {
    throw NamingFile(path, refusal);
  } catch (Error& failed) {
    NoteFile(failed, path);  // a JPEG's error number does not say which file
    throw;
  }
  return p;
}

void SlidePicture::PutOnClipboard(Clipboard& clipboard) && {
  ClipboardPicture clip;
  if (kind_ == PictureKind::Jpeg) {
    DecodedJpeg decoded;
    try {
      decoded = DecodeJpeg(jpeg_.bytes(), options_);
    } catch (const LimitError& refusal) {
      throw NamingFile(path_, refusal);  // too many scans
    } catch (Error& failed) {
      NoteFile(failed, path_);
      throw;
    }
    const int orientation = jpeg_.header().orientation;
    ApplyOrientation(decoded.picture, orientation);
    clip.picture = std::move(decoded.picture);
    // A turned picture no longer matches the stream's own pixels.
    if (orientation == 1) {
      if (bytes_ == JpegBytes::ReadWhenSaved)
        clip.jpeg_file =
            MediaFile{path_, jpeg_.bytes().size(), MediaCrc(jpeg_.bytes().data(), jpeg_.bytes().size())};
      clip.jpeg = std::move(jpeg_);
    }
  } else {
    clip.picture = std::move(bitmap_);
  }
  if (clip.picture.empty()) throw Error("空の図はクリップボードに置けません");
  clipboard.Put(std::move(clip));
}

void AddPictureSlide(TPowerPointPresentation& presentation, TPowerPointSlide& slide, const std::string& path,
                     SlidePicture picture, Clipboard& clipboard) {
  int count = presentation.SlidesCount();
  slide.ConnectTo(presentation.SlidesAdd(count + 1, kLayoutTitle));
  slide.NotesBodyInsertAfter(SlideFileName(path));
  slide.ShapesAddTextbox(kOrientationHorizontal, 0, 0, 500, 50);
  slide.ShapesRangeSetText(1, SlideFileName(path));
  slide.ShapesRangeSetFontSize(1, 8);
  slide.SetLayout(kLayoutBlank);
  std::move(picture).PutOnClipboard(clipboard);
  slide.ShapesPaste(clipboard);
}

}  // namespace tam::pres
