// SPDX-License-Identifier: MIT
#pragma once
// An owned POSIX file descriptor, and an owned directory stream, each
// closed when it goes out of scope. Header-only: the Impress plug-in uses
// them too.
#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace tam {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Closes now and reports close()'s own result: 0, or -1 with errno set.
  // Written data can fail only here on some file systems, so writers check it.
  int close() { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }

  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace tam
