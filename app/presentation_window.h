// SPDX-License-Identifier: MIT
#pragma once
// The window of a presentation of the built-in engine: the slides drawn from
// the model one under the other, each with its notes, and a file menu. The
// engine knows no windows: PresentationWindows watches its presentations and
// opens, refreshes and closes a window for each one in view.
#include <QCache>
#include <QImage>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "presentation/builtin_engine.h"

namespace tam {

using pres::BuiltinPresentation;
using pres::Media;

// The questions the window asks, replaceable so tests can answer them.
class PresentationPrompts {
 public:
  enum class Answer { Save, Discard, Cancel };
  virtual ~PresentationPrompts() = default;
  // "Save the changes to <name>?"
  virtual Answer AskSaveChanges(QWidget* parent, const QString& name) = 0;
  // A file name for saving (bytes), or nothing when the user cancels.
  virtual std::optional<std::string> AskFileName(QWidget* parent, const QString& suggested) = 0;
  virtual void ShowError(QWidget* parent, const QString& message) = 0;
};

// Gives a prompt, before it is shown, the stacking of the program's highest
// window: a question asked by a window that lies below the always-on-top main
// window would otherwise open hidden behind it.
void StackLikeOurTopWindow(QWidget* prompt);

// Shows every text of a message box, informative text too, as plain text:
// a file's name in it ("<b>x</b>.pptx", "a&b.jpg") is never taken for markup.
// A long run without a break point (a file's path) may wrap anywhere, so the
// box shows it whole, its end and extension too, rather than cut it off.
void ShowTextsPlain(QMessageBox* box);

// text with a zero-width break point between every two characters of each
// run of more than a few characters without a space.
QString WithBreakPoints(const QString& text);

// Closes every presentation window, asking for each one with unsaved slides
// whether to save it. False when the user cancelled: the rest stay open.
bool CloseAllPresentations();

class SlidesView : public QWidget {
  Q_OBJECT
 public:
  explicit SlidesView(std::shared_ptr<BuiltinPresentation> presentation, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  void ModelChanged();
  // Top edge of slide i (from 0) in the view.
  int SlideTop(int index) const;
  static constexpr int kSlideWidth = 480, kSlideHeight = 360, kNotesHeight = 64, kMargin = 16, kLabel = 20;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const QImage* Thumbnail(const Media& media, QSize size);
  std::weak_ptr<BuiltinPresentation> presentation_;
  QCache<const Media*, QImage> thumbnails_{64};
};

class PresentationWindow : public QMainWindow {
  Q_OBJECT
 public:
  // prompts null: the real dialogs. The prompts must outlive the window.
  // A file of another kind that a save replaces goes to trash first (the
  // user's trash when null): the file dialog's question is easily answered
  // yes for a photo whose name was typed by mistake.
  PresentationWindow(std::shared_ptr<BuiltinPresentation> presentation, PresentationPrompts* prompts,
                     std::shared_ptr<Trash> trash = nullptr);
  ~PresentationWindow() override;

  // The menu commands; false when nothing was saved.
  bool Save();
  bool SaveAs();
  // Asks about unsaved slides; false when the user cancels.
  bool MaySaveChanges();
  // Asks as closing does, then closes; false when the user cancelled.
  bool TryClose();
  SlidesView* view() const { return view_; }
  // Shows the presentation's name, saved state and slides as they are now.
  void Refresh();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  PresentationPrompts& Prompts();
  // Writes the presentation to path under the busy cursor; a failure shown.
  bool SaveTo(const std::string& path);
  std::shared_ptr<BuiltinPresentation> presentation_;
  PresentationPrompts* prompts_;
  std::shared_ptr<Trash> trash_;
  SlidesView* view_;
  bool asked_ = false;
  std::uint64_t serial_;  // order of opening, for CloseAllPresentations
  friend bool CloseAllPresentations();
};

// The built-in engine's observer in the program: one window per presentation
// in view, made when it is first shown, hidden with the application, gone
// when the presentation closes.
class PresentationWindows : public pres::PresentationObserver {
 public:
  // prompts null: the real dialogs. The prompts must outlive the windows.
  // trash: where a save puts a file of another kind it replaces (the
  // user's trash when null).
  explicit PresentationWindows(PresentationPrompts* prompts = nullptr, std::shared_ptr<Trash> trash = nullptr)
      : prompts_(prompts), trash_(std::move(trash)) {}
  ~PresentationWindows() override;
  void Shown(const std::shared_ptr<BuiltinPresentation>& presentation) override;
  void Hidden(BuiltinPresentation& presentation) override;
  void Changed(BuiltinPresentation& presentation) override;
  void Closed(BuiltinPresentation& presentation) override;
  // The presentation's window, or null when it has none.
  PresentationWindow* WindowOf(const BuiltinPresentation& presentation) const;

 private:
  PresentationPrompts* prompts_;
  std::shared_ptr<Trash> trash_;
  std::map<const BuiltinPresentation*, QPointer<PresentationWindow>> windows_;
};

}  // namespace tam
