// SPDX-License-Identifier: MIT
// The desktop's clipboard between the insert command and the engines' paste.
#include "app/clipboard.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <cstring>
#include <memory>
#include <vector>

#include "picture/limits.h"
#include "presentation/insertion.h"
#include "support/child_growth.h"
#include "support/qtapp.h"
#include "support/testdata.h"

namespace tam {
namespace {

QByteArray Bytes(const std::string& path) {
  const auto b = tamtest::ReadBytes(path);
  return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

// What another program leaves there: an image, and a JPEG's bytes beside it.
void PutFromOutside(const QImage& image, const QByteArray& jpeg) {
  auto mime = std::make_unique<QMimeData>();
  mime->setImageData(image);
  mime->setData(kJpegMimeType, jpeg);
  QGuiApplication::clipboard()->setMimeData(mime.release());
}

// The JPEG facts the paste decides by belong to the bytes taken from the
// clipboard, whoever put them there: our own picture keeps its bytes, an
// upright one from elsewhere does too, and a stream that is turned by its
// EXIF tag after one that was not becomes PNG.
TEST(DesktopClipboard, PasteDecidesByTheBytesItTakes) {
  tamtest::App();
  DesktopClipboard clipboard;
  const QByteArray upright = Bytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  const QByteArray turned = Bytes(tamtest::TestData("jpeg/good/hopper_orientation_6.jpg"));
  const auto stored = [&] { return pres::StoredPicture(clipboard.Take()); };

  pres::ClipboardPicture ours;
  const QImage image = QImage::fromData(upright).convertToFormat(QImage::Format_BGR888);
  ours.picture = Picture::Bgr24(image.width(), image.height());
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(ours.picture.row(y), image.constScanLine(y), ours.picture.stride());
  ours.jpeg = JpegFile(std::vector<std::uint8_t>(upright.begin(), upright.end()));
  clipboard.Put(std::move(ours));
  auto media = stored();
  EXPECT_EQ(media->format, pres::Media::Format::Jpeg);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(media->bytes.data()), qsizetype(media->bytes.size())),
            upright);

  PutFromOutside(QImage::fromData(upright), upright);
  EXPECT_EQ(stored()->format, pres::Media::Format::Jpeg);
  // The stream's own pixels, of its own size, but shown turned by every viewer.
  PutFromOutside(QImage::fromData(turned), turned);
  media = stored();
  EXPECT_EQ(media->format, pres::Media::Format::Png);
}

// A slide's picture goes through the desktop clipboard as 24 bits whatever
// its own depth: a palette bitmap (1 B/px) took seven bytes a pixel and more
// there, over twice what its slide was checked for, so a bitmap the check let
// through could take gigabytes. The slide must stay within its check.
TEST(DesktopClipboard, APaletteBitmapTakesNoMoreThanItsSlideWasCheckedFor) {
  tamtest::App();
  constexpr std::int32_t kSide = 8000;
  tamtest::TempDir dir;
  const std::string path = dir / "palette.bmp";
  tamtest::WriteBytes(path, tamtest::RunLengthBmp(kSide, kSide));

  const long grown = tamtest::GrowthInChildKb([&] {
    DesktopClipboard clipboard;
    pres::SlidePicture::Load(path, PictureKind::Bitmap).PutOnClipboard(clipboard);
    return pres::StoredPicture(clipboard.Take())->format == pres::Media::Format::Png;
  });
  ASSERT_GT(grown, 0) << "the picture did not reach the slide";
  const std::int64_t checked = ClipboardNeed({kSide, kSide, 1, 0, 0});
  EXPECT_LE(checked, kMemoryBudget);
  // Beside the large buffers: the decoders' and libpng's own, a few MiB.
  EXPECT_LE(std::int64_t{grown} * 1024, checked + (std::int64_t{32} << 20));
}

}  // namespace
}  // namespace tam
