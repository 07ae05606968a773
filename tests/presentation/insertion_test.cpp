// SPDX-License-Identifier: MIT
// The per-slide steps shared by the insert command and the command-line tool.
#include "presentation/insertion.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QMimeData>
#include <QTransform>
#include <cstdlib>
#include <filesystem>

#include "package_reader.h"
#include "picture/bmp.h"
#include "picture/error.h"
#include "presentation/builtin_engine.h"
#include "support/testdata.h"

namespace tam::pres {
namespace {

TEST(Insertion, FileNameWithoutFolderEvenWhenNotUtf8) {
  EXPECT_EQ(SlideFileName("/pics/day1/IMG_01.JPG"), "IMG_01.JPG");
  EXPECT_EQ(SlideFileName("IMG_01.JPG"), "IMG_01.JPG");
  QString odd = QString::fromStdString(SlideFileName("/pics/\xff\xfe name.jpg"));
  EXPECT_TRUE(odd.endsWith(" name.jpg"));
  EXPECT_FALSE(odd.contains('/'));
}

// The insert command's components over a new built-in presentation.
class InsertionRun : public ::testing::Test {
 protected:
  void SetUp() override {
    tamtest::EnsureApp();
    pres.ConnectTo(app.PresentationsAdd(true));
  }
  std::shared_ptr<BuiltinPresentation> Made() {
    return std::static_pointer_cast<BuiltinPresentation>(pres.object());
  }
  tamtest::TempDir dir;
  BuiltinServer server;
  TPowerPointApplication app{server};
  TPowerPointPresentation pres{server};
  TPowerPointSlide slide{server};
  ProcessClipboard clipboard;
};

TEST_F(InsertionRun, PictureThatCannotBeDecodedLeavesTheSlideWithItsTexts) {
  std::string good = tamtest::TestData("jpeg/good/testorig.jpg");
  std::string bad = dir / "bad.jpg";
  tamtest::WriteBytes(bad, tamtest::WithoutQuantTables(tamtest::ReadBytes(good)));
  AddPictureSlide(pres, slide, good, SlidePicture::Load(good, PictureKind::Jpeg), clipboard);
  SlidePicture broken =
      SlidePicture::Load(bad, PictureKind::Jpeg);  // header read now, pixels on the clipboard
  EXPECT_THROW(AddPictureSlide(pres, slide, bad, std::move(broken), clipboard), Error);

  auto p = Made();
  ASSERT_EQ(p->data().slides.size(), 2u);
  const SlideData& last = *p->data().slides[1];
  EXPECT_EQ(last.notes, "bad.jpg");
  ASSERT_EQ(last.shapes.size(), 2u);  // caption and text box, no picture
  EXPECT_EQ(last.shapes[0].text, "bad.jpg");
  EXPECT_EQ(p->data().slides[0]->shapes.back().kind, ShapeKind::Picture);
  // The good JPEG went on the clipboard with its own bytes.
  EXPECT_EQ(p->data().slides[0]->shapes.back().media->format, Media::Format::Jpeg);
}

TEST_F(InsertionRun, LoadFailuresNameTheFile) {
  try {
    SlidePicture::Load(dir / "gone.jpg", PictureKind::Jpeg);
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("gone.jpg"), std::string::npos) << e.what();
  }
  // A picture the clipboard could not hold is refused with the file's name
  // while its slide is still to be made.
  Picture small = Picture::Bgr24(16, 16);
  tamtest::WriteBytes(dir / "huge.jpg", tamtest::WithClaimedSize(EncodeJpeg(small, 50, false), 20000, 20000));
  EXPECT_EQ(tamtest::ErrorOf([&] {
              SlidePicture::Load(dir / "huge.jpg", PictureKind::Jpeg);
            }).rfind("ファイル " + dir / "huge.jpg" + " を読み込めません。画像が大きすぎます", 0),
            0u);
  tamtest::WriteText(dir / "bad.bmp", "BM this is not a bitmap");
  EXPECT_THROW(SlidePicture::Load(dir / "bad.bmp", PictureKind::Bitmap), Error);
  // A file that is no JPEG at all fails on its header, before any slide.
  tamtest::WriteText(dir / "bad.jpg", "\xff\xd8\xff\xe0 not really a JPEG");
  EXPECT_THROW(SlidePicture::Load(dir / "bad.jpg", PictureKind::Jpeg), Error);
}

// A bitmap goes on the clipboard without JPEG bytes and is stored as PNG of
// exactly its pixels, palette colours included, red kept apart from blue.
TEST_F(InsertionRun, BitmapIsStoredAsPngOfItsOwnPixels) {
  const std::string bmp = tamtest::TestData("bmpsuite/g/pal8.bmp");
  SlidePicture p = SlidePicture::Load(bmp, PictureKind::Bitmap);
  std::move(p).PutOnClipboard(clipboard);
  const ClipboardPicture clip = clipboard.Take();
  EXPECT_TRUE(clip.jpeg.empty());
  const std::shared_ptr<const Media> stored = StoredPicture(clip);
  EXPECT_EQ(stored->format, Media::Format::Png);
  EXPECT_EQ(std::pair(stored->width, stored->height), std::pair(127, 64));
  QImage png = QImage::fromData(stored->bytes.data(), int(stored->bytes.size()));
  ASSERT_EQ(png.size(), QSize(127, 64));
  const Picture original = DecodeBmp(tamtest::ReadBytes(bmp));
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 127; ++x) {
      const Bgr c = original.at(x, y);
      ASSERT_EQ(png.pixel(x, y), qRgb(c.r, c.g, c.b)) << x << "," << y;
    }
}

