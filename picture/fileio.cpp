// SPDX-License-Identifier: MIT
#include "picture/fileio.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "picture/error.h"
#include "picture/fileio_rules.h"
#include "picture/path.h"
#include "picture/unique_fd.h"

namespace tam {

using fileio::CheckReplaceable;
using fileio::CheckWritable;
using fileio::Fail;
using fileio::FailCreate;
using fileio::KeepWhatTheFileWas;
using fileio::ResolveTarget;

namespace {

// A name no other process is likely to pick; O_EXCL settles any clash.
std::string UniqueSuffix() {
  static std::atomic<unsigned long long> counter{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  unsigned long long n =
      counter.fetch_add(0x9e3779b97f4a7c15ULL) ^ static_cast<unsigned long long>(::getpid());
  std::string s;
  for (int i = 0; i < 10; ++i, n /= 36) s += kDigits[n % 36];
  return s;
}

std::string TempName() { return ".tamarind-" + UniqueSuffix() + ".tmp"; }

// An unnamed file gets its name through its /proc/self/fd entry, which
// needs no privilege; without /proc a named temporary file is used instead.
bool CanNameUnnamedFiles() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can;
}

// Named temporary files in flight, for the signal handler: fixed storage and
// lock-free flags, as async-signal-safe code needs. A slot is 2 while its
// name names a temporary file in its folder that must go if the program is
// ended; the writer keeps that folder open until it frees the slot.
struct TempSlot {
  std::atomic<int> state{0};
  int folder = -1;
  char name[NAME_MAX + 1];
};
constexpr int kTempSlots = 8;
TempSlot g_temp_slots[kTempSlots];

int ClaimTempSlot(int folder, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  for (int i = 0; i < kTempSlots; ++i) {
    int expected = 0;
    if (g_temp_slots[i].state.compare_exchange_strong(expected, 1)) {
      g_temp_slots[i].folder = folder;
      name.copy(g_temp_slots[i].name, name.size());
      g_temp_slots[i].name[name.size()] = '\0';
      g_temp_slots[i].state.store(2, std::memory_order_release);
      return i;
    }
  }
  return -1;  // more writes at once than slots: this temp is merely not watched
}

void FreeTempSlot(int& slot) {
  if (slot >= 0) g_temp_slots[slot].state.store(0, std::memory_order_release);
  slot = -1;
}

extern "C" void RemoveTempFilesAndDie(int sig) {
  const int saved = errno;
  for (TempSlot& slot : g_temp_slots) {
    if (slot.state.load(std::memory_order_acquire) == 2) ::unlinkat(slot.folder, slot.name, 0);
  }
  errno = saved;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

UniqueFd OpenFolder(int at, const std::string& folder) {
  return UniqueFd(::openat(at, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

void WriteAll(int fd, std::span<const std::uint8_t> data, const std::string& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fileio::FailWrite(path, errno);
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

SafeFileWriter::SafeFileWriter(const std::string& path, Link link)
    : path_(path), folder_(OpenFolder(AT_FDCWD, ExtractFilePath(path))) {
  if (!folder_) FailCreate(path, errno);
  Begin(link, /*by_name=*/true);
}

SafeFileWriter::SafeFileWriter(int folder, const std::string& path, Link link)
    : path_(path), folder_(OpenFolder(folder, ".")) {
  if (!folder_) FailCreate(path, errno);
  Begin(link, /*by_name=*/false);
}

void SafeFileWriter::Begin(Link link, bool by_name) {
  target_ = link == Link::kFollow ? ResolveTarget(folder_.get(), path_, through_link_) : path_;
  name_ = ExtractFileName(target_);
  if (through_link_) {
    // The link leads into a folder found by its name, now as at Commit.
    folder_ = OpenFolder(AT_FDCWD, ExtractFilePath(target_));
    if (!folder_) FailCreate(path_, errno);
    by_name = true;
  }
  // Held open until the write ends, the folder also stays known to the
  // kernel: a card's file system (FAT, exFAT) numbers a folder afresh each
  // time it is read back in, and one let go meanwhile would seem another.
  struct stat dir;
  if (by_name && ::fstat(folder_.get(), &dir) == 0) folder_seen_ = dir;
  by_name_ = by_name;

  struct stat old;
  named_ = ::fstatat(folder_.get(), name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (link == Link::kReplace && named_ && S_ISLNK(old.st_mode)) {
    replaces_link_ = true;  // the link itself: nothing of it passes to the new file
    // Somebody else's link stays theirs, as their file would.
    if (old.st_uid != ::geteuid() && ::geteuid() != 0)
      Fail("ファイル ", path_, " はほかのユーザーのシンボリックリンクのため、上書きしませんでした。", "");
  } else if (::fstatat(folder_.get(), name_.c_str(), &old, 0) == 0) {
    CheckReplaceable(path_, old);
    CheckWritable(path_, folder_.get(), name_);
    replaces_ = true;
  } else if (errno != ENOENT) {
    FailCreate(path_, errno);
  }

  // A new file is created with 0666 so that the umask (and any default ACL)
  // gives it the permissions any other new file in that folder would get.
  if (CanNameUnnamedFiles()) {
    fd_ = UniqueFd(::openat(folder_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    unnamed_ = static_cast<bool>(fd_);
    // Only a file system without unnamed files falls back to a named one.
    if (!fd_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) FailCreate(path_, errno);
  }
  if (!unnamed_) {
    for (int attempt = 0;; ++attempt) {
      temp_ = TempName();
      fd_ = UniqueFd(::openat(folder_.get(), temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_) break;
      const int err = errno;
      temp_.clear();
      if (err != EEXIST || attempt == 100) FailCreate(path_, err);
    }
    slot_ = ClaimTempSlot(folder_.get(), temp_);
  }

  if (replaces_) {
    try {
      KeepWhatTheFileWas(path_, fileio::AtPath(folder_.get(), name_, target_), fd_.get(), old);
    } catch (...) {
      // A named temporary file must not outlive a writer that was never made.
      RemoveTemp();
      FreeTempSlot(slot_);
      throw;
    }
  }
}

SafeFileWriter::~SafeFileWriter() {
  RemoveTemp();
  FreeTempSlot(slot_);
}

// Removed from the folder it was made in, found through the folder held
// open rather than by its path: a card pulled out (unmounted lazily) or a
// folder renamed meanwhile leaves that path leading nowhere, or elsewhere.
void SafeFileWriter::RemoveTemp() {
  if (temp_.empty()) return;
  ::unlinkat(folder_.get(), temp_.c_str(), 0);
  temp_.clear();
}

void SafeFileWriter::FailWrite(int err) const { fileio::FailWrite(path_, err); }

void SafeFileWriter::ReplaceOnly(const struct stat& seen) { seen_ = seen; }

void SafeFileWriter::Write(std::span<const std::uint8_t> data) { WriteAll(fd_.get(), data, path_); }

// Gives the unnamed file a temporary name beside the target: a link cannot
// replace an existing name, the rename that follows can.
void SafeFileWriter::Name() {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
  for (int attempt = 0;; ++attempt) {
    std::string temp = TempName();
    if (::linkat(AT_FDCWD, proc.c_str(), folder_.get(), temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_ = std::move(temp);
      slot_ = ClaimTempSlot(folder_.get(), temp_);
      return;
    }
    if (errno != EEXIST || attempt == 100) FailCreate(path_, errno);
  }
}

std::string SafeFileWriter::TargetNow() const { return by_name_ ? target_ : PathNow(folder_.get(), target_); }

void SafeFileWriter::Commit(const std::function<void(const std::string& target)>& set_aside) {
  if (!fd_) FailWrite(EBADF);
  if (::fsync(fd_.get()) != 0) FailWrite(errno);
  // A folder found by its name must still be found by it: one renamed away
  // while the content was written, another perhaps made under its name, is
  // not where the file that was there went, and nothing is named in either.
  // A folder no longer found at all (a card pulled out) says why.
  if (by_name_) {
    const std::string folder = ExtractFilePath(target_);
    struct stat now;
    if (::stat(folder.empty() ? "." : folder.c_str(), &now) != 0) FailCreate(path_, errno);
    if (!folder_seen_ || now.st_dev != folder_seen_->st_dev || now.st_ino != folder_seen_->st_ino) {
      throw Error("ファイル " + path_ + " のフォルダーが書き込みの間に移動したため、書き込みませんでした。");
    }
  }
  if (unnamed_) Name();
  if (fd_.close() != 0) FailWrite(errno);
  // The name may have been given to something else while the content was
  // written; that is neither set aside nor replaced.
  struct stat now;
  const bool named_now = ::fstatat(folder_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
  if (named_now && !S_ISLNK(now.st_mode)) CheckReplaceable(path_, now);
  // A file made under a name that was free when the write began is
  // somebody's new work: it stays.
  if (named_now && !named_) {
    throw Error("ファイル " + path_ + " は書き込みの間にほかで作られたため、上書きしませんでした。");
  }
  if (seen_ && !StillAsSeen(folder_.get(), name_, *seen_)) {
    throw Error("ファイル " + path_ + " は読み込んだ後に変更されたため、上書きしませんでした。");
  }
  if ((replaces_ || replaces_link_) && set_aside) set_aside(TargetNow());
  if (::renameat(folder_.get(), temp_.c_str(), folder_.get(), name_.c_str()) != 0) FailCreate(path_, errno);
  temp_.clear();
  FreeTempSlot(slot_);

  // Makes the rename itself durable; a failure here loses nothing now.
  UniqueFd dir(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

void WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data) {
  SafeFileWriter writer(path);
  writer.Write(data);
  writer.Commit();
}

void RemoveTempFilesOnSignals() {
  struct sigaction action = {};
  action.sa_handler = RemoveTempFilesAndDie;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    // A signal the caller ignores (nohup) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
  // Past the file size limit a write fails (EFBIG) and is reported as any
  // failed write is, rather than the signal ending the program with its
  // other files and unsaved work.
  ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace tam
