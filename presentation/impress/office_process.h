// SPDX-License-Identifier: MIT
#pragma once
// The office's process seen from outside, without UNO: how this program
// starts it, watches and stops it, finds who listens on its pipe, and tidies
// what a save cut short leaves beside the file.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#pragma GCC visibility push(default)
#include "picture/errno_text.h"
#include "picture/error.h"
#include "picture/unique_fd.h"
#include "presentation/impress_loader.h"
#pragma GCC visibility pop

namespace tam::pres::impress {

// A file URL for a byte path: every byte that is not plainly safe is escaped,
// so names that are not UTF-8 reach the office unchanged.
std::string FileUrl(const std::string& path);

// The office asks to be started again (after creating a new profile).
constexpr int kRestartExitCode = 81;

bool Headless(const ImpressOptions& options);

// A file without a name that takes what a starting office writes on stderr:
// a pipe would break (and end the office) once this program is gone, and the
// office usually outlives it. Its space is freed when both have closed it.
class ScratchFile {
 public:
  ScratchFile() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      std::string name = folder + "/tamarind2-office-XXXXXX";
      fd_ = ::mkostemp(name.data(), O_APPEND | O_CLOEXEC);
      if (fd_ >= 0) ::unlink(name.c_str());
    }
  }
  ~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  int fd() const { return fd_; }

  // The last bytes written, on one line: the office's reason comes last.
  std::string Tail() const {
    constexpr off_t kMost = 2000;
    struct stat st = {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size <= 0) return {};
    const off_t from = std::max<off_t>(0, st.st_size - kMost);
    std::string bytes(static_cast<size_t>(st.st_size - from), '\0');
    const ssize_t n = ::pread(fd_, bytes.data(), bytes.size(), from);
    if (n <= 0) return {};
    bytes.resize(static_cast<size_t>(n));
    size_t start = 0;
    if (from > 0)  // begin on a whole character
      while (start < bytes.size() && (static_cast<unsigned char>(bytes[start]) & 0xC0) == 0x80) ++start;
    std::string line;
    for (size_t i = start; i < bytes.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c < 0x20 || c == 0x7F) {
        if (!line.empty() && line.back() != ' ') line += ' ';
      } else {
        line += static_cast<char>(c);
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
  }

 private:
  int fd_ = -1;
};

// stderr_fd: where the office's stderr goes; /dev/null when negative.
pid_t StartOffice(const ImpressOptions& options, int stderr_fd);

// Stops an office we started that never answered, with whatever it started
// in its session, and collects it. It gets two seconds to go by itself
// (leaving its profile tidy), then is killed.
void StopOffice(pid_t pid);

// An office this program started that went on running after it answered.
// A thread of its own collects it whenever it ends; until then its process
// group may be signalled, and never after, when its number may be somebody
// else's.
class StartedOffice {
 public:
  static std::shared_ptr<StartedOffice> Watch(pid_t pid) {
    auto office = std::shared_ptr<StartedOffice>(new StartedOffice(pid));
    std::thread([office] {
      siginfo_t info{};
      while (::waitid(P_PID, static_cast<id_t>(office->pid_), &info, WEXITED | WNOWAIT) != 0 &&
             errno == EINTR) {
      }
      std::lock_guard lock(office->mutex_);
      ::waitpid(office->pid_, nullptr, 0);
      office->collected_ = true;
      office->ended_.notify_all();
    }).detach();
    return office;
  }

  // Whether it ended within the time given.
  bool WaitEnded(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, time, [this] { return collected_; });
  }

  // Ends an office that no longer answers, with whatever it started: it gets
  // two seconds to go by itself (a stopped one is woken for that), then is killed.
  void Stop() {
    using namespace std::chrono_literals;
    std::unique_lock lock(mutex_);
    if (collected_) return;
    ::kill(-pid_, SIGTERM);
    ::kill(-pid_, SIGCONT);
    if (ended_.wait_for(lock, 2s, [this] { return collected_; })) return;
    ::kill(-pid_, SIGKILL);
    ended_.wait_for(lock, 2s, [this] { return collected_; });
  }

 private:
  explicit StartedOffice(pid_t pid) : pid_(pid) {}
  const pid_t pid_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool collected_ = false;
};

// How many connections the office listening on the pipe has accepted (a
// client's end carries no path), or -1 when that cannot be read.
int PipeConnections(const std::string& pipe_name);

// The process listening on the pipe, among those of this user that may be
// looked into; 0 when none is found.
pid_t PipeListener(const std::string& pipe_name);

// Whether a process was started as an office without a display.
bool RunsHeadless(pid_t pid);

// What an office's save leaves beside the file while it writes: its lock
// file, and its temporary file, named from the office's process id, which
// becomes the file at the end. A save cut short by the office's end leaves
// both behind in the user's folder; those that were not there before are
// removed then. Another office's files are never named alike.
class SaveLeftovers {
 public:
  SaveLeftovers(const std::string& path, pid_t office) : office_(office) {
    const size_t slash = path.rfind('/');
    folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    lock_ = folder_ + "/.~lock." + path.substr(slash == std::string::npos ? 0 : slash + 1) + "#";
    struct stat st = {};
    lock_was_there_ = ::lstat(lock_.c_str(), &st) == 0;
    if (office_ > 0) temps_before_ = Temps();
  }

  // Once the office is gone: nothing of it writes there any more.
  void RemoveIfGone() const {
    if (office_ <= 0 || !Gone(office_)) return;
    if (!lock_was_there_) ::unlink(lock_.c_str());
    for (const std::string& name : Temps())
      if (std::find(temps_before_.begin(), temps_before_.end(), name) == temps_before_.end())
        ::unlink((folder_ + "/" + name).c_str());
  }

 private:
  // The office's temporary files in the folder: "lu", its process id, a
  // few letters and digits, ".tmp", regular files of this user.
  std::vector<std::string> Temps() const {
    std::vector<std::string> names;
    const std::string prefix = "lu" + std::to_string(office_);
    const tam::UniqueDir dir(::opendir(folder_.c_str()));
    if (!dir) return names;
    while (dirent* e = ::readdir(dir.get())) {
      const std::string name = e->d_name;
      if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
          name.compare(name.size() - 4, 4, ".tmp") != 0 ||
          std::isdigit(static_cast<unsigned char>(name[prefix.size()])))
        continue;
      struct stat st = {};
      if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
          st.st_uid == ::getuid())
        names.push_back(name);
    }
    return names;
  }

  static bool Gone(pid_t pid) {
    // Collected, or dead and not yet collected.
    for (int i = 0; i < 20; ++i) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string line;
      if (!std::getline(stat, line)) return true;
      const auto close = line.rfind(')');
      if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  pid_t office_;
  std::string folder_, lock_;
  bool lock_was_there_ = false;
  std::vector<std::string> temps_before_;
};

// How long an office already listening on the pipe has to answer a new
// connection. One that is running answers within a second or two; one that
// does not within this is stopped or stuck, and waiting the full call limit
// for it would hold up every run.
constexpr int kAnswerLimitMs = 10000;

}  // namespace tam::pres::impress
