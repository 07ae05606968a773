// SPDX-License-Identifier: MIT
#include "app/errorlog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "picture/error.h"
#include "picture/path.h"
#include "picture/unique_fd.h"

namespace tam {
namespace {

// How the locale's short time format lays out a time.
struct TimeLayout {
  bool twelve_hour = false;
  bool leading_zero = false;
  QString separator = QStringLiteral(":");
  enum { kNone, kBefore, kAfter } marker = kNone;
  enum { kAsIs, kUpper, kLower } marker_case = kAsIs;
};

bool IsQuote(QChar c) { return c == u'\''; }

TimeLayout ReadTimeLayout(const QString& format) {
  TimeLayout layout;
  int hour_at = -1;
  int marker_at = -1;
  bool hour_is_h = false;
  bool separator_found = false;
  QString pending;  // literal text after the hour field
  bool in_quote = false;
  for (qsizetype i = 0; i < format.size();) {
    const QChar c = format[i];
    if (IsQuote(c)) {
      if (i + 1 < format.size() && IsQuote(format[i + 1])) {
        if (hour_at >= 0 && !separator_found) pending += c;
        i += 2;
        continue;
      }
      in_quote = !in_quote;
      ++i;
      continue;
    }
    if (in_quote || !c.isLetter()) {
      if (hour_at >= 0 && !separator_found) pending += c;
      ++i;
      continue;
    }
    qsizetype run = 1;
    while (i + run < format.size() && format[i + run] == c) ++run;
    if ((c == u'h' || c == u'H') && hour_at < 0) {
      hour_at = static_cast<int>(i);
      hour_is_h = c == u'h';
      layout.leading_zero = run >= 2;
    } else if ((c == u'm') && hour_at >= 0 && !separator_found) {
      if (!pending.isEmpty()) layout.separator = pending;
      separator_found = true;
    } else if (c == u'a' || c == u'A') {
      marker_at = static_cast<int>(i);
      // "AP"/"A": upper case, "ap"/"a": lower case, mixed: the locale's own.
      const bool upper = c == u'A';
      bool mixed = false;
      if (run == 1 && i + 1 < format.size() && (format[i + 1] == u'p' || format[i + 1] == u'P')) {
        mixed = (format[i + 1] == u'P') != upper;
        run = 2;
      }
      layout.marker_case = mixed ? TimeLayout::kAsIs : upper ? TimeLayout::kUpper : TimeLayout::kLower;
    } else if (hour_at >= 0 && !separator_found) {
      pending += format.mid(i, run);
    }
    i += run;
  }
  layout.twelve_hour = hour_is_h && marker_at >= 0;
  if (layout.twelve_hour) layout.marker = marker_at < hour_at ? TimeLayout::kBefore : TimeLayout::kAfter;
  return layout;
}

QString TwoDigits(int n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); }

#ifndef TAM_INSTALL_BINDIR
#define TAM_INSTALL_BINDIR ""
#endif

// The folders of installed programs: their users never own them, and root
// does. /bin and /sbin are links into /usr on current systems, but the kernel
// may name a program there on older ones.
constexpr std::string_view kSystemFolders[] = {"/usr", "/bin", "/sbin", "/opt"};

bool Within(std::string_view folder, std::string_view top) {
  return folder.starts_with(top) && (folder.size() == top.size() || folder[top.size()] == '/');
}

bool OwnedByMe(const struct stat& st) { return st.st_uid == ::geteuid(); }

// $HOME, unless it is somebody else's (root run by sudo with the user's
// $HOME): then this user's own home from the password database.
std::string HomeFolder() {
  const passwd* pw = ::getpwuid(::geteuid());
  if (const char* home = std::getenv("HOME"); home && *home) {
    struct stat st;
    if (::stat(home, &st) != 0 || OwnedByMe(st) || !pw || !pw->pw_dir) return home;
  }
  if (pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

// mkdir -p for the fallback folder; private to the user as state folders are.
void MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw Error("ログフォルダ " + part + " を作成できません: " + SystemReason(errno));
    }
    if (slash == std::string::npos) break;
  }
}

}  // namespace

