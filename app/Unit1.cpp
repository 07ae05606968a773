// SPDX-License-Identifier: MIT
#include "app/Unit1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <QUrl>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <optional>

#include "app/application.h"
#include "app/frame_hints.h"
#include "app/presentation_window.h"
#include "app/reduce_thread.h"
#include "app/uProgress.h"
#include "app/urilist.h"
#include "picture/error.h"
#include "picture/folder.h"
#include "picture/kind.h"
#include "picture/path.h"
#include "presentation/insert_run.h"

namespace tam {
namespace {

// The line under an error box's message naming the file it came from, when
// the message does not (a decoder's error number); empty otherwise.
QString FileLine(const std::string& message, const std::string& file) {
  if (file.empty() || message.find(file) != std::string::npos) return {};
  return QStringLiteral("ファイル: ") + QFile::decodeName(QByteArray::fromStdString(file));
}

// The design, in pixels at 96 dpi. The outer window includes its frame.
// The outer height is fixed too: window managers that ignore the "no
// maximise" hint (openbox) still leave it out for a window of fixed size.
constexpr int kOuterWidth = 240;
constexpr int kOuterHeight = 250;
constexpr int kClientWidth = 232;
constexpr int kClientHeight = 204;
constexpr int kFontPixels = 11;  // Tahoma 8 pt at 96 dpi
constexpr int kItemHeight = 13;
constexpr int kItemPadding = 2;

constexpr char kUriListFormat[] = "text/uri-list";
// One filter: the display text of the design and its four patterns.
constexpr char kPictureFilter[] = "画像ファイル(*.jpg,*.bmp) (*.jpg *.bmp *.JPG *.BMP)";
constexpr char kNoFiles[] = "ファイルがありません";

// Lets the display catch up (paints, windows that went) without taking any
// input, so nothing else can start meanwhile.
void ShowPendingPaints() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

// The busy cursor over the program's windows for as long as it lives.
struct BusyCursor {
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// The ordinary cursor while a message box waits in the middle of a busy run.
struct NormalCursor {
  NormalCursor() { QApplication::setOverrideCursor(Qt::ArrowCursor); }
  ~NormalCursor() { QApplication::restoreOverrideCursor(); }
  NormalCursor(const NormalCursor&) = delete;
  NormalCursor& operator=(const NormalCursor&) = delete;
};

QString Counter(const char* word, qsizetype count) {
  return QString::fromUtf8(word) + QString::number(count);
}

// The dropped items' byte paths. The raw list keeps names that are not
// valid UTF-8 exact; QUrl is the fallback when a source gives only URLs.
std::vector<std::string> DroppedPaths(const QMimeData& mime) {
  const QByteArray raw = mime.data(kUriListFormat);
  if (!raw.isEmpty()) return LocalPathsOfUriList(std::string_view(raw.constData(), raw.size()));
  std::vector<std::string> paths;
  for (const QUrl& url : mime.urls()) {
    if (url.isLocalFile()) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
  }
  return paths;
}

}  // namespace

// ---------------------------------------------------------------- TListBox

TListBox::TListBox(QWidget* parent) : QListWidget(parent) {
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTextElideMode(Qt::ElideNone);
}

void TListBox::AddEntry(const std::string& path) { SetEntry(row(new QListWidgetItem(this)), path); }

std::string TListBox::Entry(int row) const {
  return item(row)->data(Qt::UserRole).toByteArray().toStdString();
}

void TListBox::SetEntry(int row, const std::string& path) {
  QListWidgetItem* entry = item(row);
  const QByteArray bytes(path.data(), static_cast<qsizetype>(path.size()));
  entry->setData(Qt::UserRole, bytes);
  entry->setText(QFile::decodeName(bytes));
  // One line of text as high as the font needs (13 pixels with Tahoma), as
  // wide as the text, so a long path is scrolled to rather than shortened.
  entry->setSizeHint(QSize(fontMetrics().horizontalAdvance(entry->text()) + 2 * kItemPadding,
                           std::max(kItemHeight, fontMetrics().height())));
}

std::vector<std::string> TListBox::Entries() const {
  std::vector<std::string> entries;
  entries.reserve(static_cast<std::size_t>(count()));
  for (int i = 0; i < count(); ++i) entries.push_back(Entry(i));
  return entries;
}

void TListBox::SetHorizontalExtent(int pixels) {
  extent_ = std::max(0, pixels);
  updateGeometries();
}

void TListBox::updateGeometries() {
  QListWidget::updateGeometries();
  // The range is what the add commands set, not what the view measures, and
  // so is the bar: left to the view, its bar would follow the items' widths
  // while the range follows the extent, and where the two disagree each
  // layout would show or hide the bar and lay out again, without end. Here
  // showing the bar can only take height from the list, which can only bring
  // the vertical bar and narrow the list further: the choice never undoes
  // itself, so the layout settles at once.
  const Qt::ScrollBarPolicy policy =
      extent_ > viewport()->width() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
  if (horizontalScrollBarPolicy() != policy) setHorizontalScrollBarPolicy(policy);
  QScrollBar* bar = horizontalScrollBar();
  bar->setPageStep(viewport()->width());
  bar->setRange(0, std::max(0, extent_ - viewport()->width()));
}

// ---------------------------------------------------------------- TForm1

// A reduction or insertion run, or a batch holding both: the window takes no
// input and refuses to close, and the program does not quit, until the run is
// over, however it ends. The progress window's abort button is the way to
// stop. Closing the window half-way would end the program after the current
// file, the rest unreduced and the list lost.
class TForm1::RunScope : public QObject {
 public:
  explicit RunScope(TForm1& form) : form_(form), outer_(!form.running_) {
    if (!outer_) return;  // the batch around this run holds it already
    form_.running_ = true;
    form_.setEnabled(false);
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~RunScope() override {
    if (!outer_) return;
    // Input held back while the insertion repainted (a close from the window
    // manager, clicks) reaches the window while it still refuses it, rather
    // than acting once the run is over.
    {
      const BusyCursor still_busy;
      QCoreApplication::processEvents();
    }
    QCoreApplication::instance()->removeEventFilter(this);
    form_.setEnabled(true);
    form_.running_ = false;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::Quit) return false;
    event->ignore();
    return true;
  }

