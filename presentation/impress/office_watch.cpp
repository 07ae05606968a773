// SPDX-License-Identifier: MIT
#include "presentation/impress/office_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#pragma GCC visibility push(default)
#include "picture/errno_text.h"
#include "picture/error.h"
#pragma GCC visibility pop

namespace tam::pres::impress {

namespace {

// Everything below up to OfficeWatch runs in the forked watch, a copy of a
// process with many threads: only calls that are safe there (plain system
// calls), and no memory but what is here already.

constexpr int kMostOffices = 16;
constexpr int kMostFolders = 8;
struct Watched {
  pid_t pid;
  unsigned long long start;
};
Watched g_offices[kMostOffices];
int g_office_count = 0;
char g_folders[kMostFolders][PATH_MAX];
char g_input[2 * PATH_MAX + 64];

// The record kinds sent over the pipe: a kind byte, its text, a NUL.
constexpr char kOffice = 'O', kFolder = 'F', kForgetFolder = 'f', kMark = 'M';
// The argument that marks an office of this program's.
char g_mark[PATH_MAX + 64];

void Sleep(long ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

char* PutNumber(char* at, unsigned long long n) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  while (count) *at++ = digits[--count];
  return at;
}

unsigned long long ReadNumber(const char*& at) {
  unsigned long long n = 0;
  while (*at >= '0' && *at <= '9') n = n * 10 + static_cast<unsigned>(*at++ - '0');
  return n;
}

void Take(char kind, const char* text) {
  if (kind == kMark) {
    std::strncpy(g_mark, text, sizeof g_mark - 1);
    return;
  }
  if (kind == kOffice) {
    const char* at = text;
    const auto pid = static_cast<pid_t>(ReadNumber(at));
    if (*at == ' ') ++at;
    const unsigned long long start = ReadNumber(at);
    if (pid > 0 && start > 0 && g_office_count < kMostOffices) g_offices[g_office_count++] = {pid, start};
    return;
  }
  for (auto& folder : g_folders) {
    if (kind == kFolder && folder[0] == '\0') {
      std::strncpy(folder, text, PATH_MAX - 1);
      return;
    }
    if (kind == kForgetFolder && std::strcmp(folder, text) == 0) folder[0] = '\0';
  }
}

bool Running(const Watched& office) { return ProcessStartTime(office.pid) == office.start; }

bool AnyRunning() {
  for (int i = 0; i < g_office_count; ++i)
    if (Running(g_offices[i])) return true;
  return false;
}

void SignalOffices(int sig) {
  for (int i = 0; i < g_office_count; ++i)
    if (Running(g_offices[i])) {
      // Its process group, and itself where it leads none.
      ::kill(-g_offices[i].pid, sig);
      ::kill(g_offices[i].pid, sig);
      ::kill(-g_offices[i].pid, SIGCONT);  // a stopped one is woken to go
      ::kill(g_offices[i].pid, SIGCONT);
    }
}

void WaitWhileRunning(long ms) {
  for (long waited = 0; waited < ms && AnyRunning(); waited += 50) Sleep(50);
}

// Removes name in the folder at, with all it holds; links are removed, not followed.
void RemoveTree(int at, const char* name, int depth) {
  if (::unlinkat(at, name, 0) == 0 || depth > 32) return;
  const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  alignas(8) char entries[4096];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, entries, sizeof entries);
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(entries + off);
      off += e->d_reclen;
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      RemoveTree(fd, e->d_name, depth + 1);
    }
  }
  ::close(fd);
  ::unlinkat(at, name, AT_REMOVEDIR);
}

