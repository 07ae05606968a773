// SPDX-License-Identifier: MIT
#pragma once
// The few things the window asks of the desktop, behind small interfaces so
// that tests can answer a dialog, count message boxes and beeps or stop the
// clock. The program uses the real Qt implementations.
#include <QDateTime>
#include <QImage>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "picture/trash.h"
#include "presentation/server.h"

class QWidget;

namespace tam {

// The application title: error boxes and messages carry it.
inline constexpr char kApplicationTitle[] = "Tamarind 2";

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The picture open dialog (multiple selection, preview). Full byte paths of
  // the chosen files in the dialog's order, or nullopt when cancelled.
  virtual std::optional<std::vector<std::string>> OpenPictures(QWidget* parent, const QString& filter) = 0;
  // The folder dialog: one folder's byte path, or nullopt when cancelled.
  virtual std::optional<std::string> ChooseFolder(QWidget* parent, const QString& title) = 0;
};

// None: a plain message with no icon.
enum class MessageIcon { None, Information, Warning, Critical };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box with one OK button and waits until it is dismissed.
  // detail: a second, smaller line under the text (empty: none).
  virtual void Show(QWidget* parent, const QString& text, const QString& title, MessageIcon icon,
                    const QString& detail = {}) = 0;
};

class Beeper {
 public:
  virtual ~Beeper() = default;
  virtual void Beep() = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual QDateTime Now() = 0;  // local time
};

// What a window receives. A member left empty is filled with the real one.
struct Seams {
  std::shared_ptr<FileDialogs> dialogs;
  std::shared_ptr<MessageBoxes> messages;
  std::shared_ptr<Beeper> beeper;
  std::shared_ptr<Clock> clock;
  // The running program's path, beside which the error log lies; empty: the
  // real one (/proc/self/exe).
  std::string program_path;
  // Where replaced bitmaps go when overwriting, and inserted pictures when
  // asked; empty: the user's real trash.
  std::shared_ptr<Trash> trash;
  // The presentation servers the insert command drives: server while the
  // Impress item is unchecked, office while it is checked. Both empty: the
  // built-in engine with its windows, and LibreOffice Impress when its plug-in
  // loads. A given server alone means there is no office.
  std::shared_ptr<pres::Server> server;
  std::shared_ptr<pres::Server> office;
};

// Fills every empty member of seams with the real implementation.
Seams WithRealSeams(Seams seams);

// The open dialog's preview of a picture file, at most side x side pixels
// for a JPEG or BMP larger than that; a null image for a file that shows
// nothing (no picture, no regular file, too costly to read).
QImage PicturePreview(const std::string& path, int side);

// The byte path of a path shown by a dialog. Qt shows a name that is not
// valid UTF-8 with replacement characters, so a shown path that names nothing
// is looked up again component by component among the raw directory entries.
std::string BytesOfShownPath(const QString& shown);

}  // namespace tam