// A grey JPEG keeps its own bytes; one that must be turned upright is stored
// as the turned picture, since its bytes would show it lying on its side.
TEST_F(InsertionRun, JpegBytesAreKeptOnlyWhenTheyShowThePictureUpright) {
  std::string grey = tamtest::TestData("jpeg/good/hopper_gray.jpg");
  std::string turned = tamtest::TestData("jpeg/good/hopper_orientation_6.jpg");
  AddPictureSlide(pres, slide, grey, SlidePicture::Load(grey, PictureKind::Jpeg), clipboard);
  AddPictureSlide(pres, slide, turned, SlidePicture::Load(turned, PictureKind::Jpeg), clipboard);
  auto p = Made();
  const Media& g = *p->data().slides[0]->shapes.back().media;
  auto bytes = tamtest::ReadBytes(grey);
  EXPECT_EQ(g.format, Media::Format::Jpeg);
  EXPECT_EQ(HeldBytes(g), bytes);
  const Media& t = *p->data().slides[1]->shapes.back().media;
  EXPECT_EQ(t.format, Media::Format::Png);
  const std::vector<std::uint8_t> t_bytes = HeldBytes(t);
  QImage stored = QImage::fromData(t_bytes.data(), int(t_bytes.size()));
  auto turned_bytes = tamtest::ReadBytes(turned);
  QImage raw = QImage::fromData(turned_bytes.data(), int(turned_bytes.size()));  // as stored, not turned
  ASSERT_EQ(stored.size(), raw.size().transposed());
  // Orientation 6: the stored picture is the file's turned a quarter clockwise.
  QImage upright = raw.transformed(QTransform().rotate(90));
  auto difference = [&](const QImage& a) {
    long sum = 0;
    for (int y = 4; y < a.height(); y += 8)
      for (int x = 4; x < a.width(); x += 8)
        sum += std::abs(qGray(a.pixel(x, y)) - qGray(stored.pixel(x, y)));
    return sum;
  };
  EXPECT_LT(difference(upright) * 4, difference(raw));
}

// The command-line tool's way: a photo whose own bytes a slide keeps is not
// held but read again when saved (a turned one is held as PNG, its file's
// bytes not being the picture), and a photo gone by then fails the save
// without touching the earlier file.
TEST_F(InsertionRun, PhotosReadWhenSavedAreNotHeldAndMustStillBeThere) {
  const std::string grey = dir / "grey.jpg";
  std::filesystem::copy_file(tamtest::TestData("jpeg/good/hopper_gray.jpg"), grey);
  const std::string turned = tamtest::TestData("jpeg/good/hopper_orientation_6.jpg");
  for (const std::string& photo : {grey, turned})
    AddPictureSlide(pres, slide, photo,
                    SlidePicture::Load(photo, PictureKind::Jpeg, {}, JpegBytes::ReadWhenSaved), clipboard);
  auto p = Made();
  const Media& g = *p->data().slides[0]->shapes.back().media;
  const auto bytes = tamtest::ReadBytes(grey);
  EXPECT_EQ(g.format, Media::Format::Jpeg);
  EXPECT_TRUE(g.bytes.empty());
  ASSERT_TRUE(g.file);
  EXPECT_EQ(g.file->path, grey);
  EXPECT_EQ(g.size(), bytes.size());
  const Media& t = *p->data().slides[1]->shapes.back().media;
  EXPECT_EQ(t.format, Media::Format::Png);
  EXPECT_FALSE(t.file);
  EXPECT_FALSE(HeldBytes(t).empty());

  const std::string out = dir / "out.pptx";
  p->SaveAs(out);
  const auto saved = tamtest::ReadBytes(out);
  tamtest::Package pkg = tamtest::ReadPackage(out);
  EXPECT_EQ(pkg.data("ppt/media/image1.jpeg"),
            QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));

  std::filesystem::remove(grey);
  try {
    p->SaveAs(out);
    ADD_FAILURE() << "saved without its photo";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("out.pptx"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("grey.jpg"), std::string::npos) << e.what();
  }
  EXPECT_EQ(tamtest::ReadBytes(out), saved);
}

}  // namespace
}  // namespace tam::pres