 private:
  TForm1& form_;
  const bool outer_;
};

TForm1::TForm1(Seams seams, QWidget* parent)
    : QMainWindow(parent),
      seams_(WithRealSeams(std::move(seams))),
      error_log_(seams_.program_path.empty() ? RunningProgramPath() : seams_.program_path, *seams_.clock),
      engines_(std::make_shared<pres::EngineChoice>(seams_.server, seams_.office)) {
  setWindowTitle(QStringLiteral("Tamarind 2 for PowerPoint"));
  // System menu and minimize only: no maximize button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  QFont font;
  font.setFamilies(
      {QStringLiteral("Tahoma"), QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic")});
  // Pixels rather than points, so the design's pixel geometry holds at any dpi.
  font.setPixelSize(kFontPixels);
  setFont(font);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) low_colour_display_ = screen->depth() <= 8;
  PowerPointApplication1 = std::make_unique<pres::TPowerPointApplication>(*engines_);
  PowerPointPresentation1 = std::make_unique<pres::TPowerPointPresentation>(*engines_);
  PowerPointSlide1 = std::make_unique<pres::TPowerPointSlide>(*engines_);
  BuildControls();
  BuildMenu();
  resize(kOuterWidth, kOuterHeight);
  FitOuterSizeLimits();
  TamApplication::SetExceptionHook(this, [this](QObject* sender, const std::exception& error) {
    ApplicationEvents1Exception(sender, error);
  });
  Dispatch(this, [this] { FormCreate(this); });
}

TForm1::~TForm1() {
  TamApplication::ClearExceptionHook(this);
  // The components let go of their objects while the server still lives.
  PowerPointSlide1.reset();
  PowerPointPresentation1.reset();
  PowerPointApplication1.reset();
}

void TForm1::BuildControls() {
  auto* client = new QWidget(this);
  client->setMinimumSize(kClientWidth, 0);
  setCentralWidget(client);

  const auto label = [client](const char* caption, int left, int top) {
    auto* l = new QLabel(client);
    l->setTextFormat(Qt::PlainText);
    l->move(left, top);
    SetCaption(l, QString::fromUtf8(caption));
    return l;
  };
  Label1 = label("画質", 8, 24);
  compLb = label("50", 55, 24);

  TrackBar1 = new QSlider(Qt::Horizontal, client);
  TrackBar1->setGeometry(85, 16, 100, 33);
  TrackBar1->setRange(0, 100);
  TrackBar1->setValue(50);
  TrackBar1->setSingleStep(5);
  TrackBar1->setPageStep(2);
  TrackBar1->setTickInterval(25);
  TrackBar1->setTickPosition(QSlider::TicksBothSides);

  ListBox1 = new TListBox(client);
  ListBox1->setGeometry(7, 71, 217, 58);
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);

  // The design caption carries a full-width ampersand; later texts a plain one.
  DDLb = label("D＆D数:0", 8, 135);
  listLb = label("リスト:0", 33, 151);
  shrinkLb = label("縮小数:0", 55, 167);
  SlideLb = label("スライド:0", 85, 184);

  setTabOrder(ListBox1, TrackBar1);
  ListBox1->setFocus();
  connect(TrackBar1, &QSlider::valueChanged, this,
          [this] { Dispatch(TrackBar1, [this] { TrackBar1Change(TrackBar1); }); });
}

void TForm1::BuildMenu() {
  QMenuBar* bar = menuBar();
  const auto menu = [bar](const char* caption) {
    QMenu* m = bar->addMenu(QString::fromUtf8(caption));
    return m;
  };
  const auto item = [](QMenu* m, const char* caption) { return m->addAction(QString::fromUtf8(caption)); };
  const auto option = [&](QMenu* m, const char* caption, bool checked) {
    QAction* a = item(m, caption);
    a->setCheckable(true);
    a->setChecked(checked);
    return a;
  };

  QMenu* file = menu("ファイル(&F)");
  F1 = file->menuAction();
  O2 = item(file, "ファイル選択(&O)");
  D1 = item(file, "フォルダ選択(&D)");
  C1 = item(file, "すべて閉じる(&C)");
  N1 = file->addSeparator();
  X1 = item(file, "終了(&X)");

  QMenu* edit = menu("編集(&E)");
  E1 = edit->menuAction();
  S1 = item(edit, "縮小(&S)");
  PPTP1 = item(edit, "PPT挿入(&P)");
  PPTP1->setEnabled(false);
  A1 = item(edit, "一括処理(&A)");
  N2 = edit->addSeparator();
  QMenu* extension = edit->addMenu(QStringLiteral("拡張子付加"));
  N3 = extension->menuAction();
  jpg1 = item(extension, "jpg");
  bmp1 = item(extension, "bmp");

  QMenu* settings = menu("設定(&O)");
  O1 = settings->menuAction();
  S2 = option(settings, "上書き保存(&S)", false);
  D = option(settings, "挿入後元ファイル削除(&D)", false);
  M1 = option(settings, "終了時音を鳴らす(&M)", false);
  N14H1 = option(settings, "スライドの1/4サイズ(&H)", false);
  // After the items of the original design, so each keeps its place and letter.
  N5 = settings->addSeparator();
  I1 = option(settings, "LibreOffice Impress を使う(&I)", engines_->UsesImpress());
  I1->setEnabled(engines_->ImpressAvailable());

  QMenu* view = menu("表示(&V)");
  V1 = view->menuAction();
  N4 = option(view, "常に手前に表示", true);

  Connect(O2, &TForm1::O2Click);
  Connect(D1, &TForm1::D1Click);
  Connect(C1, &TForm1::C1Click);
  Connect(X1, &TForm1::X1Click);
  Connect(S1, &TForm1::S1Click);
  Connect(PPTP1, &TForm1::PPTP1Click);
  Connect(A1, &TForm1::A1Click);
  Connect(jpg1, &TForm1::jpg1Click);
  Connect(bmp1, &TForm1::bmp1Click);
  Connect(S2, &TForm1::S2Click);
  Connect(D, &TForm1::DClick);
  Connect(M1, &TForm1::M1Click);
  Connect(N14H1, &TForm1::N14H1Click);
  Connect(I1, &TForm1::I1Click);
  Connect(N4, &TForm1::N4Click);
}

void TForm1::Connect(QAction* item, void (TForm1::*handler)(QObject*)) {
  connect(item, &QAction::triggered, this,
          [this, item, handler] { Dispatch(item, [&] { (this->*handler)(item); }); });
}

void TForm1::SetCaption(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();
}

// ---------------------------------------------------------------- handlers

void TForm1::FormCreate(QObject*) {
  setAcceptDrops(true);
  OverwriteSave_ = false;
  DeleteAfterInsert_ = false;
  BeepOnFinish_ = false;
  N3->setEnabled(false);
}

void TForm1::O2Click(QObject*) {
  const auto chosen = seams_.dialogs->OpenPictures(this, QString::fromUtf8(kPictureFilter));
  if (chosen) SetListEntries(*chosen);
  RefreshAfterAdd(Counter("選択数:", ListBox1->count()));
  N3->setEnabled(false);
}

void TForm1::D1Click(QObject*) {
  const auto folder = seams_.dialogs->ChooseFolder(this, QStringLiteral("フォルダの選択"));
  if (!folder) return;
  AddFolderPictures(*folder);
}

void TForm1::AddFolderPictures(const std::string& folder) {
  for (const std::string& path : FindFolderPictures(folder)) ListBox1->AddEntry(path);
  if (ListBox1->count() > 0) PPTP1->setEnabled(true);
  RefreshAfterAdd(Counter("D&D数:", ListBox1->count()));
}

void TForm1::WMDropFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    // Judged on the whole path: nothing is cut, however long it is.
    const std::string ext = ExtractFileExt(path);
    if (KindOfExtension(ext) != PictureKind::None) {
      ListBox1->AddEntry(path);
    } else if (ext.empty()) {
      ListBox1->AddEntry(path);
      N3->setEnabled(true);
    }
  }
  if (ListBox1->count() > 0) PPTP1->setEnabled(true);
  RefreshAfterAdd(Counter("D&D数:", static_cast<qsizetype>(paths.size())));
}

