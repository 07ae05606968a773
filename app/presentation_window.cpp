// SPDX-License-Identifier: MIT
#include "app/presentation_window.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <vector>

#include "picture/error.h"
#include "picture/path.h"

namespace tam {

using pres::Box;
using pres::kEmuPerPoint;
using pres::Shape;
using pres::ShapeKind;
using pres::SlideData;

namespace {

// The busy cursor over the program's windows for as long as it lives.
struct BusyCursor {
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

class DialogPrompts : public PresentationPrompts {
 public:
  Answer AskSaveChanges(QWidget* parent, const QString& name) override {
    QMessageBox box(QMessageBox::Warning, "Tamarind 2", QString("\"%1\" への変更を保存しますか?").arg(name),
                    QMessageBox::NoButton, parent);
    QPushButton* save = box.addButton("保存する(&S)", QMessageBox::AcceptRole);
    QPushButton* discard = box.addButton("保存しない(&N)", QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton("キャンセル", QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    ShowTextsPlain(&box);
    StackLikeOurTopWindow(&box);
    box.exec();
    if (box.clickedButton() == save) return Answer::Save;
    if (box.clickedButton() == discard) return Answer::Discard;
    return Answer::Cancel;
  }

  std::optional<std::string> AskFileName(QWidget* parent, const QString& suggested) override {
    QFileDialog dialog(parent, "名前を付けて保存", suggested, "PowerPoint プレゼンテーション (*.pptx)");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("pptx");
    StackLikeOurTopWindow(&dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    QByteArray bytes = QFile::encodeName(dialog.selectedFiles().first());
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  }

  void ShowError(QWidget* parent, const QString& message) override {
    QMessageBox box(QMessageBox::Critical, "Tamarind 2", message, QMessageBox::Ok, parent);
    ShowTextsPlain(&box);
    StackLikeOurTopWindow(&box);
    box.exec();
  }
};

// Slide lengths (EMU) to view pixels.
constexpr double kScale = double(SlidesView::kSlideWidth) / pres::kSlideWidth;
int Px(std::int64_t emu) { return static_cast<int>(std::lround(emu * kScale)); }
QRect PxRect(const Box& b, QPoint origin) {
  return QRect(origin.x() + Px(b.x), origin.y() + Px(b.y), std::max(1, Px(b.cx)), std::max(1, Px(b.cy)));
}

}  // namespace

void StackLikeOurTopWindow(QWidget* prompt) {
  for (const QWidget* window : QApplication::topLevelWidgets()) {
    if (window != prompt && window->isVisible() && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
      prompt->setWindowFlag(Qt::WindowStaysOnTopHint, true);
      return;
    }
  }
}

QString WithBreakPoints(const QString& text) {
  // Longer than this, a run without a break point may be wider than a box.
  constexpr qsizetype kLongRun = 16;
  constexpr QChar kZeroWidthSpace(0x200B);
  QString shown;
  shown.reserve(text.size() * 2);
  qsizetype i = 0;
  while (i < text.size()) {
    if (text[i].isSpace()) {
      shown += text[i++];
      continue;
    }
    qsizetype end = i;
    while (end < text.size() && !text[end].isSpace()) ++end;
    const QString run = text.mid(i, end - i);
    i = end;
    if (run.size() <= kLongRun) {
      shown += run;
      continue;
    }
    // Between characters as the user sees them, never inside one.
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, run);
    qsizetype from = 0;
    for (qsizetype to = characters.toNextBoundary(); to > 0; to = characters.toNextBoundary()) {
      if (from > 0) shown += kZeroWidthSpace;
      shown += run.mid(from, to - from);
      from = to;
    }
  }
  return shown;
}

void ShowTextsPlain(QMessageBox* box) {
  box->setTextFormat(Qt::PlainText);
  box->setText(WithBreakPoints(box->text()));
  if (!box->informativeText().isEmpty()) box->setInformativeText(WithBreakPoints(box->informativeText()));
  for (QLabel* label : box->findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
}

bool CloseAllPresentations() {
  // In the order they were opened; closing one changes the program's windows.
  std::vector<QPointer<PresentationWindow>> windows;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* w = qobject_cast<PresentationWindow*>(widget)) windows.emplace_back(w);
  std::sort(windows.begin(), windows.end(),
            [](const auto& a, const auto& b) { return a->serial_ < b->serial_; });
  for (auto& w : windows) {
    if (w && !w->TryClose()) return false;
  }
  return true;
}

// ---- SlidesView

SlidesView::SlidesView(std::shared_ptr<BuiltinPresentation> presentation, QWidget* parent)
    : QWidget(parent), presentation_(presentation) {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0xE0, 0xE0, 0xE0));
  setPalette(pal);
}

int SlidesView::SlideTop(int index) const {
  return kMargin + index * (kLabel + kSlideHeight + kNotesHeight + kMargin) + kLabel;
}

QSize SlidesView::sizeHint() const {
  auto p = presentation_.lock();
  int n = p ? static_cast<int>(p->data().slides.size()) : 0;
  return QSize(kSlideWidth + 2 * kMargin, std::max(SlideTop(n) - kLabel, kSlideHeight / 2));
}

void SlidesView::ModelChanged() {
  resize(sizeHint());
  update();
}

const QImage* SlidesView::Thumbnail(const Media& media, QSize size) {
  if (QImage* cached = thumbnails_.object(&media); cached && cached->size() == size) return cached;
  QImage image;
  try {
    const std::vector<std::uint8_t> bytes = HeldBytes(media);
    QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // Decoded at about the size shown (a JPEG at a fraction of its own), so
    // that a slide of an unreduced photo holds the window up for
    // milliseconds and a few megabytes, not for a full decode.
    reader.setScaledSize(size);
    reader.setQuality(100);  // smooth scaling for what the decoder leaves
    image = reader.read();
  } catch (const std::exception&) {
    return nullptr;  // drawn as a grey box; the save names the damage
  }
  if (image.isNull()) return nullptr;
  auto* scaled = new QImage(
      image.size() == size ? image : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  thumbnails_.insert(&media, scaled);
  return scaled;
}

void SlidesView::paintEvent(QPaintEvent* event) {
  auto p = presentation_.lock();
  if (!p) return;
  QPainter painter(this);
  const auto& slides = p->data().slides;
  const int pitch = kLabel + kSlideHeight + kNotesHeight + kMargin;
  int first = std::max(0, (event->rect().top() - kMargin) / pitch);
  int last = std::min<int>(static_cast<int>(slides.size()) - 1, (event->rect().bottom() - kMargin) / pitch);
  for (int i = first; i <= last; ++i) {
    const SlideData& slide = *slides[static_cast<std::size_t>(i)];
    QPoint origin(kMargin, SlideTop(i));
    painter.setPen(Qt::black);
    painter.setFont(font());
    painter.drawText(QRect(kMargin, origin.y() - kLabel, kSlideWidth, kLabel),
                     Qt::AlignLeft | Qt::AlignVCenter, QString("スライド %1").arg(i + 1));
    QRect page(origin, QSize(kSlideWidth, kSlideHeight));
    painter.fillRect(page, Qt::white);
    painter.setClipRect(page);
    for (const Shape& s : slide.shapes) {
      QRect r = PxRect(s.box, origin);
      if (s.kind == ShapeKind::Picture) {
        if (const QImage* img = Thumbnail(*s.media, r.size()))
          painter.drawImage(r.topLeft(), *img);
        else
          painter.fillRect(r, Qt::lightGray);
        continue;
      }
      if (s.text.empty()) {
        if (s.is_placeholder()) {  // an empty placeholder shows its outline only
          painter.setPen(QPen(Qt::gray, 1, Qt::DashLine));
          painter.drawRect(r.adjusted(0, 0, -1, -1));
        }
        continue;
      }
      float points = s.font_size > 0                 ? static_cast<float>(s.font_size)
                     : s.kind == ShapeKind::Title    ? 44
                     : s.kind == ShapeKind::Subtitle ? 32
                                                     : 18;
      QFont f = font();
      f.setPixelSize(std::max(1, Px(std::llround(points * kEmuPerPoint))));
      painter.setFont(f);
      painter.setPen(Qt::black);
      int align = static_cast<int>(s.kind == ShapeKind::Subtitle ? Qt::AlignHCenter | Qt::AlignTop
                                                                 : Qt::AlignLeft | Qt::AlignTop);
      painter.drawText(r.adjusted(1, 0, -1, 0), align | Qt::TextWordWrap, QString::fromStdString(s.text));
    }
    painter.setClipping(false);
    painter.setPen(Qt::darkGray);
    painter.drawRect(page.adjusted(0, 0, -1, -1));
    QRect notes(kMargin, origin.y() + kSlideHeight + 4, kSlideWidth, kNotesHeight - 8);
    painter.fillRect(notes, QColor(0xF8, 0xF8, 0xF0));
    painter.setFont(font());
    painter.setPen(Qt::black);
    painter.drawText(
        notes.adjusted(4, 2, -4, -2), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
        slide.notes.empty() ? QString("ノート: (なし)") : "ノート: " + QString::fromStdString(slide.notes));
  }
}

// ---- PresentationWindow

PresentationWindow::PresentationWindow(std::shared_ptr<BuiltinPresentation> presentation,
                                       PresentationPrompts* prompts, std::shared_ptr<Trash> trash)
    : presentation_(std::move(presentation)),
      prompts_(prompts),
      trash_(trash ? std::move(trash) : std::make_shared<FreedesktopTrash>()) {
  static std::uint64_t opened = 0;
  serial_ = ++opened;
  auto* scroll = new QScrollArea(this);
  view_ = new SlidesView(presentation_, scroll);
  scroll->setWidget(view_);
  scroll->setAlignment(Qt::AlignHCenter);
  scroll->verticalScrollBar()->setSingleStep(40);
  setCentralWidget(scroll);

  QMenu* file = menuBar()->addMenu("ファイル(&F)");
  QAction* save = file->addAction("保存(&S)", this, [this] { Save(); });
  save->setShortcut(QKeySequence::Save);
  file->addAction("名前を付けて保存(&A)...", this, [this] { SaveAs(); });
  file->addSeparator();
  file->addAction("閉じる(&C)", this, [this] { close(); });

  resize(SlidesView::kSlideWidth + 2 * SlidesView::kMargin + 64, 640);
  Refresh();
}

PresentationWindow::~PresentationWindow() { presentation_->ViewGone(); }

PresentationPrompts& PresentationWindow::Prompts() {
  static DialogPrompts dialogs;
  return prompts_ ? *prompts_ : dialogs;
}

void PresentationWindow::Refresh() {
  QString title = QString::fromStdString(presentation_->name());
  if (presentation_->modified()) title += " *";
  setWindowTitle(title + " - Tamarind 2");
  view_->ModelChanged();
}

bool PresentationWindow::SaveAs() {
  QString suggested = QString::fromStdString(presentation_->name());
  if (presentation_->path().empty()) suggested += ".pptx";
  std::optional<std::string> path = Prompts().AskFileName(this, suggested);
  if (!path || path->empty()) return false;
  if (ExtractFileExt(*path).empty()) *path += ".pptx";
  return SaveTo(*path);
}

bool PresentationWindow::SaveTo(const std::string& path) {
  try {
    // A long show of unreduced photos takes seconds to write, and the window
    // answers nothing meanwhile: the busy cursor says so. It is gone before
    // an error box shows.
    const BusyCursor busy;
    presentation_->SaveAs(path, trash_.get());
  } catch (const Error& e) {
    Prompts().ShowError(this, QString::fromUtf8(e.what()));
    return false;
  }
  return true;
}

bool PresentationWindow::Save() {
  if (presentation_->path().empty()) return SaveAs();
  return SaveTo(presentation_->path());
}

bool PresentationWindow::MaySaveChanges() {
  if (presentation_->closed() || !presentation_->modified() || presentation_->data().slides.empty())
    return true;
  switch (Prompts().AskSaveChanges(this, QString::fromStdString(presentation_->name()))) {
    case PresentationPrompts::Answer::Save:
      return Save();
    case PresentationPrompts::Answer::Discard:
      return true;
    case PresentationPrompts::Answer::Cancel:
      break;
  }
  return false;
}

bool PresentationWindow::TryClose() {
  if (!MaySaveChanges()) return false;
  asked_ = true;
  close();
  return true;
}

void PresentationWindow::closeEvent(QCloseEvent* event) {
  if (!asked_ && !MaySaveChanges()) {
    event->ignore();
    return;
  }
  event->accept();
  // The presentation goes with its window; its closing schedules this window's deletion.
  auto keep = presentation_;
  keep->Close();
}

// ---- PresentationWindows

PresentationWindows::~PresentationWindows() {
  for (auto& [presentation, window] : windows_)
    if (window) window->deleteLater();
}

void PresentationWindows::Shown(const std::shared_ptr<BuiltinPresentation>& presentation) {
  QPointer<PresentationWindow>& window = windows_[presentation.get()];
  if (!window) window = new PresentationWindow(presentation, prompts_, trash_);
  window->show();
}

void PresentationWindows::Hidden(BuiltinPresentation& presentation) {
  if (PresentationWindow* window = WindowOf(presentation)) window->hide();
}

void PresentationWindows::Changed(BuiltinPresentation& presentation) {
  if (PresentationWindow* window = WindowOf(presentation)) window->Refresh();
}

void PresentationWindows::Closed(BuiltinPresentation& presentation) {
  auto it = windows_.find(&presentation);
  if (it == windows_.end()) return;
  if (PresentationWindow* window = it->second) {
    window->hide();
    window->deleteLater();
  }
  windows_.erase(it);
}

PresentationWindow* PresentationWindows::WindowOf(const BuiltinPresentation& presentation) const {
  auto it = windows_.find(&presentation);
  return it == windows_.end() ? nullptr : it->second.data();
}

}  // namespace tam
