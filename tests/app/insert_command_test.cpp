// SPDX-License-Identifier: MIT
// The insert and batch commands on the main window, with real picture files:
// a recording server for the order of the calls, the built-in engine for the
// slides they make, LibreOffice for the saved file.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QLabel>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>

#include "app/Unit1.h"
#include "app/presentation_window.h"
#include "app/uProgress.h"
#include "app_fakes.h"
#include "picture/jpeg.h"
#include "presentation/builtin_engine.h"
#include "presentation/package_reader.h"
#include "support/qtapp.h"
#include "support/recording_server.h"
#include "support/run_program.h"
#include "support/testdata.h"

namespace tam {
namespace {

using Calls = std::vector<std::string>;

using tamtest::Exec;
using tamtest::Result;

QString Q(const std::string& s) { return QString::fromStdString(s); }

class InsertCommand : public ::testing::Test {
 protected:
  InsertCommand() {
    tamtest::App();
    UseServer(fake);
  }

  void UseServer(std::shared_ptr<pres::Server> server) {
    Seams seams = fakes.Seams(dir / "tamarind2");
    seams.server = std::move(server);
    form.reset();
    form = std::make_unique<TForm1>(seams);
  }
  void UseEngine() { UseServer(engine); }

  std::string Copy(const std::string& testdata, const std::string& name) {
    std::filesystem::copy_file(tamtest::TestData(testdata), dir / name);
    return dir / name;
  }
  // Five real pictures and the four of the classic mixed-case list.
  void MakeMixedList() {
    Copy("jpeg/good/testorig.jpg", "a.jpg");        // 227 x 149
    Copy("bmpsuite/g/rgb24.bmp", "b.BMP");          // 127 x 64
    Copy("jpeg/good/testorig.jpg", "c.Jpg");        // skipped: mixed case
    Copy("bmp-extra/vgl_6434_0018a.bmp", "d.bmp");  // 119 x 96
  }
  void List(const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& n : names) paths.push_back(n.empty() || n[0] == '/' ? n : dir / n);
    form->SetListEntries(paths);
    form->ListBox1->SetHorizontalExtent(300);  // as an add command leaves it
    form->PPTP1->setEnabled(true);
  }
  std::vector<QString> Shown() const {
    std::vector<QString> texts;
    for (const auto& box : messages->shown) texts.push_back(box.text);
    return texts;
  }
  void ExpectClosed(int slides) {
    EXPECT_EQ(form->SlideLb->text(), QString::asprintf("スライド:%d", slides));
    EXPECT_EQ(form->ListBox1->count(), 0);
    EXPECT_EQ(form->ListBox1->HorizontalExtent(), 0);
    EXPECT_FALSE(form->PPTP1->isEnabled());
    EXPECT_FALSE(form->PowerPointApplication1->connected());
  }
  const std::vector<std::shared_ptr<pres::BuiltinPresentation>>& Presentations() const {
    return engine->application()->presentations();
  }
  static std::vector<std::string> Notes(const pres::BuiltinPresentation& p) {
    std::vector<std::string> notes;
    for (const auto& s : p.data().slides) notes.push_back(s->notes);
    return notes;
  }
  static bool HasPicture(const pres::SlideData& slide) {
    for (const auto& shape : slide.shapes)
      if (shape.kind == pres::ShapeKind::Picture) return true;
    return false;
  }

