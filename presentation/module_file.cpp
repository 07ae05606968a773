// SPDX-License-Identifier: MIT
#include "presentation/module_file.h"

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "picture/unique_fd.h"

namespace tam::pres {
namespace {

constexpr unsigned char kNativeClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;

bool ReadAt(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

std::string ProgramFolder() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string exe(buf, static_cast<size_t>(n));
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::string ModuleFileProblem(const std::string& path) {
  // Not blocking: a FIFO is only looked at, never waited on.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return {};
  struct stat st = {};
  if (::fstat(fd.get(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode)) return "通常のファイルではありません";
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::string cut = "ファイルが途中で切れています (" + std::to_string(size) + " バイト)";

  ElfW(Ehdr) header;
  if (!ReadAt(fd.get(), &header, sizeof header, 0)) return {};
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kNativeClass ||
      header.e_phentsize != sizeof(ElfW(Phdr))) {
    return {};
  }
  const std::uint64_t table = header.e_phoff;
  const std::uint64_t table_size = std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
  if (table > size || table_size > size - table) return cut;
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!ReadAt(fd.get(), segments.data(), table_size, table)) return cut;
  for (const ElfW(Phdr) & s : segments) {
    if (s.p_type != PT_LOAD) continue;
    if (s.p_offset > size || s.p_filesz > size - s.p_offset) return cut;
  }
  return {};
}

}  // namespace tam::pres
