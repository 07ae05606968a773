#include "picture/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

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

// A temporary file beside the target that is removed unless it was renamed
// into place.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

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

// The file a write to `path` should replace: a symbolic link stays a link
// and the file it points to is replaced.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string resolved(real);
  std::free(real);
  return resolved;
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

void WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data) {
  const std::string target = ResolveTarget(path);
  struct stat old;
  const bool replaces = ::stat(target.c_str(), &old) == 0;
  if (replaces && S_ISDIR(old.st_mode)) FailCreate(path, EISDIR);

  // A new file is created with 0666 so that the umask (and any default ACL)
  // gives it the permissions any other new file in that folder would get.
  const std::string folder = ExtractFilePath(target);
  UniqueFd fd;
  std::string temp_path;
  for (int attempt = 0;; ++attempt) {
    temp_path = folder + ".tamarind-" + UniqueSuffix() + ".tmp";
    fd = UniqueFd(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) break;
    if (errno != EEXIST || attempt == 100) FailCreate(path, errno);
  }
  TempFile temp(temp_path);

  if (replaces) {
    // Owner first: changing it may clear set-id bits that the mode restores.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      [[maybe_unused]] int ignored = ::fchown(fd.get(), old.st_uid, old.st_gid);
    }
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) FailCreate(path, errno);
  }
  WriteAll(fd.get(), data, path);
  if (::fsync(fd.get()) != 0) FailWrite(path, errno);
  if (fd.close() != 0) FailWrite(path, errno);
  if (::rename(temp.path().c_str(), target.c_str()) != 0) FailCreate(path, errno);
  temp.Release();

  // Makes the rename itself durable; a failure here loses nothing now.
  UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

}  // namespace tam
