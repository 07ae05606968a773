// SPDX-License-Identifier: MIT
#include "app/seams.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>

#include "app/clipboard.h"
#include "app/presentation_window.h"
#include "picture/bmp.h"
#include "picture/error.h"
#include "picture/fileio.h"
#include "picture/jpeg.h"
#include "picture/limits.h"
#include "picture/reduce.h"
#include "picture/unique_fd.h"
#include "presentation/builtin_engine.h"
#include "presentation/insertion.h"
#include "presentation/server_choice.h"

namespace tam {
namespace {

bool EntryExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The raw name in folder whose shown form is shown, or "" when none is.
std::string FindRawName(const std::string& folder, const QString& shown) {
  std::string found;
  if (const tam::UniqueDir dir{::opendir(folder.empty() ? "/" : folder.c_str())}) {
    while (const dirent* entry = ::readdir(dir.get())) {
      if (QFile::decodeName(entry->d_name) == shown) {
        found = entry->d_name;
        break;
      }
    }
  }
  return found;
}

// Through the pictures' own reader, so that a FIFO or a device shows no
// preview rather than freezing the dialog.
QByteArray ReadForPreview(const std::string& path) {
  constexpr std::int64_t kLargestPreviewFile = 64 << 20;
  try {
    const std::vector<std::uint8_t> file = ReadWholeFile(path, kLargestPreviewFile);
    return QByteArray(reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size()));
  } catch (const Error&) {
    return {};
  }
}

// Qt's decoder knows neither our scan limit (thousands of scans would hold
// the dialog for minutes) nor our memory budget (its small preview still
// needs libjpeg's coefficients of the whole picture).
bool WithinLimits(const QByteArray& data) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                            static_cast<std::size_t>(data.size()));
  if (CountJpegScans(bytes) > kMostScans) return false;
  try {
    const JpegReader header(bytes);  // refuses what the budget cannot hold
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Reduced by the program's own filter before Qt sees it: a run-length file of
// a few bytes may hold a quarter of a gigapixel, whose QImage copy and 32-bit
// scaling took 1.5 GB, past what the reader checked it for.
QImage BitmapPreview(const QByteArray& data, int side) {
  try {
    Picture picture = DecodeBmp(
        {reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size())});
    if (picture.empty()) return {};
    ReducePicture(picture, side, side);
    return ToQImage(picture);
  } catch (const std::exception&) {
    return {};  // no preview for a file that is no picture
  }
}

}  // namespace

QImage PicturePreview(const std::string& path, int side) {
  QByteArray data = ReadForPreview(path);
  if (data.isEmpty()) return {};
  // Bitmaps through our own reader: Qt's shows stray memory for cut files.
  if (data.startsWith("BM")) return BitmapPreview(data, side);
  if (!WithinLimits(data)) return {};
  QBuffer buffer(&data);
  QImageReader reader(&buffer);
  reader.setAutoTransform(true);
  const QSize size = reader.size();
  if (size.isValid() && (size.width() > side || size.height() > side))
    reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
  return reader.read();
}

