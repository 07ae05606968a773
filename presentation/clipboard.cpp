// SPDX-License-Identifier: MIT
#include "presentation/clipboard.h"

#include "picture/error.h"
#include "presentation/png.h"

namespace tam::pres {

ClipboardPicture ProcessClipboard::Take() {
  if (!held_) throw Error("クリップボードに貼り付けられる図がありません");
  return *held_;
}

std::shared_ptr<const Media> StoredPicture(ClipboardPicture clip) {
  const Picture& picture = clip.picture;
  if (picture.empty()) throw Error("クリップボードに貼り付けられる図がありません");
  auto media = std::make_shared<Media>();
  media->width = picture.width();
  media->height = picture.height();
  if (!clip.jpeg.empty()) {
    const JpegHeader& header = clip.jpeg.header();
    if (header.portable() && header.width == picture.width() && header.height == picture.height() &&
        header.orientation == 1) {
      media->format = Media::Format::Jpeg;
      if (clip.jpeg_file && clip.jpeg_file->size == clip.jpeg.bytes().size())
        media->file = std::move(clip.jpeg_file);
      else
        media->bytes = std::move(clip.jpeg).TakeBytes();
      return media;
    }
  }
  media->format = Media::Format::Png;
  media->bytes = EncodePng(picture);
  return media;
}

}  // namespace tam::pres