QString LogTimestamp(const QDateTime& when, const QLocale& locale) {
  QString text = locale.toString(when.date(), QLocale::ShortFormat);
  const QTime time = when.time();
  if (time.hour() == 0 && time.minute() == 0 && time.second() == 0) return text;
  const TimeLayout layout = ReadTimeLayout(locale.timeFormat(QLocale::ShortFormat));
  int hour = time.hour();
  QString marker;
  if (layout.twelve_hour) {
    marker = hour < 12 ? locale.amText() : locale.pmText();
    if (layout.marker_case == TimeLayout::kUpper) marker = marker.toUpper();
    if (layout.marker_case == TimeLayout::kLower) marker = marker.toLower();
    hour = hour % 12 == 0 ? 12 : hour % 12;
  }
  QString clock = layout.leading_zero ? TwoDigits(hour) : QString::number(hour);
  clock += layout.separator + TwoDigits(time.minute()) + layout.separator + TwoDigits(time.second());
  if (layout.marker == TimeLayout::kBefore) clock = marker + u' ' + clock;
  if (layout.marker == TimeLayout::kAfter) clock = clock + u' ' + marker;
  return text + u' ' + clock;
}

std::string LogLine(const QDateTime& when, const QLocale& locale, std::string_view message) {
  std::string line = LogTimestamp(when, locale).toStdString();
  line += ':';
  line += message;
  line += "\r\n";
  return line;
}

QString ErrorBoxText(std::string_view message) {
  std::string text(message);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string RunningProgramPath() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return "tamarind2";
  path.resize(static_cast<std::size_t>(n));
  return path;
}

std::string LogPathFor(std::string_view program_path) { return ChangeFileExt(program_path, ".log"); }

std::string FallbackLogFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // Relative values are to be ignored, as the base directory rules say.
  const std::string base = state && state[0] == '/' ? std::string(state) : HomeFolder() + "/.local/state";
  return base + "/tamarind2";
}

bool LogBesideProgram(const std::string& program_path, const std::string& installed_bin) {
  std::string folder = ExtractFilePath(program_path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) folder = ".";
  for (const std::string_view top : kSystemFolders) {
    if (Within(folder, top)) return false;
  }
  if (!installed_bin.empty()) {
    if (folder == installed_bin) return false;
    char real[PATH_MAX];
    if (::realpath(installed_bin.c_str(), real) && folder == real) return false;
  }
  // A folder of another user's is refused by AppendToFile, as every folder
  // that is not this user's own.
  return true;
}

void AppendToFile(const std::string& path, std::string_view bytes) {
  // Only a regular file takes the log. Opening a FIFO for writing waits for a
  // reader, which would freeze the program on the error it is about to show;
  // a device is no log either. Refused before opening (opening a device may
  // do something itself), and once more on what was opened. A symbolic link
  // is never followed: in a folder somebody else may write, it could lead
  // root's line into any file.
  const auto refuse = [&path](const char* why) {
    throw Error("ログファイル " + path + " を開けません: " + why);
  };
  std::string folder = ExtractFilePath(path);
  if (folder.empty()) folder = ".";
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!dir || ::fstat(dir.get(), &st) != 0) {
    throw Error("ログフォルダ " + folder + " を開けません: " + SystemReason(errno));
  }
  // A folder of another user's takes nothing: root would leave its files
  // among a user's, and a user's line would land where anyone may write.
  if (!OwnedByMe(st)) refuse("フォルダがほかのユーザーのものです");
  const std::string name = ExtractFileName(path);
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
    refuse(S_ISLNK(st.st_mode) ? "シンボリックリンクです" : "通常のファイルではありません");
  }
  UniqueFd fd(::openat(dir.get(), name.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd) {
    const int err = errno;
    if (err == ELOOP) refuse("シンボリックリンクです");
    throw Error("ログファイル " + path + " を開けません: " + SystemReason(err));
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) refuse("通常のファイルではありません");
  if (!OwnedByMe(st)) refuse("ほかのユーザーのファイルです");
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      throw Error("ログファイル " + path + " に書き込めません: " + SystemReason(err));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (fd.close() != 0) throw Error("ログファイル " + path + " を閉じられません: " + SystemReason(errno));
}

ErrorLog::ErrorLog(std::string program_path, Clock& clock, QLocale locale)
    : program_path_(std::move(program_path)), clock_(clock), locale_(std::move(locale)) {}

std::string ErrorLog::Write(std::string_view message) {
  const std::string line = LogLine(clock_.Now(), locale_, message);
  std::string beside_failed;
  if (LogBesideProgram(program_path_, TAM_INSTALL_BINDIR)) {
    const std::string beside = LogPathFor(program_path_);
    try {
      AppendToFile(beside, line);
      return beside;
    } catch (const Error& failed) {
      beside_failed = std::string(failed.what()) + "\n";
    }
  }
  const std::string folder = FallbackLogFolder();
  const std::string fallback = folder + "/tamarind2.log";
  try {
    MakeFolders(folder);
    AppendToFile(fallback, line);
    return fallback;
  } catch (const Error& fallback_failed) {
    throw Error(beside_failed + fallback_failed.what());
  }
}

}  // namespace tam
