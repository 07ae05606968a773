// SPDX-License-Identifier: MIT
#pragma once
// The log of errors that no command handled: one line per error, appended to
// a text file beside the program (or, for an installed program, in the
// user's state folder), and the text of the error box.
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <string>
#include <string_view>

#include "app/seams.h"

namespace tam {

// Date in the locale's short format, then, unless the time is exactly
// midnight, a blank and hours:minutes:seconds laid out as the locale's short
// time format says (separator, leading zero, 12- or 24-hour clock and where
// the AM/PM marker stands). "2007/05/12 9:05:07" in Japanese.
QString LogTimestamp(const QDateTime& when, const QLocale& locale);

// timestamp + ":" + message + CR LF; the message's bytes are kept unchanged.
std::string LogLine(const QDateTime& when, const QLocale& locale, std::string_view message);

// The error box text: a full stop is added when the message's last byte sorts
// above "." (so after any letter, digit or multi-byte character).
QString ErrorBoxText(std::string_view message);

// The running program's path as the kernel reports it (/proc/self/exe).
std::string RunningProgramPath();

// The program path with its extension replaced by ".log" (appended when none).
std::string LogPathFor(std::string_view program_path);

// $XDG_STATE_HOME/tamarind2 (default ~/.local/state/tamarind2): where the log
// goes when the program's own folder is not the place for it or cannot take it.
// A home folder of somebody else (root run with a user's $HOME) is passed over
// for the user's own, so nothing of root's lands among that user's files.
std::string FallbackLogFolder();

// Whether the log may go beside the program at program_path: not for an
// installed program (in /usr, /bin, /sbin, /opt or `installed_bin`, this
// build's install folder for programs), even when run by root, who may write
// there. A folder that is not the user's own is refused by AppendToFile.
bool LogBesideProgram(const std::string& program_path, const std::string& installed_bin);

// Appends bytes to the file at path, creating it (mode 0644) when missing.
// Only a regular file of this user's own, in a folder of this user's own,
// takes the bytes: a symbolic link at path is never followed, and a FIFO or
// device is refused without waiting. Throws tam::Error naming the file and
// the system's reason.
void AppendToFile(const std::string& path, std::string_view bytes);

class ErrorLog {
 public:
  ErrorLog(std::string program_path, Clock& clock, QLocale locale = QLocale::system());

  // Appends the line for message beside the program when the log belongs
  // there (LogBesideProgram) and that file takes it, otherwise in the
  // fallback folder, made private to the user when missing. Returns the file
  // written. Throws tam::Error when none takes it.
  std::string Write(std::string_view message);

  const std::string& program_path() const { return program_path_; }

 private:
  std::string program_path_;
  Clock& clock_;
  QLocale locale_;
};

}  // namespace tam
