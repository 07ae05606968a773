// SPDX-License-Identifier: MIT
#include "presentation/package_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "picture/unique_fd.h"

namespace tam::pres {
namespace {

enum class Kind { NotJudged, Presentation, Foreign };

// The zip records' fields, little-endian.
std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const std::uint8_t* p) { return U16(p) | std::uint32_t{U16(p + 2)} << 16; }
std::uint64_t U64(const std::uint8_t* p) { return U32(p) | std::uint64_t{U32(p + 4)} << 32; }

constexpr std::uint64_t kEndRecord = 22;
constexpr std::uint64_t kLongestComment = 65535;
constexpr std::uint64_t kZip64Locator = 20;
constexpr std::uint64_t kZip64EndRecord = 56;
constexpr std::size_t kDirectoryEntry = 46;
// Far above any presentation's directory (65 535 entries with long names
// take a few MiB), far below what a hostile end record may claim.
constexpr std::uint64_t kLargestDirectory = std::uint64_t{16} << 20;

enum class Read { Done, Short, Failed };

Read ReadAt(int fd, std::uint64_t offset, std::uint8_t* buffer, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::pread(fd, buffer, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Read::Failed;
    if (got == 0) return Read::Short;  // shortened since its size was taken
    buffer += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return Read::Done;
}

struct Directory {
  std::uint64_t offset = 0, size = 0;
};

// Where the central directory lies, as the end record says (or the Zip64
// end record it defers to), checked to lie within the file before the end
// record; nothing when the file does not end as an archive does.
std::optional<Directory> FindDirectory(int fd, std::uint64_t file_size, bool& failed) {
  if (file_size < kEndRecord) return std::nullopt;
  const std::uint64_t tail_start = file_size - std::min(file_size, kEndRecord + kLongestComment);
  std::vector<std::uint8_t> tail(file_size - tail_start);
  if (const Read r = ReadAt(fd, tail_start, tail.data(), tail.size()); r != Read::Done) {
    failed = r == Read::Failed;
    return std::nullopt;
  }
  // The last end record whose comment ends within the file.
  for (std::size_t at = tail.size() - kEndRecord + 1; at-- > 0;) {
    const std::uint8_t* end = tail.data() + at;
    if (std::memcmp(end, "PK\5\6", 4) != 0 || at + kEndRecord + U16(end + 20) > tail.size()) continue;
    std::uint64_t end_at = tail_start + at;
    Directory dir{U32(end + 16), U32(end + 12)};
    // A field at its largest says the Zip64 end record holds the true value.
    if ((dir.offset == 0xFFFFFFFF || dir.size == 0xFFFFFFFF || U16(end + 10) == 0xFFFF) &&
        end_at >= kZip64Locator) {
      std::uint8_t locator[kZip64Locator];
      if (ReadAt(fd, end_at - kZip64Locator, locator, sizeof locator) == Read::Done &&
          std::memcmp(locator, "PK\6\7", 4) == 0) {
        const std::uint64_t record_at = U64(locator + 8);
        if (record_at > end_at - kZip64Locator || end_at - kZip64Locator - record_at < kZip64EndRecord)
          return std::nullopt;
        std::uint8_t record[kZip64EndRecord];
        if (ReadAt(fd, record_at, record, sizeof record) != Read::Done ||
            std::memcmp(record, "PK\6\6", 4) != 0)
          return std::nullopt;
        dir = {U64(record + 48), U64(record + 40)};
        end_at = record_at;
      }
    }
    if (dir.offset > end_at || dir.size > end_at - dir.offset) return std::nullopt;
    return dir;
  }
  return std::nullopt;
}

Kind KindOfPackage(int fd, std::uint64_t file_size) {
  bool failed = false;
  const std::optional<Directory> dir = FindDirectory(fd, file_size, failed);
  if (failed) return Kind::NotJudged;
  if (!dir || dir->size > kLargestDirectory) return Kind::Foreign;
  std::vector<std::uint8_t> entries;
  try {
    entries.resize(static_cast<std::size_t>(dir->size));
  } catch (const std::bad_alloc&) {
    return Kind::NotJudged;
  }
  if (const Read r = ReadAt(fd, dir->offset, entries.data(), entries.size()); r != Read::Done)
    return r == Read::Failed ? Kind::NotJudged : Kind::Foreign;

  // The entries are walked as far as they are well formed; the counts the
  // end records state are not needed and not trusted.
  bool types = false, presentation = false;
  for (std::size_t at = 0; entries.size() - at >= kDirectoryEntry;) {
    const std::uint8_t* entry = entries.data() + at;
    if (std::memcmp(entry, "PK\1\2", 4) != 0) break;
    const std::size_t name_size = U16(entry + 28);
    const std::size_t next = at + kDirectoryEntry + name_size + U16(entry + 30) + U16(entry + 32);
    if (next > entries.size()) break;
    const std::string_view name(reinterpret_cast<const char*>(entry + kDirectoryEntry), name_size);
    types = types || name == "[Content_Types].xml";
    presentation = presentation || name == "ppt/presentation.xml";
    if (types && presentation) return Kind::Presentation;
    at = next;
  }
  return Kind::Foreign;
}

Kind KindOfFile(const std::string& path) {
  // Nothing but a regular file is opened: opening a device may do something.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Kind::NotJudged;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  // A file this user may write but not read (mode 0200) is not shown to be
  // an earlier presentation: it is somebody's, never replaced for good.
  if (!fd) return errno == EACCES ? Kind::Foreign : Kind::NotJudged;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Kind::NotJudged;
  return KindOfPackage(fd.get(), static_cast<std::uint64_t>(st.st_size));
}

}  // namespace

bool IsPresentationFile(const std::string& path) { return KindOfFile(path) == Kind::Presentation; }

bool IsForeignFile(const std::string& path) { return KindOfFile(path) == Kind::Foreign; }

}  // namespace tam::pres
