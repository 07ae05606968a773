// SPDX-License-Identifier: MIT
// tamarind2-cli slides, run as the user runs it, and its output opened by a
// real presentation program (LibreOffice) and turned into a PDF.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QStandardPaths>
#include <filesystem>
#include <functional>

#include "package_reader.h"
#include "presentation/builtin_engine.h"
#include "presentation/insertion.h"
#include "support/run_program.h"
#include "support/testdata.h"

namespace {

using tamtest::Exec;
using tamtest::Result;

Result Cli(const QStringList& args) {
  return Exec(TAM_BINARY_DIR "/cli/tamarind2-cli", QStringList{"slides"} + args);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

class SlidesCli : public ::testing::Test {
 protected:
  void SetUp() override {
    tamtest::EnsureApp();
    std::filesystem::copy_file(tamtest::TestData("jpeg/good/testorig.jpg"), dir / "a.jpg");
    std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/rgb24.bmp"), dir / "b.BMP");
    std::filesystem::copy_file(tamtest::TestData("jpeg/good/testorig.jpg"), dir / "c.Jpg");
    std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/pal8.bmp"), dir / "d.bmp");
    std::filesystem::copy_file(tamtest::TestData("jpeg/good/jpg-progressive.jpg"), dir / "写真 & メモ.JPG");
  }
  QStringList Captions(const tamtest::Package& pkg) {
    QStringList captions;
    for (int i = 1; pkg.has("ppt/slides/slide" + std::to_string(i) + ".xml"); ++i) {
      tamtest::Element s = pkg.xml("ppt/slides/slide" + std::to_string(i) + ".xml");
      tamtest::Element n = pkg.xml("ppt/notesSlides/notesSlide" + std::to_string(i) + ".xml");
      captions << s.all("p:sp")[0]->Text();
      EXPECT_EQ(n.Text(), captions.back());
    }
    return captions;
  }
  tamtest::TempDir dir;
};

TEST_F(SlidesCli, OneSlidePerPictureInListOrderOthersSkipped) {
  Result r = Cli({"-o", Q(dir / "out.pptx"), Q(dir / "a.jpg"), Q(dir / "b.BMP"), Q(dir / "c.Jpg"),
                  Q(dir / "d.bmp"), Q(dir / "a.jpg")});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("c.Jpg"));
  EXPECT_TRUE(r.out.contains("スライド:4"));
  tamtest::Package pkg = tamtest::ReadPackage(dir / "out.pptx");
  EXPECT_EQ(Captions(pkg), (QStringList{"a.jpg", "b.BMP", "d.bmp", "a.jpg"}));
  // The JPEG keeps its own bytes; bitmaps become PNG.
  auto original = tamtest::ReadBytes(dir / "a.jpg");
  EXPECT_EQ(pkg.data("ppt/media/image1.jpeg"),
            QByteArray(reinterpret_cast<const char*>(original.data()), qsizetype(original.size())));
  EXPECT_TRUE(pkg.has("ppt/media/image2.png"));
  EXPECT_TRUE(pkg.has("ppt/media/image3.png"));
}

TEST_F(SlidesCli, AFailingPictureEndsTheRunButWhatWasMadeIsSaved) {
  tamtest::WriteText(dir / "bad.bmp", "this is not a bitmap at all");
  Result r = Cli({"-o", Q(dir / "out.pptx"), Q(dir / "a.jpg"), Q(dir / "missing.jpg"), Q(dir / "d.bmp")});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(r.err.contains("missing.jpg")) << r.err.toStdString();
  EXPECT_EQ(Captions(tamtest::ReadPackage(dir / "out.pptx")), QStringList{"a.jpg"});

  // Nothing made: nothing saved.
  r = Cli({"-o", Q(dir / "out2.pptx"), Q(dir / "bad.bmp"), Q(dir / "a.jpg")});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(tamtest::Exists(dir / "out2.pptx"));
}

TEST_F(SlidesCli, SaveFailureAndBadCommandLines) {
  Result r = Cli({"-o", Q(dir / "no/such/dir/out.pptx"), Q(dir / "a.jpg")});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(r.err.contains("out.pptx")) << r.err.toStdString();
  EXPECT_EQ(Cli({Q(dir / "a.jpg")}).code, 2);                    // no output named
  EXPECT_EQ(Cli({"-o", Q(dir / "x.pptx")}).code, 2);             // no pictures
  EXPECT_EQ(Cli({"-x", "-o", Q(dir / "x.pptx"), "a"}).code, 2);  // unknown option
  EXPECT_FALSE(tamtest::Exists(dir / "x.pptx"));
}

TEST_F(SlidesCli, OutputIsReplacedOnlyByAPresentationThatWasMade) {
  const std::string out = dir / "out.pptx";
  ASSERT_EQ(Cli({"-o", Q(out), Q(dir / "a.jpg")}).code, 0);
  const auto before = tamtest::ReadBytes(out);
  const auto photo = tamtest::ReadBytes(dir / "a.jpg");

  // No slide made: the earlier presentation stays as it was.
  tamtest::WriteText(dir / "notes.txt", "not a picture");
  for (const QString& input : {Q(dir / "missing.jpg"), Q(dir / "notes.txt")}) {
    const Result r = Cli({"-o", Q(out), input});
    EXPECT_EQ(r.code, 1) << input.toStdString();
    EXPECT_TRUE(tamtest::ReadBytes(out) == before) << input.toStdString();
  }

  // OUT not named .pptx, or one of the pictures (here by a hard link), is a
  // mistake found before any picture is read: the pipe would hang a read.
  ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0644), 0);
  ASSERT_EQ(::link((dir / "a.jpg").c_str(), (dir / "same.pptx").c_str()), 0);
  for (const QStringList& args :
       {QStringList{"-o", Q(dir / "a.jpg"), Q(dir / "pipe.jpg"), Q(dir / "a.jpg")},
        QStringList{"-o", Q(dir / "same.pptx"), Q(dir / "pipe.jpg"), Q(dir / "a.jpg")},
        QStringList{"-o", Q(dir / "new.ppt"), Q(dir / "pipe.jpg")}}) {
    EXPECT_EQ(Exec(TAM_BINARY_DIR "/cli/tamarind2-cli", QStringList{"slides"} + args, 15000).code, 2)
        << args.join(' ').toStdString();
  }
  EXPECT_TRUE(tamtest::ReadBytes(dir / "a.jpg") == photo);
  EXPECT_FALSE(tamtest::Exists(dir / "new.ppt"));

  // An existing file that is no package is never replaced.
  tamtest::WriteText(dir / "notes.pptx", "my notes");
  EXPECT_EQ(Cli({"-o", Q(dir / "notes.pptx"), Q(dir / "a.jpg")}).code, 1);
  const auto notes = tamtest::ReadBytes(dir / "notes.pptx");
  EXPECT_EQ(std::string(notes.begin(), notes.end()), "my notes");
}