void TForm1::C1Click(QObject*) {
  ListBox1->clear();
  ListBox1->SetHorizontalExtent(0);
}

void TForm1::X1Click(QObject*) { close(); }

// The reduce command: every entry converted in turn with the progress window
// showing, abortable between files; the list then holds the written files.
// The windows stay painted and responsive while a file converts.
// On an error the list and labels stay as they were and the error goes on.
void TForm1::S1Click(QObject* Sender) { Reduce(Sender, nullptr); }

// The run ends in whichever event loop is running when its last file is
// done: a dialog of another window (a presentation's Save As) opened
// meanwhile has one of its own, and the end (the list, the labels, the
// window taking input again, a batch's insertion) does not wait for it to
// close. then() continues a batch within the same run; it comes only after
// a run that was not ended by an error.
void TForm1::Reduce(QObject* Sender, const std::function<void()>& then) {
  if (ListBox1->count() == 0) return;
  const std::vector<std::string> entries = ListEntries();
  const int quality = compLb->text().toInt();
  const ConvertOptions options{OverwriteSave_, QuarterSlideSize_, low_colour_display_, seams_.trash.get()};

  // No command of this window can start while the run pumps events. The
  // progress window, made after this, is not disabled with it.
  std::optional<RunScope> run(std::in_place, *this);
  QPointer<TfrmProgress> progress = new TfrmProgress(this);
  progress->ShowCentred();

  // The files convert on a thread of their own while this one keeps the
  // windows painted and the abort button working. The abort request (the
  // button, or the progress window's close) is read between files: a file
  // being converted is always finished first, never cut off half-written.
  ReduceEntriesBesideEventLoop(
      entries, quality, options,
      [&](int percent) {
        if (!progress) return;
        progress->SetProgressPosition(percent);
        progress->SetProgressText(QString::number(percent) + QStringLiteral(" %"));
      },
      [] { return AbortRequested; },
      [&](ReductionEnd end) {
        // The window leaves the screen when the run ends, before whatever
        // comes next (a batch's insertion, an error box) keeps the program
        // busy.
        delete progress.data();
        ShowPendingPaints();
        std::exception_ptr error = end.error;
        if (!error) {
          try {
            SetListEntries(end.written);
            SetCaption(shrinkLb, QString::asprintf("縮小数:%d", static_cast<int>(end.written.size())));
            PPTP1->setEnabled(true);
            if (Sender == S1 && BeepOnFinish_) seams_.beeper->Beep();
            if (then) then();
          } catch (...) {
            error = std::current_exception();
          }
        }
        // The window takes input again before an error box asks for it.
        run.reset();
        if (error) Dispatch(Sender, [&] { std::rethrow_exception(error); });
      });
}

