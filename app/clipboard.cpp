// SPDX-License-Identifier: MIT
#include "app/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <cstring>
#include <span>
#include <vector>

#include "picture/error.h"

namespace tam {

QImage ToQImage(const Picture& picture) {
  if (picture.empty()) throw Error("空の図はクリップボードに置けません");
  const bool indexed = picture.format() == PixelFormat::Indexed8;
  QImage image(picture.width(), picture.height(), indexed ? QImage::Format_Indexed8 : QImage::Format_BGR888);
  if (image.isNull()) throw Error("メモリが不足しています");
  for (std::int32_t y = 0; y < picture.height(); ++y)
    std::memcpy(image.scanLine(y), picture.row(y), picture.stride());
  if (indexed) {
    QList<QRgb> colours;
    for (const Bgr& c : picture.palette()) colours.push_back(qRgb(c.r, c.g, c.b));
    image.setColorTable(colours);
  }
  return image;
}

void DesktopClipboard::Put(pres::ClipboardPicture picture) {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    throw Error("クリップボードを使えません");
  auto mime = std::make_unique<QMimeData>();
  mime->setImageData(ToQImage(picture.picture));
  if (!picture.jpeg.empty()) {
    const std::span<const std::uint8_t> jpeg = picture.jpeg.bytes();
    mime->setData(kJpegMimeType, QByteArray(reinterpret_cast<const char*>(jpeg.data()),
                                            static_cast<qsizetype>(jpeg.size())));
  }
  QGuiApplication::clipboard()->setMimeData(mime.release());
}

pres::ClipboardPicture DesktopClipboard::Take() {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    throw Error("Shapes.Paste: クリップボードを使えません");
  const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
  QImage image;
  if (mime && mime->hasImage()) image = qvariant_cast<QImage>(mime->imageData());
  if (image.isNull()) throw Error("Shapes.Paste: クリップボードに貼り付けられる図がありません");
  pres::ClipboardPicture clip;
  // Whatever another program put there, the pixels come as 24 bits.
  const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
  if (bgr.isNull()) throw Error("メモリが不足しています");
  clip.picture = Picture::Bgr24(bgr.width(), bgr.height());
  for (int y = 0; y < bgr.height(); ++y)
    std::memcpy(clip.picture.row(y), bgr.constScanLine(y), clip.picture.stride());
  if (mime->hasFormat(kJpegMimeType)) {
    // Whoever put them there, these bytes are new to us: their header is read here.
    const QByteArray jpeg = mime->data(kJpegMimeType);
    clip.jpeg = JpegFile(std::vector<std::uint8_t>(jpeg.constData(), jpeg.constData() + jpeg.size()));
  }
  return clip;
}

}  // namespace tam
