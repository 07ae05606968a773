// SPDX-License-Identifier: MIT
// The built-in engine: a running application that later connections attach
// to, the slide model the insert command builds, and paste from the clipboard.
#include "presentation/builtin_engine.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QMimeData>
#include <deque>

#include "package_reader.h"
#include "picture/error.h"
#include "presentation/components.h"
#include "support/clipboard_picture.h"
#include "support/testdata.h"

namespace tam::pres {
namespace {

using tamtest::Clip;
using tamtest::ErrorOf;

void ClipboardImage(const QImage& image, const QByteArray& jpeg = {}) {
  Clip().Put(tamtest::ClipOf(image, jpeg));
}

QByteArray FileBytes(const std::string& path) {
  auto b = tamtest::ReadBytes(path);
  return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

class BuiltinEngine : public ::testing::Test {
 protected:
  void SetUp() override { tamtest::EnsureApp(); }
  // Runs the insert command's steps for one picture already on the clipboard.
  void InsertSlide(TPowerPointPresentation& pres, TPowerPointSlide& slide, const QString& name) {
    slide.ConnectTo(pres.SlidesAdd(pres.SlidesCount() + 1, kLayoutTitle));
    slide.NotesBodyInsertAfter(name.toStdString());
    slide.ShapesAddTextbox(kOrientationHorizontal, 0, 0, 500, 50);
    slide.ShapesRangeSetText(1, name.toStdString());
    slide.ShapesRangeSetFontSize(1, 8);
    slide.SetLayout(kLayoutBlank);
    slide.ShapesPaste(Clip());
  }
};

TEST_F(BuiltinEngine, ApplicationStaysRunningAndNamesNewPresentations) {
  BuiltinServer server;
  TPowerPointApplication app(server);
  app.Connect();
  auto first = app.PresentationsAdd(true);
  app.Disconnect();
  app.Connect();  // attaches to the running one
  auto second = app.PresentationsAdd(true);
  EXPECT_EQ(server.application()->presentations().size(), 2u);
  EXPECT_EQ(std::static_pointer_cast<BuiltinPresentation>(first)->name(), "プレゼンテーション1");
  EXPECT_EQ(std::static_pointer_cast<BuiltinPresentation>(second)->name(), "プレゼンテーション2");
  TPowerPointPresentation pres(server);
  std::string message = ErrorOf([&] { pres.SlidesCount(); });
  EXPECT_NE(message.find("内蔵プレゼンテーション"), std::string::npos) << message;
}

TEST_F(BuiltinEngine, InsertStepsLeaveCaptionTextBoxAndCentredPicture) {
  BuiltinServer server;
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(true));
  QImage img(640, 480, QImage::Format_RGB32);
  img.fill(Qt::blue);
  ClipboardImage(img);
  InsertSlide(pres, slide, "IMG_01.JPG");
  InsertSlide(pres, slide, "IMG_02.JPG");
  EXPECT_EQ(pres.SlidesCount(), 2);

  auto p = std::static_pointer_cast<BuiltinPresentation>(pres.object());
  const SlideData& s = *p->data().slides[0];
  EXPECT_EQ(s.layout, kLayoutBlank);
  EXPECT_EQ(s.notes, "IMG_01.JPG");
  ASSERT_EQ(s.shapes.size(), 3u);  // the empty subtitle went with the layout change
  EXPECT_EQ(s.shapes[0].kind, ShapeKind::Title);
  EXPECT_EQ(s.shapes[0].text, "IMG_01.JPG");
  EXPECT_EQ(s.shapes[0].font_size, 8);
  EXPECT_EQ(s.shapes[0].box, kTitleBox);
  EXPECT_EQ(s.shapes[1].kind, ShapeKind::TextBox);
  EXPECT_EQ(s.shapes[1].box, (Box{0, 0, 6350000, 635000}));
  EXPECT_EQ(s.shapes[2].kind, ShapeKind::Picture);
  EXPECT_EQ(s.shapes[2].box, (Box{1524000, 1143000, 6096000, 4572000}));
  EXPECT_EQ(s.shapes[2].media->format, Media::Format::Png);
  std::set<int> ids;
  for (const auto& sh : s.shapes) EXPECT_TRUE(ids.insert(sh.id).second);
  EXPECT_NE(p->data().slides[0]->id, p->data().slides[1]->id);
  EXPECT_TRUE(p->modified());
}

// Pasted pictures wait for the save in the presentation's own unnamed file,
// not in memory, and the package gets their bytes unchanged; where no such
// file can be made anywhere they stay in memory and save the same.
TEST_F(BuiltinEngine, PastedPicturesWaitOutsideMemoryAndSaveUnchanged) {
  const QByteArray jpeg = FileBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  QImage blue(64, 48, QImage::Format_RGB32);
  blue.fill(Qt::blue);
  const char* const saved_tmpdir = std::getenv("TMPDIR");
  const std::string restore = saved_tmpdir ? saved_tmpdir : "";
  tamtest::TempDir dir;
  // The store in $TMPDIR; in the next folder when $TMPDIR cannot take it;
  // in memory when no folder can.
  enum Case { kTmpdir, kNextFolder, kMemory };
  for (const Case where : {kTmpdir, kNextFolder, kMemory}) {
    SCOPED_TRACE(where);
    const bool store = where != kMemory;
    ::setenv("TMPDIR", (where == kTmpdir ? dir.path() : dir / "missing").c_str(), 1);
    BuiltinServer server;
    TPowerPointApplication app(server);
    TPowerPointPresentation pres(server);
    TPowerPointSlide slide(server);
    pres.ConnectTo(app.PresentationsAdd(false));
    if (where == kMemory) server.application()->set_store_folders({dir / "missing"});
    ClipboardImage(QImage::fromData(jpeg), jpeg);
    InsertSlide(pres, slide, "a.jpg");
    ClipboardImage(blue);
    InsertSlide(pres, slide, "b.bmp");
    auto p = std::static_pointer_cast<BuiltinPresentation>(pres.object());
    for (const auto& s : p->data().slides) {
      const Media& m = *s->shapes.back().media;
      EXPECT_EQ(m.bytes.empty(), store);
      EXPECT_EQ(m.stored.has_value(), store);
    }
    const std::string out = dir / ("saved" + std::to_string(where) + ".pptx");
    p->SaveAs(out);
    const tamtest::Package pkg = tamtest::ReadPackage(out);
    EXPECT_EQ(pkg.data("ppt/media/image1.jpeg"), jpeg);
    EXPECT_EQ(QImage::fromData(pkg.data("ppt/media/image2.png")).convertToFormat(QImage::Format_RGB32), blue);
  }
  if (saved_tmpdir) {
    ::setenv("TMPDIR", restore.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST_F(BuiltinEngine, PasteKeepsTheJpegBytesOnlyForTheSamePicture) {
  BuiltinServer server;
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(false));
  slide.ConnectTo(pres.SlidesAdd(1, kLayoutBlank));
  QByteArray jpeg = FileBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  QImage decoded = QImage::fromData(jpeg);
  ASSERT_FALSE(decoded.isNull());

  ClipboardImage(decoded, jpeg);
  slide.ShapesPaste(Clip());
  // A flavour of another size is not the same picture; a CMYK stream is not stored as it is.
  ClipboardImage(decoded.scaled(100, 100), jpeg);
  slide.ShapesPaste(Clip());
  QByteArray cmyk = FileBytes(tamtest::TestData("jpeg/good/jpg-cmyk-1.jpg"));
  ClipboardImage(QImage::fromData(cmyk), cmyk);
  slide.ShapesPaste(Clip());

  auto p = std::static_pointer_cast<BuiltinPresentation>(pres.object());
  const auto& shapes = p->data().slides[0]->shapes;
  ASSERT_EQ(shapes.size(), 3u);
  EXPECT_EQ(shapes[0].media->format, Media::Format::Jpeg);
  const std::vector<std::uint8_t> first = HeldBytes(*shapes[0].media);
  EXPECT_EQ(QByteArray::fromRawData(reinterpret_cast<const char*>(first.data()), qsizetype(first.size())),
            jpeg);
  EXPECT_EQ(shapes[1].media->format, Media::Format::Png);
  const std::vector<std::uint8_t> second = HeldBytes(*shapes[1].media);
  EXPECT_EQ(QImage::fromData(second.data(), int(second.size())).size(), QSize(100, 100));
  EXPECT_EQ(shapes[2].media->format, Media::Format::Png);

  ProcessClipboard empty;
  std::string message = ErrorOf([&] { slide.ShapesPaste(empty); });
  EXPECT_NE(message.find("クリップボード"), std::string::npos) << message;
}

TEST_F(BuiltinEngine, PicturePlacement) {
  struct Case {
    int w, h;
    Box box;
  } cases[] = {
      {480, 360, {2286000, 1714500, 4572000, 3429000}},  // smaller: its own size at 96 dpi
      {960, 720, {0, 0, 9144000, 6858000}},              // exactly the slide
      {1920, 1080, {0, 857250, 9144000, 5143500}},       // wide: fits the width
      {1000, 3000, {3429000, 0, 2286000, 6858000}},      // tall: fits the height
      {20000, 1, {0, 3428771, 9144000, 457}},
      {2000000000, 1, {0, 3428999, 9144000, 1}},  // never thinner than one unit
      {1, 1, {4567237, 3424237, 9525, 9525}},
  };
  for (const auto& c : cases) EXPECT_EQ(PlacePicture(c.w, c.h), c.box) << c.w << "x" << c.h;
}

TEST_F(BuiltinEngine, LayoutChangesKeepPlaceholdersWithText) {
  auto s = MakeSlide(256, kLayoutTitle);
  ASSERT_EQ(s->shapes.size(), 2u);
  s->shapes[1].text = "subtitle";
  ChangeLayout(*s, kLayoutBlank);
  ASSERT_EQ(s->shapes.size(), 1u);
  EXPECT_EQ(s->shapes[0].kind, ShapeKind::Subtitle);
  EXPECT_EQ(s->shapes[0].box, kSubtitleBox);
  ChangeLayout(*s, kLayoutTitle);  // the title comes back, behind the rest
  ASSERT_EQ(s->shapes.size(), 2u);
  EXPECT_EQ(s->shapes[0].kind, ShapeKind::Title);
  EXPECT_NE(s->shapes[0].id, s->shapes[1].id);
  EXPECT_THROW(ChangeLayout(*s, 7), Error);
}

TEST_F(BuiltinEngine, BadArgumentsAreErrorsWithMessages) {
  BuiltinServer server;
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  pres.ConnectTo(app.PresentationsAdd(false));
  EXPECT_NE(ErrorOf([&] { pres.SlidesAdd(2, kLayoutTitle); }).find("範囲外"), std::string::npos);
  slide.ConnectTo(pres.SlidesAdd(1, kLayoutBlank));
  EXPECT_NE(ErrorOf([&] { slide.ShapesRangeSetText(1, "x"); }).find("範囲外"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { slide.ShapesAddTextbox(1, 0, 0, -5, 5); }), "(no error)");
  slide.ShapesAddTextbox(1, 0, 0, 500, 50);
  EXPECT_NE(ErrorOf([&] { slide.ShapesRangeSetFontSize(1, 0); }), "(no error)");
  EXPECT_EQ(pres.SlidesCount(), 1);
}

}  // namespace
}  // namespace tam::pres