// The insert command: a new presentation with one slide per listed picture.
// Failures of its phases are shown and the run goes on; whatever happened, the
// list is emptied and the command disabled until new files come.
void TForm1::PPTP1Click(QObject* Sender) {
  if (ListBox1->count() == 0) return;
  const std::vector<std::string> entries = ListEntries();
  // There is no progress window here: the busy cursor shows the run, and the
  // windows are repainted after each slide and while the office starts.
  const RunScope run(*this);
  const BusyCursor busy;
  // The office shows its own windows while it runs, among them the one that
  // says why it cannot start: a window kept above everything would hide them.
  // The window takes no input meanwhile, so it loses nothing by going under.
  struct OfficeMayCover {
    TForm1& form;
    const bool lowered;
    OfficeMayCover(TForm1& f, bool office) : form(f), lowered(office && f.N4->isChecked()) {
      if (lowered) form.SetStaysOnTop(false);
    }
    ~OfficeMayCover() {
      if (lowered) form.SetStaysOnTop(form.N4->isChecked());
    }
  } const office_may_cover(*this, UsesImpress());
  const pres::InsertOutcome outcome = pres::InsertSlides(
      {*PowerPointApplication1, *PowerPointPresentation1, *PowerPointSlide1, clipboard_}, entries,
      JpegDecodeOptions{low_colour_display_},
      [this](const std::string& text, const std::string& file) {
        const NormalCursor normal;
        ShowMessage(QString::fromStdString(text), FileLine(text, file));
      },
      [this](const std::string& line) {
        // The box says only that the server is missing; why it would not
        // start is kept here for whoever looks into it.
        try {
          error_log_.Write(line);
        } catch (const std::exception& log_failed) {
          qWarning("tamarind2: %s", log_failed.what());
        }
      },
      ShowPendingPaints);
  if (DeleteAfterInsert_) pres::TrashInsertedFiles(entries, outcome, *seams_.trash);
  SetCaption(SlideLb, QString::asprintf("スライド:%d", outcome.inserted));
  ListBox1->clear();
  ListBox1->SetHorizontalExtent(0);
  PPTP1->setEnabled(false);
  if (Sender == PPTP1 && BeepOnFinish_) seams_.beeper->Beep();
  // The server keeps running with the presentation open.
  PowerPointApplication1->Disconnect();
}

