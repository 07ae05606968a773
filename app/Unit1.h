// SPDX-License-Identifier: MIT
#pragma once
// The main window: the file list, the quality slider, the counter labels, the
// menu with every command and option, and the application-wide error hook.
// Components keep their designer names; handlers are component + event.
#include <QListWidget>
#include <QMainWindow>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/clipboard.h"
#include "app/errorlog.h"
#include "app/seams.h"
#include "picture/error.h"
#include "presentation/components.h"
#include "presentation/server_choice.h"

class QAction;
class QLabel;
class QMenu;
class QSlider;

namespace tam {

// A list box whose entries are byte paths, shown decoded, and whose
// horizontal scroll range is set from outside, in pixels.
class TListBox : public QListWidget {
  Q_OBJECT

 public:
  explicit TListBox(QWidget* parent = nullptr);

  void AddEntry(const std::string& path);
  std::string Entry(int row) const;
  void SetEntry(int row, const std::string& path);
  std::vector<std::string> Entries() const;

  void SetHorizontalExtent(int pixels);
  int HorizontalExtent() const { return extent_; }

 protected:
  void updateGeometries() override;

 private:
  int extent_ = 0;
};

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  explicit TForm1(Seams seams = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // Visible controls.
  QLabel* Label1;
  QLabel* compLb;
  QSlider* TrackBar1;
  TListBox* ListBox1;
  QLabel* DDLb;
  QLabel* listLb;
  QLabel* shrinkLb;
  QLabel* SlideLb;

  // The menu: top-level menus and their items, separators included.
  QAction* F1;
  QAction* O2;
  QAction* D1;
  QAction* C1;
  QAction* N1;
  QAction* X1;
  QAction* E1;
  QAction* S1;
  QAction* PPTP1;
  QAction* A1;
  QAction* N2;
  QAction* N3;
  QAction* jpg1;
  QAction* bmp1;
  QAction* O1;
  QAction* S2;
  QAction* D;
  QAction* M1;
  QAction* N14H1;
  QAction* N5;
  QAction* I1;
  QAction* V1;
  QAction* N4;

  // The automation components the insert command works through, all bound
  // to the window's presentation server.
  std::unique_ptr<pres::TPowerPointApplication> PowerPointApplication1;
  std::unique_ptr<pres::TPowerPointPresentation> PowerPointPresentation1;
  std::unique_ptr<pres::TPowerPointSlide> PowerPointSlide1;
  // Where the insert command puts each picture for the paste.
  DesktopClipboard clipboard_;

  // Handlers. Each menu item, the slider and the drop reach theirs through
  // Dispatch, so an error that escapes goes to ApplicationEvents1Exception.
  void FormCreate(QObject* Sender);
  void O2Click(QObject* Sender);
  void D1Click(QObject* Sender);
  void C1Click(QObject* Sender);
  void X1Click(QObject* Sender);
  void S1Click(QObject* Sender);
  void PPTP1Click(QObject* Sender);
  void A1Click(QObject* Sender);
  void jpg1Click(QObject* Sender);
  void bmp1Click(QObject* Sender);
  // The option items check and uncheck themselves when chosen; these make
  // the flags follow their check marks.
  void S2Click(QObject* Sender);
  void DClick(QObject* Sender);
  void M1Click(QObject* Sender);
  void N14H1Click(QObject* Sender);
  // Chooses between LibreOffice Impress and the built-in engine for the next
  // insert command.
  void I1Click(QObject* Sender);
  void N4Click(QObject* Sender);
  void TrackBar1Change(QObject* Sender);
  // The dropped items' byte paths, in the order the file manager gave them.
  void WMDropFiles(const std::vector<std::string>& paths);
  // What a folder chosen in D1Click adds: the folder's pictures appended,
  // then the labels and menu states of a folder choice.
  void AddFolderPictures(const std::string& folder);
  // Logs the error beside the program and shows it in an error box. Never
  // throws: a log that cannot be written does not stop the box.
  void ApplicationEvents1Exception(QObject* Sender, const std::exception& E) noexcept;

  // Runs a handler; an error that escapes it goes to the hook.
  template <class Handler>
  void Dispatch(QObject* sender, Handler&& handler) noexcept {
    try {
      std::forward<Handler>(handler)();
    } catch (const std::exception& error) {
      ApplicationEvents1Exception(sender, error);
    } catch (...) {
      ApplicationEvents1Exception(sender, Error("不明なエラーが発生しました"));
    }
  }

  // Option flags, each equal to its item's check mark.
  bool OverwriteSave() const { return OverwriteSave_; }
  bool DeleteAfterInsert() const { return DeleteAfterInsert_; }
  bool BeepOnFinish() const { return BeepOnFinish_; }
  bool QuarterSlideSize() const { return QuarterSlideSize_; }
  bool UsesImpress() const { return engines_->UsesImpress(); }

  // The file list as byte paths, first to last.
  std::vector<std::string> ListEntries() const;
  void SetListEntries(const std::vector<std::string>& paths);

  // Sets a label's caption; labels size themselves to their text.
  static void SetCaption(QLabel* label, const QString& text);

  const Seams& seams() const { return seams_; }
  const ErrorLog& errorLog() const { return error_log_; }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Closes the presentation windows first, asking to save unsaved slides;
  // when the user cancels there, the main window stays open too. During a
  // run the window does not close at all.
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  class RunScope;
  // The reduction run of S1Click; then() continues a batch once the run has
  // ended without an error.
  void Reduce(QObject* Sender, const std::function<void()>& then);
  // Keeps the window above others, or lets it go below, in place.
  void SetStaysOnTop(bool on_top);

  void BuildControls();
  void BuildMenu();
  void Connect(QAction* item, void (TForm1::*handler)(QObject*));
  // The closing steps of the add commands: scroll range and counter labels.
  void RefreshAfterAdd(const QString& dd_caption);
  void AppendExtensionToBareEntries(std::string_view ext);
  // A plain box with one OK button and the application title.
  void ShowMessage(const QString& text, const QString& detail = {});
  // Keeps the outer window, frame included, at the design's size limits.
  void FitOuterSizeLimits();

  Seams seams_;
  ErrorLog error_log_;
  // The components' server: Impress or the built-in engine, as I1 says.
  std::shared_ptr<pres::EngineChoice> engines_;
  // Read once at start: a display of 8 bits per pixel or fewer makes the
  // JPEG decoder quantize its colours.
  bool low_colour_display_ = false;
  QSize applied_frame_{-1, -1};

  bool OverwriteSave_ = false;
  bool DeleteAfterInsert_ = false;
  bool BeepOnFinish_ = false;
  bool QuarterSlideSize_ = false;
  bool running_ = false;  // a command run is going on
};

}  // namespace tam

using tam::TForm1;