  tamtest::TempDir dir;
  tamtest::CommandFakes fakes;
  std::shared_ptr<tamtest::FakeMessages> messages = fakes.messages;
  std::shared_ptr<tamtest::FakeBeeper> beeper = fakes.beeper;
  std::shared_ptr<tamtest::RecordingTrash> trash = fakes.trash;
  std::shared_ptr<tamtest::RecordingServer> fake = std::make_shared<tamtest::RecordingServer>();
  std::shared_ptr<pres::BuiltinServer> engine = std::make_shared<pres::BuiltinServer>();
  std::unique_ptr<TForm1> form;
};

// ---------------------------------------------------------------- insert

TEST_F(InsertCommand, EmptyListTouchesNothing) {
  form->M1->trigger();  // beep on finish
  form->PPTP1->setEnabled(true);
  form->PPTP1->trigger();
  EXPECT_TRUE(fake->log.calls.empty());
  EXPECT_TRUE(messages->shown.empty());
  EXPECT_EQ(beeper->beeps, 0);
  EXPECT_EQ(form->SlideLb->text(), QStringLiteral("スライド:0"));
  EXPECT_TRUE(form->PPTP1->isEnabled());
}

TEST_F(InsertCommand, CallsTheServerInOrderForEachPictureAndSkipsMixedCase) {
  MakeMixedList();
  List({"a.jpg", "b.BMP", "c.Jpg", "d.bmp"});
  form->M1->trigger();
  form->PPTP1->trigger();
  // Per picture: append at the end with the title layout, bind (releasing the
  // slide before), texts, blank layout, paste.
  const auto slide = [](int n, const std::string& name, const std::string& paste) {
    const std::string s = "slide" + std::to_string(n) + ": ";
    Calls calls{"pres1: count", "pres1: add " + std::to_string(n) + " 1"};
    if (n > 1) calls.push_back("release slide" + std::to_string(n - 1));
    for (const std::string& c : {"notes " + name, std::string("textbox 1 0 0 500 50"), "text 1 " + name,
                                 std::string("size 1 8"), std::string("layout 12"), "paste " + paste})
      calls.push_back(s + c);
    return calls;
  };
  Calls expected{"connect application", "visible", "new presentation with window"};
  for (const Calls& part :
       {slide(1, "a.jpg", "227x149+jpeg"), slide(2, "b.BMP", "127x64"), slide(3, "d.bmp", "119x96")})
    expected.insert(expected.end(), part.begin(), part.end());
  expected.push_back("release slide3");  // the loop ran through
  EXPECT_EQ(fake->log.calls, expected);
  EXPECT_TRUE(messages->shown.empty());
  ExpectClosed(3);
  EXPECT_EQ(beeper->beeps, 1);
  // The run's presentation stays bound until the next run replaces it.
  EXPECT_TRUE(form->PowerPointPresentation1->connected());
}

TEST_F(InsertCommand, EngineMakesTheSlidesTheSameFileTwiceIncluded) {
  UseEngine();
  MakeMixedList();
  List({"a.jpg", "b.BMP", "c.Jpg", "d.bmp", "a.jpg"});
  form->PPTP1->trigger();
  EXPECT_TRUE(messages->shown.empty());
  ExpectClosed(4);
  EXPECT_EQ(beeper->beeps, 0);  // not asked to
  ASSERT_EQ(Presentations().size(), 1u);
  const auto& p = *Presentations()[0];
  EXPECT_EQ(Notes(p), (std::vector<std::string>{"a.jpg", "b.BMP", "d.bmp", "a.jpg"}));
  for (const auto& s : p.data().slides) {
    EXPECT_EQ(s->layout, pres::kLayoutBlank);
    EXPECT_TRUE(HasPicture(*s));
    ASSERT_FALSE(s->shapes.empty());
    EXPECT_EQ(s->shapes[0].text, s->notes);  // the caption
    EXPECT_EQ(s->shapes[0].font_size, 8);
  }
  EXPECT_TRUE(engine->application()->visible());
}

TEST_F(InsertCommand, PictureFailingOnTheClipboardEndsTheLoopWithAHalfSlide) {
  UseEngine();
  for (const char* name : {"1.jpg", "2.jpg", "4.jpg", "5.jpg"}) Copy("jpeg/good/testorig.jpg", name);
  tamtest::WriteBytes(dir / "3.jpg", tamtest::WithoutQuantTables(
                                         tamtest::ReadBytes(tamtest::TestData("jpeg/good/testorig.jpg"))));
  List({"1.jpg", "2.jpg", "3.jpg", "4.jpg", "5.jpg"});
  form->D->trigger();  // send inserted pictures to the trash
  form->PPTP1->trigger();
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_TRUE(messages->shown[0].text.startsWith(QStringLiteral("JPEG エラー #")))
      << messages->shown[0].text.toStdString();
  EXPECT_EQ(messages->shown[0].title, QStringLiteral("Tamarind 2"));
  // The list is emptied by the run: the box alone can say which file it was.
  EXPECT_EQ(messages->shown[0].detail, QStringLiteral("ファイル: ") + QString::fromStdString(dir / "3.jpg"));
  ExpectClosed(2);
  const auto& p = *Presentations()[0];
  ASSERT_EQ(p.data().slides.size(), 3u);
  EXPECT_TRUE(HasPicture(*p.data().slides[1]));
  EXPECT_FALSE(HasPicture(*p.data().slides[2]));
  EXPECT_EQ(p.data().slides[2]->notes, "3.jpg");
  // Only pictures the presentation holds go to the trash.
  EXPECT_EQ(trash->moved, (std::vector<std::string>{dir / "1.jpg", dir / "2.jpg"}));
}

TEST_F(InsertCommand, TrashSparesSkippedMissingAndUnreachedEntries) {
  MakeMixedList();
  Copy("jpeg/good/testorig.jpg", "e.png");
  Copy("jpeg/good/testorig.jpg", "f.jpg");
  List({"a.jpg", "e.png", "c.Jpg", "a.jpg", "b.BMP", "gone.jpg", "f.jpg", "d.bmp"});
  form->D->trigger();
  form->PPTP1->trigger();
  // The file removed after listing: its error names it and the loop ends.
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_TRUE(messages->shown[0].text.contains(QStringLiteral("gone.jpg")))
      << messages->shown[0].text.toStdString();
  ExpectClosed(3);
  // a.jpg twice: trashed once, after its second slide too.
  EXPECT_EQ(trash->moved, (std::vector<std::string>{dir / "a.jpg", dir / "b.BMP"}));
  EXPECT_EQ(fake->log.calls.back(), "slide3: paste 127x64");  // the slide component was not released
}

// The server ends in the middle (the office was killed): the box names the
// picture it was at, and the slides made went with the server, so none of
// their pictures goes to the trash.
TEST_F(InsertCommand, TrashSparesEverythingWhenTheServerEndsMidRun) {
  MakeMixedList();
  List({"a.jpg", "b.BMP", "d.bmp"});
  fake->log.fail_call = "slide3: paste 119x96";
  fake->log.fail_call_ends = true;
  form->D->trigger();
  form->PPTP1->trigger();
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_EQ(messages->shown[0].detail, QStringLiteral("ファイル: ") + QString::fromStdString(dir / "d.bmp"));
  EXPECT_TRUE(trash->moved.empty());
  EXPECT_EQ(form->SlideLb->text(), "スライド:0") << "slides that went with the server are counted";
}

TEST_F(InsertCommand, FailedConnectionIsReportedAndEveryLaterPhaseTriesAgain) {
  fake->log.fail_connect = "サーバーを起動できません";
  fake->log.start_detail = "Fatal Error: 設定フォルダーが壊れています";
  MakeMixedList();
  List({"c.Jpg", "a.jpg", "b.BMP"});
  form->D->trigger();
  form->M1->trigger();
  form->PPTP1->trigger();
  EXPECT_EQ(Shown(),
            (std::vector<QString>{"PowerPoint does not appear to be installed", "サーバーを起動できません",
                                  "開いているプレゼンテーションがありません"}));
  for (const auto& box : messages->shown) {
    EXPECT_EQ(box.title, QStringLiteral("Tamarind 2"));
    EXPECT_EQ(box.icon, MessageIcon::None);
  }
  EXPECT_EQ(fake->log.calls, (Calls{"connect application", "connect application", "connect presentation"}));
  // Why it would not start is logged once, though two phases met it.
  const auto bytes = tamtest::ReadBytes(dir / "tamarind2.log");
  const std::string log(bytes.begin(), bytes.end());
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find(":サーバーを起動できません: Fatal Error: 設定フォルダーが壊れています\r\n"),
            std::string::npos)
      << log;
  ExpectClosed(0);
  EXPECT_TRUE(trash->moved.empty());  // a run that made no slide trashes nothing
  EXPECT_EQ(beeper->beeps, 1);
}