namespace {

// Qt's own (not the desktop's) open dialog with a preview pane on its right.
class PictureOpenDialog : public QFileDialog {
 public:
  PictureOpenDialog(QWidget* parent, const QString& filter) : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog);
    setOption(QFileDialog::ReadOnly);
    setOption(QFileDialog::HideNameFilterDetails);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    setNameFilter(filter);
    setSizeGripEnabled(true);
    preview_ = new QLabel(this);
    preview_->setFixedSize(kPreviewSide, kPreviewSide);
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setFrameShape(QFrame::StyledPanel);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
      grid->addWidget(preview_, 0, grid->columnCount(), grid->rowCount(), 1);
    }
    connect(this, &QFileDialog::currentChanged, this, &PictureOpenDialog::ShowPreview);
  }

 private:
  static constexpr int kPreviewSide = 180;

  void ShowPreview(const QString& shown) {
    preview_->clear();
    ShowImage(PicturePreview(BytesOfShownPath(shown), kPreviewSide));
  }

  void ShowImage(const QImage& image) {
    if (image.isNull()) return;
    preview_->setPixmap(
        QPixmap::fromImage(image.scaled(preview_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  }

  QLabel* preview_;
};

class QtFileDialogs : public FileDialogs {
 public:
  // Qt's file dialog keeps its folder, history and view in QtProject.conf in
  // the user's configuration folder, written when a dialog goes and read
  // when the next one opens. The program keeps nothing between runs: the
  // settings are looked for under /dev/null, where no file can be read or
  // made, not even by root. Nothing else of the program uses settings.
  QtFileDialogs() {
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
      for (const QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
        QSettings::setPath(format, scope, QStringLiteral("/dev/null"));
    }
  }

  std::optional<std::vector<std::string>> OpenPictures(QWidget* parent, const QString& filter) override {
    PictureOpenDialog dialog(parent, filter);
    dialog.setDirectory(last_folder_.isEmpty() ? QDir::homePath() : last_folder_);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    last_folder_ = dialog.directory().absolutePath();
    std::vector<std::string> paths;
    for (const QString& shown : dialog.selectedFiles()) paths.push_back(BytesOfShownPath(shown));
    return paths;
  }

  std::optional<std::string> ChooseFolder(QWidget* parent, const QString& title) override {
    const QString shown = QFileDialog::getExistingDirectory(
        parent, title, QDir::homePath(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly);
    if (shown.isEmpty()) return std::nullopt;
    return BytesOfShownPath(shown);
  }

 private:
  QString last_folder_;
};

class QtMessageBoxes : public MessageBoxes {
 public:
  void Show(QWidget* parent, const QString& text, const QString& title, MessageIcon icon,
            const QString& detail) override {
    const QMessageBox::Icon qicon = icon == MessageIcon::Critical      ? QMessageBox::Critical
                                    : icon == MessageIcon::Warning     ? QMessageBox::Warning
                                    : icon == MessageIcon::Information ? QMessageBox::Information
                                                                       : QMessageBox::NoIcon;
    QWidget* owner = QApplication::activeWindow() ? QApplication::activeWindow() : parent;
    QMessageBox box(qicon, title, text, QMessageBox::Ok, owner);
    if (!detail.isEmpty()) box.setInformativeText(detail);
    ShowTextsPlain(&box);
    StackLikeOurTopWindow(&box);
    box.exec();
  }
};

class QtBeeper : public Beeper {
 public:
  void Beep() override { QApplication::beep(); }
};

class SystemClock : public Clock {
 public:
  QDateTime Now() override { return QDateTime::currentDateTime(); }
};

}  // namespace

Seams WithRealSeams(Seams seams) {
  if (!seams.dialogs) seams.dialogs = std::make_shared<QtFileDialogs>();
  if (!seams.messages) seams.messages = std::make_shared<QtMessageBoxes>();
  if (!seams.beeper) seams.beeper = std::make_shared<QtBeeper>();
  if (!seams.clock) seams.clock = std::make_shared<SystemClock>();
  if (!seams.trash) seams.trash = std::make_shared<FreedesktopTrash>();
  if (!seams.server) {
    seams.server =
        std::make_shared<pres::BuiltinServer>(std::make_shared<PresentationWindows>(nullptr, seams.trash));
    if (!seams.office) seams.office = pres::LoadImpressIfInstalled();
  }
  return seams;
}

std::string BytesOfShownPath(const QString& shown) {
  const std::string direct = QFile::encodeName(shown).toStdString();
  if (direct.empty() || EntryExists(direct) || !shown.startsWith(u'/')) return direct;
  std::string resolved;
  for (const QString& part : shown.split(u'/', Qt::SkipEmptyParts)) {
    std::string next = resolved + '/' + QFile::encodeName(part).toStdString();
    if (!EntryExists(next)) {
      const std::string raw = FindRawName(resolved, part);
      if (raw.empty()) return direct;
      next = resolved + '/' + raw;
    }
    resolved = std::move(next);
  }
  return resolved.empty() ? direct : resolved;
}

}  // namespace tam
