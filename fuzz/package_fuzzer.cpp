// SPDX-License-Identifier: MIT
// libFuzzer target for the check that tells an earlier presentation from
// somebody's file at a save name: any bytes must be judged one way or the
// other without a crash, a read out of bounds, a hang or an allocation the
// file's own size does not justify. The bytes are put in a memory file,
// since the check reads a file by its name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "presentation/package_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("package", MFD_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const bool presentation = tam::pres::IsPresentationFile(path);
  const bool foreign = tam::pres::IsForeignFile(path);
  ::close(fd);
  if (presentation && foreign) __builtin_trap();  // judged both ways at once
  return 0;
}
