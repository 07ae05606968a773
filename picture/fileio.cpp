#include "picture/fileio.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "picture/error.h"
#include "picture/path.h"
#include "picture/unique_fd.h"

namespace tam {
namespace {

[[noreturn]] void Fail(const char* before, const std::string& path, const char* after,
                       const std::string& reason) {
  throw Error(std::string(before) + path + after + reason);
}
[[noreturn]] void Fail(const char* before, const std::string& path, const char* after, int err) {
  Fail(before, path, after, SystemReason(err));
}

[[noreturn]] void FailOpen(const std::string& path, int err) {
  Fail("ファイル ", path, " を開けません。", err);
}
[[noreturn]] void FailRead(const std::string& path, int err) {
  Fail("ファイル ", path, " を読み込めません。", err);
}
[[noreturn]] void FailCreate(const std::string& path, int err) {
  Fail("ファイル ", path, " を作成できません。", err);
}
[[noreturn]] void FailWrite(const std::string& path, int err) {
  Fail("ファイル ", path, " に書き込めません。", err);
}

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

std::string TempName(const std::string& folder) { return folder + ".tamarind-" + UniqueSuffix() + ".tmp"; }

// The file a write to `path` should replace: a symbolic link stays a link
// and the file it points to is replaced. A link that points nowhere is
// replaced itself; a loop fails as an open would.
//
// Only a link made by this user or by the owner of its folder is followed,
// the rule the kernel's protected_symlinks applies in shared folders such as
// /tmp, here in every folder: the rename below would not meet that rule, and
// anyone else who can leave a link under the output name (a_x.jpg ->
// /etc/passwd) would choose which of our files is replaced.
std::string ResolveTarget(const std::string& path, bool& followed) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  if (st.st_uid != ::geteuid()) {
    const std::string folder = ExtractFilePath(path);
    struct stat dir;
    if (::stat(folder.empty() ? "." : folder.c_str(), &dir) != 0 || dir.st_uid != st.st_uid) {
      Fail("ファイル ", path, " を作成できません。", "ほかのユーザーが作ったシンボリックリンクです");
    }
  }
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) {
    if (errno == ENOENT) return path;
    FailCreate(path, errno);
  }
  std::string resolved(real);
  std::free(real);
  followed = true;
  return resolved;
}

// Refuses what an in-place write would refuse: a file that this user may
// not write (mode, read-only mount, immutable flag). Root passes, as it
// would in place.
void CheckWritable(const std::string& path, const std::string& target) {
  // Opened without O_TRUNC: nothing about the file changes.
  UniqueFd probe(::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!probe) FailCreate(path, errno);
}

// Only a regular file is ever replaced. A FIFO, a socket or a device node
// (perhaps behind a link such as a_x.jpg -> /dev/zero) is no earlier
// result: renaming over it would put a file where the system keeps a device,
// which with root's rights breaks the machine for every other program.
void CheckReplaceable(const std::string& path, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) FailCreate(path, EISDIR);
  if (!S_ISREG(st.st_mode)) Fail("ファイル ", path, " を作成できません。", "通常のファイルではありません");
}

// One extended attribute of a file; nullopt with errno set when it has none
// or it cannot be read.
std::optional<std::vector<char>> Attribute(const std::string& file, const char* name) {
  std::vector<char> value(256);
  for (;;) {
    const ssize_t n = ::getxattr(file.c_str(), name, value.data(), value.size());
    if (n >= 0) {
      value.resize(static_cast<std::size_t>(n));
      return value;
    }
    if (errno != ERANGE) return std::nullopt;
    const ssize_t size = ::getxattr(file.c_str(), name, nullptr, 0);
    if (size < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(size) + 1);
  }
}