// LibreOffice opens what we wrote: every slide becomes a page with its caption
// and its picture at 96 dpi.
TEST_F(SlidesCli, LibreOfficeRendersEveryCaptionAndPicture) {
  QString soffice = QStandardPaths::findExecutable("soffice");
  if (soffice.isEmpty() || QStandardPaths::findExecutable("pdfimages").isEmpty())
    GTEST_SKIP() << "LibreOffice or poppler-utils not installed";
  QString out = Q(dir / "show.pptx");
  Result r = Cli({"-o", out, Q(dir / "a.jpg"), Q(dir / "b.BMP"), Q(dir / "写真 & メモ.JPG")});
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  r = Exec(soffice,
           {"--headless", "-env:UserInstallation=file://" + Q(dir / "profile"), "--convert-to", "pdf",
            "--outdir", Q(dir.path()), out},
           180000);
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  QString pdf = Q(dir / "show.pdf");
  ASSERT_TRUE(tamtest::Exists(dir / "show.pdf")) << r.out.toStdString() << r.err.toStdString();

  Result info = Exec("pdfinfo", {pdf});
  EXPECT_TRUE(info.out.contains(QRegularExpression("Pages:\\s+3\\n"))) << info.out.toStdString();
  EXPECT_TRUE(info.out.contains("720 x 540 pts")) << info.out.toStdString();
  Result text = Exec("pdftotext", {"-layout", pdf, "-"});
  QStringList pages = text.out.split('\f');
  ASSERT_GE(pages.size(), 3);
  EXPECT_TRUE(pages[0].contains("a.jpg"));
  EXPECT_TRUE(pages[1].contains("b.BMP"));
  // Layout mode may widen the gaps between CJK and Latin text.
  EXPECT_TRUE(QString(pages[2]).remove(' ').contains("写真&メモ.JPG")) << pages[2].toStdString();
  // The caption is the first line of its page: it sits at the top.
  EXPECT_TRUE(pages[0].trimmed().startsWith("a.jpg"));

  Result images = Exec("pdfimages", {"-list", pdf});
  QStringList rows = images.out.split('\n', Qt::SkipEmptyParts).mid(2);
  ASSERT_EQ(rows.size(), 3) << images.out.toStdString();
  auto columns = [](const QString& row) { return row.simplified().split(' '); };
  // page num type width height ... x-ppi y-ppi
  EXPECT_EQ(columns(rows[0])[3], "227");
  EXPECT_EQ(columns(rows[0])[4], "149");
  EXPECT_EQ(columns(rows[0])[8], "jpeg");
  EXPECT_EQ(columns(rows[1])[3], "127");
  EXPECT_EQ(columns(rows[1])[4], "64");
  for (const QString& row : rows) EXPECT_EQ(columns(row)[12], "96") << row.toStdString();
}

