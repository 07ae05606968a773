// LOCAL ONLY, never committed: stand-ins until the picture library lands.
#include <QFile>
#include <QImage>
#include <cstring>

#include "picture/bmp.h"
#include "picture/error.h"
#include "picture/fileio.h"
#include "picture/jpeg.h"
namespace tam {
namespace {
Picture FromQ(const QImage& in) {
  if (in.isNull()) throw Error("JPEG エラー #1");
  QImage img = in.convertToFormat(QImage::Format_BGR888);
  Picture p = Picture::Bgr24(img.width(), img.height());
  for (int y = 0; y < img.height(); ++y) std::memcpy(p.row(y), img.constScanLine(y), p.stride());
  return p;
}
}  // namespace
std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  QFile f(QString::fromLocal8Bit(path.c_str()));
  if (!f.open(QIODevice::ReadOnly)) throw Error(path + " を開けません");
  QByteArray b = f.readAll();
  return std::vector<std::uint8_t>(b.begin(), b.end());
}
Picture DecodeBmp(std::span<const std::uint8_t> file) {
  return FromQ(QImage::fromData(file.data(), int(file.size()), "BMP"));
}
DecodedJpeg DecodeJpeg(std::span<const std::uint8_t> file, const JpegDecodeOptions&) {
  return DecodedJpeg{FromQ(QImage::fromData(file.data(), int(file.size()), "JPEG")), false};
}
int ReadExifOrientation(std::span<const std::uint8_t>) { return 1; }
void ApplyOrientation(Picture&, int) {}
}  // namespace tam