// The access list of the replaced file, if it has one. Its group bits are
// the list's mask: the mode alone would hand them to the owning group and
// shut out the users the list names. Not copied, the file is not replaced.
// A file without one has none after (a new file may inherit one).
void CopyAccessList(const std::string& path, const std::string& from, int to) {
  static constexpr char kName[] = "system.posix_acl_access";
  const auto list = Attribute(from, kName);
  if (!list && errno == EOPNOTSUPP) return;
  if (!list && errno == ENODATA) {
    // Mode bits only: nor does the new file keep what the folder's
    // default list gave it, users the old file never let in. Asked only
    // where it has one: on a card, whose every file shows the mount's
    // owner, a user who is not that owner may remove nothing, even nothing.
    if (::fgetxattr(to, kName, nullptr, 0) < 0 && (errno == ENODATA || errno == EOPNOTSUPP)) return;
    if (::fremovexattr(to, kName) != 0 && errno != ENODATA && errno != EOPNOTSUPP) FailCreate(path, errno);
    return;
  }
  if (!list || ::fsetxattr(to, kName, list->data(), list->size(), 0) != 0) FailCreate(path, errno);
}

// The user's own attributes of the replaced file (user.*: a file manager's
// tags, ratings and comments), which an in-place write would keep. Not
// copied, the file is not replaced.
void CopyUserAttributes(const std::string& path, const std::string& from, int to) {
  std::vector<char> names(1024);
  ssize_t n;
  while ((n = ::listxattr(from.c_str(), names.data(), names.size())) < 0) {
    if (errno == EOPNOTSUPP) return;
    if (errno != ERANGE) FailCreate(path, errno);
    const ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
    if (size < 0) FailCreate(path, errno);
    names.resize(static_cast<std::size_t>(size) + 1);
  }
  for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    if (std::strncmp(name, "user.", 5) != 0) continue;
    const auto value = Attribute(from, name);
    if (!value && errno == ENODATA) continue;  // removed meanwhile
    if (!value || ::fsetxattr(to, name, value->data(), value->size(), 0) != 0) FailCreate(path, errno);
  }
}

// An unnamed file gets its name through its /proc/self/fd entry, which
// needs no privilege; without /proc a named temporary file is used instead.
bool CanNameUnnamedFiles() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can;
}

// Named temporary files in flight, for the signal handler: fixed storage and
// lock-free flags, as async-signal-safe code needs. A slot is 2 while its
// path names a temporary file that must go if the program is ended.
struct TempSlot {
  std::atomic<int> state{0};
  char path[PATH_MAX];
};
constexpr int kTempSlots = 8;
TempSlot g_temp_slots[kTempSlots];

