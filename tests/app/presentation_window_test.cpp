// SPDX-License-Identifier: MIT
// The presentation window of the built-in engine: it follows its
// presentation (opened, hidden with the application, redrawn, gone when the
// presentation closes), draws the model, and asks before unsaved slides go.
#include "app/presentation_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QMimeData>
#include <deque>

#include "picture/error.h"
#include "presentation/components.h"
#include "presentation/package_reader.h"
#include "support/clipboard_picture.h"
#include "support/testdata.h"

namespace tam {
namespace {

using namespace pres;
using tamtest::Clip;
using tamtest::ErrorOf;

void ClipboardImage(const QImage& image) { Clip().Put(tamtest::ClipOf(image)); }

class RecordingPrompts : public PresentationPrompts {
 public:
  std::deque<Answer> answers;
  std::optional<std::string> file;
  std::vector<QString> asked, errors;
  Answer AskSaveChanges(QWidget*, const QString& name) override {
    asked.push_back(name);
    Answer a = answers.empty() ? Answer::Cancel : answers.front();
    if (!answers.empty()) answers.pop_front();
    return a;
  }
  std::optional<std::string> AskFileName(QWidget*, const QString& suggested) override {
    asked.push_back("file:" + suggested);
    return file;
  }
  void ShowError(QWidget*, const QString& m) override {
    errors.push_back(m);
    busy_at_error = QApplication::overrideCursor() != nullptr;
  }
  bool busy_at_error = false;
};

// A trash that really takes the file away (into a folder of the test), or
// refuses to.
class FolderTrash : public tam::Trash {
 public:
  std::string folder;
  bool refuse = false;
  std::vector<std::string> moved;
  bool busy = false;  // the busy cursor showed while the save asked
  bool MoveToTrash(const std::string& path) override {
    busy = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    if (refuse) return false;
    moved.push_back(path);
    return ::rename(path.c_str(), (folder + "/" + std::to_string(moved.size())).c_str()) == 0;
  }
  std::string LastError() const override { return refuse ? "Permission denied" : ""; }
};

class PresentationWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { tamtest::EnsureApp(); }
  // A new presentation shown in its window, as the insert command opens it.
  std::shared_ptr<BuiltinPresentation> AddPresentation() {
    pres.ConnectTo(app.PresentationsAdd(true));
    return std::static_pointer_cast<BuiltinPresentation>(pres.object());
  }
  // Runs the insert command's steps for one picture already on the clipboard.
  void InsertSlide(const QString& name) {
    slide.ConnectTo(pres.SlidesAdd(pres.SlidesCount() + 1, kLayoutTitle));
    slide.NotesBodyInsertAfter(name.toStdString());
    slide.ShapesAddTextbox(kOrientationHorizontal, 0, 0, 500, 50);
    slide.ShapesRangeSetText(1, name.toStdString());
    slide.ShapesRangeSetFontSize(1, 8);
    slide.SetLayout(kLayoutBlank);
    slide.ShapesPaste(Clip());
  }
  RecordingPrompts prompts;
  tamtest::TempDir dir;
  std::shared_ptr<FolderTrash> trash = [this] {
    auto t = std::make_shared<FolderTrash>();
    t->folder = dir.path();
    return t;
  }();
  std::shared_ptr<PresentationWindows> windows = std::make_shared<PresentationWindows>(&prompts, trash);
  BuiltinServer server{windows};
  TPowerPointApplication app{server};
  TPowerPointPresentation pres{server};
  TPowerPointSlide slide{server};
};

TEST_F(PresentationWindowTest, ClosingAsksAboutUnsavedSlides) {
  app.SetVisible(true);
  auto p = AddPresentation();
  ASSERT_NE(windows->WindowOf(*p), nullptr);
  EXPECT_TRUE(windows->WindowOf(*p)->isVisible());
  EXPECT_TRUE(windows->WindowOf(*p)->windowTitle().startsWith("プレゼンテーション1"));

  QImage img(100, 80, QImage::Format_RGB32);
  img.fill(Qt::green);
  ClipboardImage(img);
  InsertSlide("a.jpg");
  EXPECT_GT(windows->WindowOf(*p)->view()->height(), SlidesView::kSlideHeight);
  // The view draws the model: the picture at the slide's centre, white around it.
  QImage shot = windows->WindowOf(*p)->view()->grab().toImage();
  QPoint centre(SlidesView::kMargin + SlidesView::kSlideWidth / 2,
                windows->WindowOf(*p)->view()->SlideTop(0) + SlidesView::kSlideHeight / 2);
  if (const char* path = std::getenv("TAM_WINDOW_SHOT")) windows->WindowOf(*p)->grab().save(path);
  EXPECT_EQ(shot.pixelColor(centre), QColor(Qt::green));
  EXPECT_EQ(shot.pixelColor(centre + QPoint(100, 0)), QColor(Qt::white));

  prompts.answers = {PresentationPrompts::Answer::Cancel};
  EXPECT_FALSE(windows->WindowOf(*p)->close());
  EXPECT_FALSE(p->closed());
  EXPECT_FALSE(CloseAllPresentations());  // cancelled again: still open
  EXPECT_FALSE(p->closed());

  // Save: the never-saved presentation asks for a name, then bears it.
  prompts.answers = {PresentationPrompts::Answer::Save};
  prompts.file = dir / "saved";
  EXPECT_TRUE(CloseAllPresentations());
  EXPECT_TRUE(p->closed());
  EXPECT_TRUE(server.application()->presentations().empty());
  tamtest::Package pkg = tamtest::ReadPackage(dir / "saved.pptx");
  EXPECT_TRUE(pkg.has("ppt/slides/slide1.xml"));
  EXPECT_EQ(prompts.asked.back(), "file:プレゼンテーション1.pptx");
  // The slide component's slide is gone with its presentation.
  EXPECT_NE(ErrorOf([&] { slide.ShapesPaste(Clip()); }), "(no error)");
}

TEST_F(PresentationWindowTest, DiscardClosesAndFailedSaveKeepsTheWindow) {
  auto p = AddPresentation();
  QImage img(10, 10, QImage::Format_RGB32);
  img.fill(Qt::green);
  ClipboardImage(img);
  InsertSlide("a.jpg");

  prompts.answers = {PresentationPrompts::Answer::Save};
  prompts.file = dir / "no/such/folder/x.pptx";
  EXPECT_FALSE(windows->WindowOf(*p)->close());
  ASSERT_EQ(prompts.errors.size(), 1u);
  EXPECT_TRUE(prompts.errors[0].contains("x.pptx"));
  EXPECT_FALSE(p->closed());

  prompts.answers = {PresentationPrompts::Answer::Discard};
  EXPECT_TRUE(windows->WindowOf(*p)->close());
  EXPECT_TRUE(p->closed());

  // An empty presentation closes without a question.
  auto q = AddPresentation();
  EXPECT_EQ(q->name(), "プレゼンテーション2");
  std::size_t asked = prompts.asked.size();
  EXPECT_TRUE(windows->WindowOf(*q)->close());
  EXPECT_EQ(prompts.asked.size(), asked);
}

TEST_F(PresentationWindowTest, SaveAfterSaveAsWritesTheSameFileWithoutAsking) {
  auto p = AddPresentation();
  QImage img(10, 10, QImage::Format_RGB32);
  ClipboardImage(img);
  InsertSlide("a.jpg");
  prompts.file = dir / "first.pptx";
  EXPECT_TRUE(windows->WindowOf(*p)->SaveAs());
  EXPECT_EQ(p->name(), "first.pptx");
  EXPECT_FALSE(p->modified());
  EXPECT_TRUE(windows->WindowOf(*p)->windowTitle().startsWith("first.pptx"));
  InsertSlide("b.jpg");
  std::size_t asked = prompts.asked.size();
  EXPECT_TRUE(windows->WindowOf(*p)->Save());
  EXPECT_EQ(prompts.asked.size(), asked);
  tamtest::Package pkg = tamtest::ReadPackage(dir / "first.pptx");
  EXPECT_TRUE(pkg.has("ppt/slides/slide2.xml"));
  EXPECT_TRUE(windows->WindowOf(*p)->close());  // saved: no question
  EXPECT_EQ(prompts.asked.size(), asked);
  EXPECT_TRUE(trash->moved.empty()) << "an earlier presentation is replaced, not trashed";
}

// A name typed by mistake, the file dialog's question answered yes: a photo
// there goes to the trash, never lost, or the save fails and it stays.
TEST_F(PresentationWindowTest, SavingOverAFileOfAnotherKindTrashesItFirst) {
  auto p = AddPresentation();
  ClipboardImage(QImage(10, 10, QImage::Format_RGB32));
  InsertSlide("a.jpg");
  const std::vector<std::uint8_t> photo = {0xFF, 0xD8, 0xFF, 0xE0, 'p', 'h', 'o', 't', 'o'};
  tamtest::WriteBytes(dir / "photo.jpg", photo);
  prompts.file = dir / "photo.jpg";

  trash->refuse = true;
  EXPECT_FALSE(windows->WindowOf(*p)->SaveAs());
  EXPECT_TRUE(trash->busy);  // the save runs under the busy cursor, the error box without it
  EXPECT_FALSE(prompts.busy_at_error);
  ASSERT_EQ(prompts.errors.size(), 1u);
  EXPECT_TRUE(prompts.errors[0].contains("photo.jpg") && prompts.errors[0].contains("Permission denied"))
      << prompts.errors[0].toStdString();
  EXPECT_EQ(tamtest::ReadBytes(dir / "photo.jpg"), photo);
  EXPECT_TRUE(p->modified());

  trash->refuse = false;
  EXPECT_TRUE(windows->WindowOf(*p)->SaveAs());
  ASSERT_EQ(trash->moved, std::vector<std::string>{dir / "photo.jpg"});
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(tamtest::ReadBytes(dir / "1"), photo);
  EXPECT_TRUE(tamtest::ReadPackage(dir / "photo.jpg").has("ppt/slides/slide1.xml"));
  EXPECT_TRUE(windows->WindowOf(*p)->close());
}

// The window follows what the engine reports: hidden and shown again with
// the application, none for a presentation opened without one, gone when the
// presentation is closed through the components rather than by the user.
TEST_F(PresentationWindowTest, TheWindowFollowsItsPresentation) {
  auto p = AddPresentation();
  QPointer<PresentationWindow> window = windows->WindowOf(*p);
  ASSERT_TRUE(window);
  app.SetVisible(false);
  EXPECT_FALSE(window->isVisible());
  app.SetVisible(true);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(windows->WindowOf(*p), window);  // the same window, not a second one

  auto hidden = std::static_pointer_cast<BuiltinPresentation>(app.PresentationsAdd(false));
  EXPECT_EQ(windows->WindowOf(*hidden), nullptr);

  p->Close();
  EXPECT_EQ(windows->WindowOf(*p), nullptr);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(window);
}

// A long show: the last of 500 slides is drawn from the model like the first.
TEST_F(PresentationWindowTest, TheLastOfALongShowIsDrawn) {
  auto p = AddPresentation();
  QImage img(100, 80, QImage::Format_RGB32);
  img.fill(Qt::green);
  ClipboardImage(img);
  for (int i = 1; i <= 500; ++i) InsertSlide(QString("IMG_%1.jpg").arg(i));
  SlidesView* view = windows->WindowOf(*p)->view();
  QRect last(SlidesView::kMargin, view->SlideTop(499), SlidesView::kSlideWidth, SlidesView::kSlideHeight);
  QImage shot = view->grab(last).toImage();
  EXPECT_EQ(shot.pixelColor(last.width() / 2, last.height() / 2), QColor(Qt::green));
  EXPECT_EQ(shot.pixelColor(5, last.height() - 5), QColor(Qt::white));
  prompts.answers = {PresentationPrompts::Answer::Discard};
}

}  // namespace
}  // namespace tam