TEST_F(InsertCommand, ServerThatCannotShowItselfKeepsItsOwnWords) {
  fake->log.fail_visible = "表示できません";
  MakeMixedList();
  List({"a.jpg"});
  form->PPTP1->trigger();
  EXPECT_EQ(Shown(), std::vector<QString>{"表示できません"});
  // The component was released; adding the presentation connects again.
  EXPECT_EQ(Calls(fake->log.calls.begin(), fake->log.calls.begin() + 4),
            (Calls{"connect application", "visible", "connect application", "new presentation with window"}));
  ExpectClosed(1);
}

TEST_F(InsertCommand, OnlyUnknownExtensionsMakeAnEmptyPresentationBesideTheEarlierOne) {
  UseEngine();
  Copy("jpeg/good/testorig.jpg", "a.jpg");
  List({"a.jpg"});
  form->PPTP1->trigger();
  List({"x.png", "y.jpeg", "noext"});
  form->PPTP1->trigger();
  EXPECT_TRUE(messages->shown.empty());
  ExpectClosed(0);
  ASSERT_EQ(Presentations().size(), 2u);
  EXPECT_EQ(Presentations()[0]->data().slides.size(), 1u);
  EXPECT_TRUE(Presentations()[1]->data().slides.empty());
}

TEST_F(InsertCommand, ErrorOfNoStandardClassGoesToTheHookAndSkipsTheClosingSteps) {
  fake->log.foreign_call = "slide1: layout 12";
  MakeMixedList();
  List({"a.jpg", "b.BMP"});
  form->PPTP1->trigger();
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_EQ(messages->shown[0].icon, MessageIcon::Critical);  // the hook's error box
  EXPECT_EQ(form->ListBox1->count(), 2);
  EXPECT_TRUE(tamtest::Exists(dir / "tamarind2.log"));
}