int ClaimTempSlot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kTempSlots; ++i) {
    int expected = 0;
    if (g_temp_slots[i].state.compare_exchange_strong(expected, 1)) {
      path.copy(g_temp_slots[i].path, path.size());
      g_temp_slots[i].path[path.size()] = '\0';
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
    if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
  }
  errno = saved;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void WriteAll(int fd, std::span<const std::uint8_t> data, const std::string& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailWrite(path, errno);
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

bool StillAsSeen(const std::string& path, const struct stat& seen) {
  struct stat now;
  return ::stat(path.c_str(), &now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino &&
         now.st_size == seen.st_size && now.st_mtim.tv_sec == seen.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::int64_t largest) {
  // Only a regular file has an end known in advance: a FIFO would wait for a
  // writer for ever and a device such as /dev/zero never ends. Such a file is
  // refused before it is opened (opening a device may itself do something),
  // and once more on what was opened, in case the name changed in between.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) FailOpen(path, errno);
  if (S_ISDIR(st.st_mode)) FailOpen(path, EISDIR);
  if (!S_ISREG(st.st_mode)) Fail("ファイル ", path, " を開けません。", "通常のファイルではありません");
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) FailOpen(path, errno);
  if (::fstat(fd.get(), &st) != 0) FailOpen(path, errno);
  if (S_ISDIR(st.st_mode)) FailOpen(path, EISDIR);
  if (!S_ISREG(st.st_mode)) Fail("ファイル ", path, " を開けません。", "通常のファイルではありません");
  if (st.st_size > largest) {
    constexpr std::int64_t kMiB = std::int64_t{1} << 20;
    Fail("ファイル ", path, " を読み込めません。",
         "ファイルが大きすぎます (" + std::to_string((st.st_size + kMiB - 1) / kMiB) + " MiB、上限 " +
             std::to_string(largest / kMiB) + " MiB)");
  }

  // Exactly the size the file had when opened: bytes that a writer appends
  // meanwhile are not read, and a file that shrinks is an error.
  std::vector<std::uint8_t> data;
  try {
    data.resize(static_cast<std::size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    FailRead(path, ENOMEM);
  }
  std::size_t used = 0;
  while (used < data.size()) {
    const ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailRead(path, errno);
    }
    if (n == 0) Fail("ファイル ", path, " を読み込めません。", "読み込み中にファイルが短くなりました");
    used += static_cast<std::size_t>(n);
  }
  return data;
}

SafeFileWriter::SafeFileWriter(const std::string& path, Link link)
    : path_(path), target_(link == Link::kFollow ? ResolveTarget(path, through_link_) : path) {
  struct stat old;
  named_ = ::lstat(target_.c_str(), &old) == 0;
  if (link == Link::kReplace && ::lstat(path.c_str(), &old) == 0 && S_ISLNK(old.st_mode)) {
    replaces_link_ = true;  // the link itself: nothing of it passes to the new file
    // Somebody else's link stays theirs, as their file would.
    if (old.st_uid != ::geteuid() && ::geteuid() != 0)
      Fail("ファイル ", path, " はほかのユーザーのシンボリックリンクのため、上書きしませんでした。", "");
  } else if (::stat(target_.c_str(), &old) == 0) {
    CheckReplaceable(path, old);
    CheckWritable(path, target_);
    replaces_ = true;
  } else if (errno != ENOENT) {
    FailCreate(path, errno);
  }

  // A new file is created with 0666 so that the umask (and any default ACL)
  // gives it the permissions any other new file in that folder would get.
  folder_ = ExtractFilePath(target_);
  const char* folder = folder_.empty() ? "." : folder_.c_str();
  // Held open until the write ends: a card's file system (FAT, exFAT) numbers
  // a folder afresh each time the kernel reads it back in, and one let go
  // meanwhile would seem another folder at Commit.
  folder_held_ = UniqueFd(::open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat dir;
  if (folder_held_ ? ::fstat(folder_held_.get(), &dir) == 0 : ::stat(folder, &dir) == 0) folder_seen_ = dir;
  if (CanNameUnnamedFiles()) {
    fd_ = UniqueFd(::open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    unnamed_ = static_cast<bool>(fd_);
    // Only a file system without unnamed files falls back to a named one.
    if (!fd_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) FailCreate(path, errno);
  }
  if (!unnamed_) {
    for (int attempt = 0;; ++attempt) {
      temp_ = TempName(folder_);
      // Made in the folder held open, the one RemoveTemp removes it from.
      fd_ = UniqueFd(folder_held_ ? ::openat(folder_held_.get(), ExtractFileName(temp_).c_str(),
                                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)
                                  : ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_) break;
      const int err = errno;
      temp_.clear();
      if (err != EEXIST || attempt == 100) FailCreate(path, err);
    }
    slot_ = ClaimTempSlot(temp_);
  }

  if (replaces_) {
    try {
      KeepWhatTheFileWas(path, old);
    } catch (...) {
      // A named temporary file must not outlive a writer that was never made.
      RemoveTemp();
      FreeTempSlot(slot_);
      throw;
    }
  }
}

// Gives the new file what the replaced one had, or refuses the write.
void SafeFileWriter::KeepWhatTheFileWas(const std::string& path, const struct stat& old) {
  // Owner first: changing it may clear set-id bits that the mode restores.
  // The new file's own owner and group are what count: a set-group-ID
  // folder gives it the folder's group, which would read a 0640 photo.
  struct stat made;
  if (::fstat(fd_.get(), &made) != 0) FailCreate(path, errno);
  if ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
      ::fchown(fd_.get(), old.st_uid, old.st_gid) != 0) {
    const int err = errno;
    // Only the system's administrator may give a file away. Somebody else's
    // file in a folder we share would become ours, its owner perhaps shut
    // out of it, and the original would sit in our trash. Written in place
    // it would keep its owner, but a failed write would then lose it.
    if (made.st_uid != old.st_uid)
      Fail("ファイル ", path, " はほかのユーザーのファイルのため、上書きしませんでした。",
           "置き換えると持ち主が変わります");
    // Our own file in a group we are not in (restored by the administrator,
    // say) takes our group, as long as that changes nobody's access: its
    // group may do what everyone may. Otherwise the group's members would
    // lose what the group gave them, or ours what everyone had.
    if (((old.st_mode >> 3) & 7) != (old.st_mode & 7))
      Fail("ファイル ", path, " のグループを新しいファイルに付けられないため、上書きしませんでした。",
           SystemReason(err));
  }
  // Attributes while the new file is still writable to us (a 0066 file
  // made ours would not be), the access list after the mode it masks.
  CopyUserAttributes(path, target_, fd_.get());
  // Not asked where nothing changes (the mode as it is now: a change of
  // owner may have cleared set-id bits): a file system that cannot change
  // modes may refuse even that.
  if (::fstat(fd_.get(), &made) != 0) FailCreate(path, errno);
  if ((made.st_mode & 07777) != (old.st_mode & 07777) && ::fchmod(fd_.get(), old.st_mode & 07777) != 0)
    FailCreate(path, errno);
  CopyAccessList(path, target_, fd_.get());
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
  if (folder_held_) {
    ::unlinkat(folder_held_.get(), ExtractFileName(temp_).c_str(), 0);
  } else {
    ::unlink(temp_.c_str());
  }
  temp_.clear();
}

void SafeFileWriter::FailWrite(int err) const { tam::FailWrite(path_, err); }

void SafeFileWriter::ReplaceOnly(const struct stat& seen) { seen_ = seen; }

void SafeFileWriter::Write(std::span<const std::uint8_t> data) { WriteAll(fd_.get(), data, path_); }

// Gives the unnamed file a temporary name beside the target: a link cannot
// replace an existing name, the rename that follows can.
void SafeFileWriter::Name() {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
  for (int attempt = 0;; ++attempt) {
    std::string temp = TempName(folder_);
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_ = std::move(temp);
      slot_ = ClaimTempSlot(temp_);
      return;
    }
    if (errno != EEXIST || attempt == 100) FailCreate(path_, errno);
  }
}

void SafeFileWriter::Commit(const std::function<void(const std::string& target)>& set_aside) {
  if (!fd_) FailWrite(EBADF);
  if (::fsync(fd_.get()) != 0) FailWrite(errno);
  // The folder is found by its name: one renamed away while the content was
  // written, another perhaps made under its name, is not where the file
  // that was there went, and nothing is named in either.
  // A folder no longer found at all (a card pulled out) says why.
  struct stat folder_now;
  if (::stat(folder_.empty() ? "." : folder_.c_str(), &folder_now) != 0) FailCreate(path_, errno);
  if (!folder_seen_ || folder_now.st_dev != folder_seen_->st_dev ||
      folder_now.st_ino != folder_seen_->st_ino) {
    throw Error("ファイル " + path_ + " のフォルダーが書き込みの間に移動したため、書き込みませんでした。");
  }
  if (unnamed_) Name();
  if (fd_.close() != 0) FailWrite(errno);
  // The name may have been given to something else while the content was
  // written; that is neither set aside nor replaced.
  struct stat now;
  const bool named_now = ::lstat(target_.c_str(), &now) == 0;
  if (named_now && !S_ISLNK(now.st_mode)) CheckReplaceable(path_, now);
  // A file made under a name that was free when the write began is
  // somebody's new work (or the name now leads into another folder, one
  // put where ours was renamed away): it stays.
  if (named_now && !named_) {
    throw Error("ファイル " + path_ + " は書き込みの間にほかで作られたため、上書きしませんでした。");
  }
  if (seen_ && !StillAsSeen(target_, *seen_)) {
    throw Error("ファイル " + path_ + " は読み込んだ後に変更されたため、上書きしませんでした。");
  }
  if ((replaces_ || replaces_link_) && set_aside) set_aside(target_);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) FailCreate(path_, errno);
  temp_.clear();
  FreeTempSlot(slot_);

  // Makes the rename itself durable; a failure here loses nothing now.
  UniqueFd dir(::open(folder_.empty() ? "." : folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
