// SPDX-License-Identifier: MIT
#include "picture/fileio_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "picture/error.h"
#include "picture/path.h"
#include "picture/unique_fd.h"

namespace tam::fileio {
namespace {

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

}  // namespace

void Fail(const char* before, const std::string& path, const char* after, const std::string& reason) {
  throw Error(std::string(before) + path + after + reason);
}
void Fail(const char* before, const std::string& path, const char* after, int err) {
  Fail(before, path, after, SystemReason(err));
}

void FailOpen(const std::string& path, int err) { Fail("ファイル ", path, " を開けません。", err); }
void FailRead(const std::string& path, int err) { Fail("ファイル ", path, " を読み込めません。", err); }
void FailCreate(const std::string& path, int err) { Fail("ファイル ", path, " を作成できません。", err); }
void FailWrite(const std::string& path, int err) { Fail("ファイル ", path, " に書き込めません。", err); }

std::string AtPath(int folder, const std::string& name, const std::string& otherwise) {
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  return proc ? "/proc/self/fd/" + std::to_string(folder) + "/" + name : otherwise;
}

// The file a write to `path` should replace: a symbolic link stays a link
// and the file it points to is replaced. A link that points nowhere is
// replaced itself; a loop fails as an open would.
//
// Only a link made by this user or by the owner of its folder is followed,
// the rule the kernel's protected_symlinks applies in shared folders such as
// /tmp, here in every folder: the rename below would not meet that rule, and
// anyone else who can leave a link under the output name (a_x.jpg ->
// /etc/passwd) would choose which of our files is replaced.
std::string ResolveTarget(int folder, const std::string& path, bool& followed) {
  const std::string name = ExtractFileName(path);
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return path;
  if (st.st_uid != ::geteuid()) {
    struct stat dir;
    if (::fstat(folder, &dir) != 0 || dir.st_uid != st.st_uid) {
      Fail("ファイル ", path, " を作成できません。", "ほかのユーザーが作ったシンボリックリンクです");
    }
  }
  char* real = ::realpath(AtPath(folder, name, path).c_str(), nullptr);
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
void CheckWritable(const std::string& path, int folder, const std::string& name) {
  // Opened without O_TRUNC: nothing about the file changes.
  UniqueFd probe(::openat(folder, name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

// Gives the new file what the replaced one had, or refuses the write.
void KeepWhatTheFileWas(const std::string& path, const std::string& target, int fd, const struct stat& old) {
  // Owner first: changing it may clear set-id bits that the mode restores.
  // The new file's own owner and group are what count: a set-group-ID
  // folder gives it the folder's group, which would read a 0640 photo.
  struct stat made;
  if (::fstat(fd, &made) != 0) FailCreate(path, errno);
  if ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
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
  CopyUserAttributes(path, target, fd);
  // Not asked where nothing changes (the mode as it is now: a change of
  // owner may have cleared set-id bits): a file system that cannot change
  // modes may refuse even that.
  if (::fstat(fd, &made) != 0) FailCreate(path, errno);
  if ((made.st_mode & 07777) != (old.st_mode & 07777) && ::fchmod(fd, old.st_mode & 07777) != 0)
    FailCreate(path, errno);
  CopyAccessList(path, target, fd);
}

}  // namespace tam::fileio