// ---------------------------------------------------------------- batch

TEST_F(InsertCommand, BatchOnAnEmptyListOnlySaysSo) {
  form->M1->trigger();
  form->A1->trigger();
  EXPECT_EQ(Shown(), std::vector<QString>{"ファイルがありません"});
  EXPECT_EQ(messages->shown[0].title, QStringLiteral("Tamarind 2"));
  EXPECT_EQ(beeper->beeps, 0);
  EXPECT_TRUE(fake->log.calls.empty());
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:0"));
}

// Nothing was made: the box says so, and no beep announces a finished job.
TEST_F(InsertCommand, BatchWhoseReductionWroteNothingSaysSoWithoutABeep) {
  form->M1->trigger();
  List({dir / "missing.jpg", dir.path()});
  form->A1->trigger();
  EXPECT_EQ(Shown(), std::vector<QString>{"ファイルがありません"});
  EXPECT_TRUE(fake->log.calls.empty());
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_TRUE(form->PPTP1->isEnabled());  // as the reduction left it
  EXPECT_EQ(form->SlideLb->text(), QStringLiteral("スライド:0"));
  EXPECT_EQ(beeper->beeps, 0);
}

// The insertion of a batch has no progress window: the reduction's is gone
// before it starts, and the busy cursor shows instead while the windows are
// kept painted and take no input.
TEST_F(InsertCommand, BatchInsertionRunsBusyWithTheProgressWindowGone) {
  form->show();
  Copy("jpeg/good/testorig.jpg", "a.jpg");
  Copy("jpeg/good/testorig.jpg", "b.jpg");
  List({"a.jpg", "b.jpg"});
  struct Pass {
    bool progress_window, busy_cursor, main_window_enabled;
  };
  std::vector<Pass> during;  // each pass of the event loop once the insertion began
  QTimer timer;
  timer.setInterval(0);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (fake->log.calls.empty()) return;
    const QCursor* cursor = QApplication::overrideCursor();
    during.push_back({form->findChild<TfrmProgress*>() != nullptr,
                      cursor != nullptr && cursor->shape() == Qt::WaitCursor, form->isEnabled()});
  });
  timer.start();
  form->A1->trigger();
  timer.stop();
  ASSERT_FALSE(during.empty()) << "nothing was painted during the insertion";
  for (const Pass& pass : during) {
    EXPECT_FALSE(pass.progress_window);
    EXPECT_TRUE(pass.busy_cursor);
    EXPECT_FALSE(pass.main_window_enabled);
  }
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(form->isEnabled());
  ExpectClosed(2);
}

// A dialog of another window opened during the batch's reduction (a
// presentation's Save As) holds up neither the end of the reduction nor the
// insertion after it, nor the beep at the end.
TEST_F(InsertCommand, BatchEndsAndInsertsUnderADialogOpenedMeanwhile) {
  form->M1->trigger();
  std::vector<std::string> names;
  for (int i = 0; i < 10; ++i)
    names.push_back(Copy("jpeg/good/testorig.jpg", "u" + std::to_string(i) + ".jpg"));
  List(names);
  bool reduction_went_on_under_dialog = false, done_under_dialog = false;
  QTimer opener;
  opener.setInterval(0);
  QObject::connect(&opener, &QTimer::timeout, [&] {
    if (!form->findChild<TfrmProgress*>()) return;
    opener.stop();
    QDialog dialog;
    QTimer watcher;
    watcher.setInterval(0);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      if (form->findChild<TfrmProgress*>()) reduction_went_on_under_dialog = true;
      if (form->isEnabled() && beeper->beeps == 1) {
        done_under_dialog = true;
        dialog.accept();
      }
    });
    watcher.start();
    QTimer::singleShot(10000, &dialog, &QDialog::reject);
    dialog.exec();
  });
  opener.start();
  form->A1->trigger();

  EXPECT_TRUE(reduction_went_on_under_dialog);
  EXPECT_TRUE(done_under_dialog) << "the batch waited for the dialog";
  EXPECT_EQ(beeper->beeps, 1);
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:10"));
  ExpectClosed(10);
  EXPECT_TRUE(messages->shown.empty());
}