// The batch command: reduce, then insert what the reduction wrote. Only this
// command beeps, once, at its end, and only when there was something to do.
void TForm1::A1Click(QObject* Sender) {
  if (ListBox1->count() == 0) {
    ShowMessage(QString::fromUtf8(kNoFiles));
    return;
  }
  // One run from the reduction through the insertion: the window stays
  // disabled in between.
  Reduce(A1, [this, Sender] {
    // A reduction that wrote nothing (or was aborted first) leaves the list
    // empty: the user is told why no slides come, and that is the end.
    if (ListBox1->count() == 0) {
      ShowMessage(QString::fromUtf8(kNoFiles));
      return;
    }
    if (FileExists(ListBox1->Entry(0))) PPTP1Click(A1);
    if (Sender == A1 && BeepOnFinish_) seams_.beeper->Beep();
  });
}

void TForm1::jpg1Click(QObject*) { AppendExtensionToBareEntries(AppendedExtension(PictureKind::Jpeg)); }

void TForm1::bmp1Click(QObject*) { AppendExtensionToBareEntries(AppendedExtension(PictureKind::Bitmap)); }

void TForm1::S2Click(QObject*) { OverwriteSave_ = S2->isChecked(); }

void TForm1::DClick(QObject*) { DeleteAfterInsert_ = D->isChecked(); }

void TForm1::M1Click(QObject*) { BeepOnFinish_ = M1->isChecked(); }

void TForm1::N14H1Click(QObject*) { QuarterSlideSize_ = N14H1->isChecked(); }

void TForm1::I1Click(QObject*) {
  engines_->UseImpress(I1->isChecked());
  I1->setChecked(engines_->UsesImpress());
}

void TForm1::N4Click(QObject*) { SetStaysOnTop(N4->isChecked()); }

