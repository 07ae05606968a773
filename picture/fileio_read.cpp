// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <string>
#include <vector>

#include "picture/error.h"
#include "picture/fileio.h"
#include "picture/fileio_rules.h"
#include "picture/path.h"
#include "picture/unique_fd.h"

namespace tam {

using fileio::Fail;
using fileio::FailOpen;
using fileio::FailRead;

namespace {

bool StillAsSeenAt(int at, const char* name, const struct stat& seen) {
  struct stat now;
  return ::fstatat(at, name, &now, 0) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino &&
         now.st_size == seen.st_size && now.st_mtim.tv_sec == seen.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec;
}

// Reads `name` relative to `at`; `path` names it in messages.
std::vector<std::uint8_t> ReadAt(int at, const char* name, const std::string& path, std::int64_t largest) {
  // Only a regular file has an end known in advance: a FIFO would wait for a
  // writer for ever and a device such as /dev/zero never ends. Such a file is
  // refused before it is opened (opening a device may itself do something),
  // and once more on what was opened, in case the name changed in between.
  struct stat st;
  if (::fstatat(at, name, &st, 0) != 0) FailOpen(path, errno);
  if (S_ISDIR(st.st_mode)) FailOpen(path, EISDIR);
  if (!S_ISREG(st.st_mode)) Fail("ファイル ", path, " を開けません。", "通常のファイルではありません");
  UniqueFd fd(::openat(at, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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

}  // namespace

bool StillAsSeen(const std::string& path, const struct stat& seen) {
  return StillAsSeenAt(AT_FDCWD, path.c_str(), seen);
}

bool StillAsSeen(int folder, const std::string& name, const struct stat& seen) {
  return StillAsSeenAt(folder, name.c_str(), seen);
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::int64_t largest) {
  return ReadAt(AT_FDCWD, path.c_str(), path, largest);
}

std::vector<std::uint8_t> ReadWholeFile(int folder, const std::string& path, std::int64_t largest) {
  return ReadAt(folder, ExtractFileName(path).c_str(), path, largest);
}

std::string PathNow(int folder, const std::string& path) {
  const std::string by_name = ExtractFilePath(path);
  struct stat named, held;
  if (::fstat(folder, &held) != 0 || (::stat(by_name.empty() ? "." : by_name.c_str(), &named) == 0 &&
                                      named.st_dev == held.st_dev && named.st_ino == held.st_ino))
    return path;
  char place[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(folder)).c_str(), place, sizeof place);
  if (n <= 0 || n == sizeof place || place[0] != '/') return path;  // nothing better known
  const std::string now(place, static_cast<std::size_t>(n));
  return (now == "/" ? "" : now) + "/" + ExtractFileName(path);
}

}  // namespace tam
