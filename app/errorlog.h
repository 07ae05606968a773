#pragma once
// The log of errors that no command handled: one line per error, appended to
// a text file beside the program, and the text of the error box.
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
// goes when the program's own folder cannot take it.
std::string FallbackLogFolder();

// Appends bytes to the file at path, creating it when missing. Throws
// tam::Error naming the file and the system's reason.
void AppendToFile(const std::string& path, std::string_view bytes);

class ErrorLog {
 public:
  ErrorLog(std::string program_path, Clock& clock, QLocale locale = QLocale::system());

  // Appends the line for message beside the program or, failing that, in the
  // fallback folder, and returns the file written. Throws tam::Error when
  // neither takes it.
  std::string Write(std::string_view message);

  const std::string& program_path() const { return program_path_; }

 private:
  std::string program_path_;
  Clock& clock_;
  QLocale locale_;
};

}  // namespace tam