// An office takes up to a minute to start. While the run waits for it, the
// waiting server repaints the windows (here: a queued call is delivered)
// inside the run, which keeps the window disabled and busy; once the run is
// over, the server no longer holds the window's repaint.
TEST_F(InsertCommand, AServerSlowToConnectKeepsTheWindowsPaintedWithinTheRun) {
  struct Slow : tamtest::RecordingServer {
    std::function<void()> waiting;
    std::function<void()> while_waiting;  // the test's look at the window
    void WhileWaiting(std::function<void()> w) override { waiting = std::move(w); }
    std::shared_ptr<pres::Application> ConnectApplication() override {
      for (int i = 0; i < 3 && waiting; ++i) {
        waiting();
        while_waiting();
      }
      return RecordingServer::ConnectApplication();
    }
  };
  const auto slow = std::make_shared<Slow>();
  UseServer(slow);
  form->show();
  Copy("jpeg/good/testorig.jpg", "a.jpg");
  List({"a.jpg"});
  int delivered = 0;
  std::vector<int> delivered_by_then;  // at each look
  bool enabled = false, idle_cursor = false;
  const auto deliver = [&] { ++delivered; };
  slow->while_waiting = [&] {
    delivered_by_then.push_back(delivered);
    enabled |= form->isEnabled();
    const QCursor* cursor = QApplication::overrideCursor();
    idle_cursor |= cursor == nullptr || cursor->shape() != Qt::WaitCursor;
    QMetaObject::invokeMethod(qApp, deliver, Qt::QueuedConnection);
  };
  QMetaObject::invokeMethod(qApp, deliver, Qt::QueuedConnection);
  form->PPTP1->trigger();
  // Each wait delivers what was queued before it.
  EXPECT_EQ(delivered_by_then, (std::vector<int>{1, 2, 3}))
      << "the windows were not repainted while the server kept the run waiting";
  EXPECT_FALSE(enabled) << "the window took input while it waited";
  EXPECT_FALSE(idle_cursor);
  EXPECT_FALSE(slow->waiting) << "the server still holds the window's repaint after the run";
  ExpectClosed(1);
}

TEST_F(InsertCommand, BatchEndsWhereTheReductionFails) {
  form->M1->trigger();
  tamtest::WriteText(dir / "bad.jpg", "no JPEG at all");
  List({"bad.jpg"});
  form->A1->trigger();
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_TRUE(messages->shown[0].text.startsWith(QStringLiteral("JPEG エラー #")));
  EXPECT_TRUE(fake->log.calls.empty());
  EXPECT_EQ(beeper->beeps, 0);
}