// Notes as LibreOffice reads them: an .odp conversion holds each slide's notes.
TEST_F(SlidesCli, LibreOfficeFindsTheNotes) {
  QString soffice = QStandardPaths::findExecutable("soffice");
  if (soffice.isEmpty()) GTEST_SKIP() << "LibreOffice not installed";
  QString out = Q(dir / "notes.pptx");
  ASSERT_EQ(Cli({"-o", out, Q(dir / "a.jpg"), Q(dir / "d.bmp")}).code, 0);
  Result r = Exec(soffice,
                  {"--headless", "-env:UserInstallation=file://" + Q(dir / "profile"), "--convert-to", "odp",
                   "--outdir", Q(dir.path()), out},
                  180000);
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  tamtest::Package odp = tamtest::ReadPackage(dir / "notes.odp");
  tamtest::Element content = odp.xml("content.xml");
  QStringList notes;
  for (const auto* n : content.all("presentation:notes")) {
    std::function<QString(const tamtest::Element&)> all_text = [&](const tamtest::Element& e) {
      QString t = e.text;
      for (const auto& c : e.children) t += all_text(c);
      return t;
    };
    QString text;
    for (const auto* p : n->all("text:p")) text += all_text(*p);
    notes << text;
  }
  EXPECT_EQ(notes, (QStringList{"a.jpg", "d.bmp"}));
}

// The whole way for a long show: 500 slides made through the components,
// saved, and opened by LibreOffice (the window's drawing of them is the app's).
TEST_F(SlidesCli, FiveHundredSlidesShownSavedAndOpenedInLibreOffice) {
  using namespace tam::pres;
  BuiltinServer server;
  TPowerPointApplication app(server);
  TPowerPointPresentation pres(server);
  TPowerPointSlide slide(server);
  app.Connect();
  app.SetVisible(true);
  pres.ConnectTo(app.PresentationsAdd(true));
  SlidePicture picture = SlidePicture::Load(dir / "a.jpg", tam::PictureKind::Jpeg);
  ProcessClipboard clipboard;
  for (int i = 1; i <= 500; ++i)
    AddPictureSlide(pres, slide,
                    "/pics/IMG_" + QString::number(i).rightJustified(4, '0').toStdString() + ".jpg", picture,
                    clipboard);
  slide.Disconnect();
  app.Disconnect();
  auto p = std::static_pointer_cast<BuiltinPresentation>(pres.object());
  ASSERT_EQ(p->SlideCount(), 500);

  p->SaveAs(dir / "long.pptx");
  QString soffice = QStandardPaths::findExecutable("soffice");
  if (soffice.isEmpty() || QStandardPaths::findExecutable("pdfimages").isEmpty())
    GTEST_SKIP() << "LibreOffice or poppler-utils not installed";
  Result r = Exec(soffice,
                  {"--headless", "-env:UserInstallation=file://" + Q(dir / "profile"), "--convert-to", "pdf",
                   "--outdir", Q(dir.path()), Q(dir / "long.pptx")},
                  540000);
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  Result info = Exec("pdfinfo", {Q(dir / "long.pdf")});
  EXPECT_TRUE(info.out.contains(QRegularExpression("Pages:\\s+500\\n"))) << info.out.toStdString();
  Result text = Exec("pdftotext", {Q(dir / "long.pdf"), "-"});
  QStringList pages = text.out.split('\f');
  ASSERT_GE(pages.size(), 500);
  for (int i : {0, 249, 499})
    EXPECT_TRUE(pages[i].contains("IMG_" + QString::number(i + 1).rightJustified(4, '0') + ".jpg")) << i;
  Result images = Exec("pdfimages", {"-list", Q(dir / "long.pdf")});
  EXPECT_EQ(images.out.split('\n', Qt::SkipEmptyParts).size() - 2, 500);
}

}  // namespace