// Adds every process whose arguments hold g_mark to the offices: one
// started just before this program was killed was never named to the watch.
void FindMarked() {
  const size_t mark = std::strlen(g_mark);
  const int proc = mark ? ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  if (proc < 0) return;
  alignas(8) char entries[4096];
  for (long n; (n = ::syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;) {
    for (long off = 0; off < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(entries + off);
      off += e->d_reclen;
      const char* name = e->d_name;
      const auto pid = static_cast<pid_t>(ReadNumber(name));
      if (pid <= 0 || *name != '\0' || g_office_count == kMostOffices) continue;
      char path[48] = "/proc/";
      std::strcpy(PutNumber(path + 6, static_cast<unsigned long long>(pid)), "/cmdline");
      const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      static char args[16384];
      const ssize_t got = ::read(fd, args, sizeof args);
      ::close(fd);
      if (got <= 0 || !::memmem(args, static_cast<size_t>(got), g_mark, mark)) continue;
      bool known = false;
      for (int i = 0; i < g_office_count; ++i) known |= g_offices[i].pid == pid;
      const unsigned long long start = ProcessStartTime(pid);
      if (!known && start) g_offices[g_office_count++] = {pid, start};
    }
  }
  ::close(proc);
}

[[noreturn]] void Watch(int input) {
  size_t held = 0;
  for (;;) {
    const ssize_t n = ::read(input, g_input + held, sizeof g_input - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the program is gone
    held += static_cast<size_t>(n);
    size_t used = 0;
    for (size_t end; (end = used + ::strnlen(g_input + used, held - used)) < held; used = end + 1)
      if (end > used) Take(g_input[used], g_input + used + 1);
    std::memmove(g_input, g_input + used, held - used);
    held -= used;
    if (held == sizeof g_input) held = 0;  // no record is that long
  }
  // Two seconds to go by themselves (an office leaves its profile tidy
  // then), then killed; the folders go once nothing writes there any more.
  FindMarked();
  SignalOffices(SIGTERM);
  WaitWhileRunning(2000);
  SignalOffices(SIGKILL);
  WaitWhileRunning(5000);
  for (auto& folder : g_folders)
    if (folder[0] == '/') RemoveTree(AT_FDCWD, folder, 0);
  ::_exit(0);
}

// Closes every descriptor from 3 up but keep (negative: none).
void CloseAllBut(int keep_a, int keep_b) {
  const int lo = std::min(keep_a, keep_b), hi = std::max(keep_a, keep_b);
  auto close_range = [](unsigned from, unsigned to) {
    if (from > to) return;
    if (::syscall(SYS_close_range, from, to, 0) == 0) return;
    for (unsigned fd = from; fd <= to && fd < 65536; ++fd) ::close(static_cast<int>(fd));
  };
  unsigned from = 3;
  for (int keep : {lo, hi}) {
    if (keep < 3) continue;
    close_range(from, static_cast<unsigned>(keep) - 1);
    from = static_cast<unsigned>(keep) + 1;
  }
  close_range(from, ~0U);
}

}  // namespace

unsigned long long ProcessStartTime(pid_t pid) {
  char path[40] = "/proc/";
  *PutNumber(path + 6, static_cast<unsigned long long>(pid)) = '\0';
  std::strcat(path, "/stat");
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char line[1024];
  const ssize_t n = ::read(fd, line, sizeof line - 1);
  ::close(fd);
  if (n <= 0) return 0;
  line[n] = '\0';
  const char* at = std::strrchr(line, ')');
  if (!at || at[1] != ' ' || at[2] == 'Z' || at[2] == 'X' || at[2] == '\0') return 0;  // gone already
  at += 2;
  // From the state (field 3) on to the start time (field 22).
  for (int field = 3; field < 22; ++field) {
    at = std::strchr(at, ' ');
    if (!at) return 0;
    ++at;
  }
  return ReadNumber(at);
}

OfficeProfile TakeOfficeProfile() {
  OfficeProfile profile;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  std::string folder = cache && cache[0] == '/' ? cache
                       : home && home[0] == '/' ? std::string(home) + "/.cache"
                                                : "";
  if (!folder.empty()) {
    folder += "/tamarind2";
    ::mkdir(folder.substr(0, folder.rfind('/')).c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    constexpr int kSlots = 8;  // runs side by side beyond these get new ones
    for (int slot = 0; slot < kSlots; ++slot) {
      const std::string path = folder + "/impress-profile-" + std::to_string(slot);
      UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
      if (!lock) break;
      if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) continue;
      profile.path = path;
      profile.lock = std::move(lock);
      return profile;
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/tamarind2-impress-XXXXXX";
  if (::mkdtemp(name.data())) {
    profile.path = name;
    profile.is_new = true;
  }
  return profile;
}

OfficeWatch::OfficeWatch(int keep_fd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw Error("LibreOffice を見守るプロセスを起動できません");
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A session of its own: Ctrl-C and a closed terminal do not reach it.
    ::setsid();
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
      ::sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nothing of the program is held open: not its output, which a shell
    // may be waiting on, nor its connections.
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    CloseAllBut(fds[0], keep_fd);
    Watch(fds[0]);
  }
  ::close(fds[0]);
  if (pid < 0) {
    const int err = errno;
    ::close(fds[1]);
    const char* text = tam::ErrnoText(err);
    throw Error(std::string("LibreOffice を見守るプロセスを起動できません: ") +
                (text ? text : std::strerror(err)));
  }
  fd_ = fds[1];
  pid_ = pid;
}

OfficeWatch::~OfficeWatch() {
  ::close(fd_);
  // It works for a few seconds at most, then is collected.
  std::thread([pid = pid_] { ::waitpid(pid, nullptr, 0); }).detach();
}

void OfficeWatch::Send(char kind, const std::string& payload) {
  static std::mutex sending;
  if (payload.size() >= PATH_MAX || payload.find('\0') != std::string::npos) return;
  std::string record(1, kind);
  record += payload;
  record += '\0';
  std::lock_guard lock(sending);
  for (size_t done = 0; done < record.size();) {
    const ssize_t n = ::write(fd_, record.data() + done, record.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the watch is gone: nothing more it can do
    done += static_cast<size_t>(n);
  }
}

void OfficeWatch::Office(pid_t pid) {
  Send(kOffice, std::to_string(pid) + " " + std::to_string(ProcessStartTime(pid)));
}
void OfficeWatch::Mark(const std::string& argument) { Send(kMark, argument); }
void OfficeWatch::Folder(const std::string& path) { Send(kFolder, path); }
void OfficeWatch::ForgetFolder(const std::string& path) { Send(kForgetFolder, path); }

}  // namespace tam::pres::impress
