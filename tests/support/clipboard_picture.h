// SPDX-License-Identifier: MIT
#pragma once
// Pictures for a paste, made from Qt images the way the desktop clipboard
// hands them over: the pixels at 24 bits, and a JPEG file's bytes if given;
// and the one clipboard a test program pastes from.
#include <QByteArray>
#include <QImage>
#include <cstring>
#include <vector>

#include "presentation/clipboard.h"

namespace tamtest {

inline tam::pres::ClipboardPicture ClipOf(const QImage& image, const QByteArray& jpeg = {}) {
  tam::pres::ClipboardPicture clip;
  const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
  clip.picture = tam::Picture::Bgr24(bgr.width(), bgr.height());
  for (int y = 0; y < bgr.height(); ++y)
    std::memcpy(clip.picture.row(y), bgr.constScanLine(y), clip.picture.stride());
  if (!jpeg.isEmpty())
    clip.jpeg = tam::JpegFile(std::vector<std::uint8_t>(jpeg.constData(), jpeg.constData() + jpeg.size()));
  return clip;
}

// The clipboard of a test program.
inline tam::pres::ProcessClipboard& Clip() {
  static tam::pres::ProcessClipboard clipboard;
  return clipboard;
}

}  // namespace tamtest