void TForm1::SetStaysOnTop(bool on_top) {
  Qt::WindowFlags flags = windowFlags();
  if (flags.testFlag(Qt::WindowStaysOnTopHint) == on_top) return;
  flags.setFlag(Qt::WindowStaysOnTopHint, on_top);
  // setWindowFlags would hide and re-create the window; this changes the
  // stacking of the existing one, which keeps its place and is not activated.
  overrideWindowFlags(flags);
  if (QWindow* window = windowHandle()) window->setFlags(flags);
  // New flags bring Qt's own frame hints back.
  RequestFrame(this, Frame::kCaptionMenuMinimize);
}

void TForm1::TrackBar1Change(QObject*) { SetCaption(compLb, QString::number(TrackBar1->value())); }

void TForm1::ApplicationEvents1Exception(QObject*, const std::exception& E) noexcept {
  try {
    const std::string message = ErrorText(E);
    try {
      error_log_.Write(message);
    } catch (const std::exception& log_failed) {
      // The box below still reports the error itself.
      qWarning("tamarind2: %s", log_failed.what());
    }
    // A message that does not name its file (a decoder's error number) gets
    // a line that does: in a long list the user could not tell otherwise.
    const auto* in_file = dynamic_cast<const Error*>(&E);
    const QString detail = in_file ? FileLine(message, in_file->file()) : QString();
    QWidget* owner = QApplication::activeWindow() ? QApplication::activeWindow() : this;
    seams_.messages->Show(owner, ErrorBoxText(message), QString::fromUtf8(kApplicationTitle),
                          MessageIcon::Critical, detail);
  } catch (const std::exception& failed) {
    qWarning("tamarind2: %s", failed.what());
  } catch (...) {
  }
}

// ---------------------------------------------------------------- helpers

std::vector<std::string> TForm1::ListEntries() const { return ListBox1->Entries(); }

void TForm1::SetListEntries(const std::vector<std::string>& paths) {
  ListBox1->clear();
  for (const std::string& path : paths) ListBox1->AddEntry(path);
}

void TForm1::RefreshAfterAdd(const QString& dd_caption) {
  int widest = 0;
  const QFontMetrics metrics = ListBox1->fontMetrics();
  for (int i = 0; i < ListBox1->count(); ++i)
    widest = std::max(widest, metrics.horizontalAdvance(ListBox1->item(i)->text()));
  ListBox1->SetHorizontalExtent(widest + 20);
  SetCaption(DDLb, dd_caption);
  SetCaption(listLb, Counter("リスト:", ListBox1->count()));
}

void TForm1::AppendExtensionToBareEntries(std::string_view ext) {
  for (int row = 0; row < ListBox1->count(); ++row) {
    const std::string entry = ListBox1->Entry(row);
    if (ExtractFileExt(entry).empty()) ListBox1->SetEntry(row, entry + std::string(ext));
  }
}

void TForm1::ShowMessage(const QString& text, const QString& detail) {
  seams_.messages->Show(this, text, QString::fromUtf8(kApplicationTitle), MessageIcon::None, detail);
}

// ---------------------------------------------------------------- window

void TForm1::FitOuterSizeLimits() {
  const QSize frame = frameGeometry().size() - geometry().size();
  if (frame == applied_frame_) return;
  applied_frame_ = frame;
  setFixedSize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  RequestFrame(this, Frame::kCaptionMenuMinimize);
  FitOuterSizeLimits();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (running_) {
    event->ignore();
    return;
  }
  bool may_close = false;
  Dispatch(this, [&] { may_close = CloseAllPresentations(); });
  if (!may_close) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

// The window manager's frame becomes known after the window is mapped.
void TForm1::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  FitOuterSizeLimits();
}

// A disabled window (a run is going on) takes no drops either.
void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (isEnabled() && event->mimeData()->hasFormat(kUriListFormat)) event->acceptProposedAction();
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
  if (isEnabled() && event->mimeData()->hasFormat(kUriListFormat)) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
  if (!isEnabled() || !event->mimeData()->hasFormat(kUriListFormat)) return;
  event->acceptProposedAction();
  const QMimeData* mime = event->mimeData();
  Dispatch(this, [this, mime] { WMDropFiles(DroppedPaths(*mime)); });
}

}  // namespace tam