// Real pictures reduced, inserted, saved and opened by LibreOffice.
TEST_F(InsertCommand, BatchEndToEndOpensInLibreOffice) {
  UseEngine();
  Copy("jpeg/good/testorig.jpg", "a.jpg");
  Copy("bmpsuite/g/rgb24.bmp", "b.bmp");
  Copy("jpeg/good/hopper_orientation_6.jpg", "c.JPG");
  Copy("jpeg/good/jpg-progressive.jpg", "写真.jpg");
  Picture big = Picture::Bgr24(1600, 1200);
  for (std::int32_t y = 0; y < big.height(); ++y)
    for (std::int32_t x = 0; x < big.width() * 3; ++x)
      big.row(y)[x] = static_cast<std::uint8_t>(x / 7 + y / 5);
  tamtest::WriteBytes(dir / "e.jpg", EncodeJpeg(big, 90, false));
  List({"a.jpg", "b.bmp", "c.JPG", "写真.jpg", "e.jpg"});
  form->M1->trigger();
  form->D->trigger();
  form->A1->trigger();

  EXPECT_TRUE(messages->shown.empty()) << Shown()[0].toStdString();
  EXPECT_EQ(beeper->beeps, 1);
  EXPECT_EQ(form->shrinkLb->text(), QStringLiteral("縮小数:5"));
  ExpectClosed(5);
  const std::vector<std::string> reduced{dir / "a_x.jpg", dir / "b_x.jpg", dir / "c_x.jpg",
                                         dir / "写真_x.jpg", dir / "e_x.jpg"};
  EXPECT_EQ(trash->moved, reduced);  // the reduction's pictures, not the sources
  ASSERT_EQ(Presentations().size(), 1u);
  auto& p = *Presentations()[0];
  EXPECT_EQ(Notes(p), (std::vector<std::string>{"a_x.jpg", "b_x.jpg", "c_x.jpg", "写真_x.jpg", "e_x.jpg"}));

  p.SaveAs(dir / "show.pptx");
  const QString soffice = QStandardPaths::findExecutable("soffice");
  if (soffice.isEmpty() || QStandardPaths::findExecutable("pdfimages").isEmpty())
    GTEST_SKIP() << "LibreOffice or poppler-utils not installed";
  const QStringList profile{"--headless", "-env:UserInstallation=file://" + Q(dir / "profile")};
  Result r = Exec(
      soffice, profile + QStringList{"--convert-to", "pdf", "--outdir", Q(dir.path()), Q(dir / "show.pptx")},
      180000);
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  ASSERT_TRUE(tamtest::Exists(dir / "show.pdf")) << r.out.toStdString() << r.err.toStdString();
  const Result info = Exec("pdfinfo", {Q(dir / "show.pdf")});
  EXPECT_TRUE(info.out.contains(QRegularExpression("Pages:\\s+5\\n"))) << info.out.toStdString();
  const QStringList pages = Exec("pdftotext", {Q(dir / "show.pdf"), "-"}).out.split('\f');
  ASSERT_GE(pages.size(), 5);
  // pdftotext may set CJK and Latin text apart.
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(QString(pages[i]).remove(' ').contains(QString::fromStdString(Notes(p)[i])))
        << i << pages[i].toStdString();
  // One picture a page; the large one reduced to 960 x 720.
  const QStringList images =
      Exec("pdfimages", {"-list", Q(dir / "show.pdf")}).out.split('\n', Qt::SkipEmptyParts).mid(2);
  ASSERT_EQ(images.size(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(images[i].simplified().split(' ')[0], QString::number(i + 1));
  EXPECT_EQ(images[4].simplified().split(' ').mid(3, 2), (QStringList{"960", "720"}));

  // The notes as LibreOffice reads them.
  r = Exec(soffice,
           profile + QStringList{"--convert-to", "odp", "--outdir", Q(dir.path()), Q(dir / "show.pptx")},
           180000);
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  const tamtest::Element content = tamtest::ReadPackage(dir / "show.odp").xml("content.xml");
  std::vector<std::string> notes;
  for (const auto* n : content.all("presentation:notes")) {
    QString text;
    for (const auto* para : n->all("text:p")) {
      std::function<QString(const tamtest::Element&)> all_text = [&](const tamtest::Element& e) {
        QString t = e.text;
        for (const auto& c : e.children) t += all_text(c);
        return t;
      };
      text += all_text(*para);
    }
    notes.push_back(text.toStdString());
  }
  EXPECT_EQ(notes, Notes(p));
}

// ---------------------------------------------------------------- closing

class AnswerPrompts : public PresentationPrompts {
 public:
  Answer answer = Answer::Cancel;
  int asked = 0;
  Answer AskSaveChanges(QWidget*, const QString&) override {
    ++asked;
    return answer;
  }
  std::optional<std::string> AskFileName(QWidget*, const QString&) override { return std::nullopt; }
  void ShowError(QWidget*, const QString&) override {}
};

TEST_F(InsertCommand, ClosingTheWindowOrItsExitItemAsksAboutUnsavedPresentations) {
  AnswerPrompts prompts;
  UseServer(std::make_shared<pres::BuiltinServer>(std::make_shared<PresentationWindows>(&prompts)));
  Copy("jpeg/good/testorig.jpg", "a.jpg");
  List({"a.jpg"});
  form->show();
  form->PPTP1->trigger();
  form->close();
  EXPECT_EQ(prompts.asked, 1);
  EXPECT_TRUE(form->isVisible());  // cancelled: both stay open
  form->X1->trigger();             // the exit item asks as closing does
  EXPECT_EQ(prompts.asked, 2);
  EXPECT_TRUE(form->isVisible());
  prompts.answer = PresentationPrompts::Answer::Discard;
  form->X1->trigger();
  EXPECT_EQ(prompts.asked, 3);
  EXPECT_FALSE(form->isVisible());
}

}  // namespace
}  // namespace tam
