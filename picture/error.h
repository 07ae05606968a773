// SPDX-License-Identifier: MIT
#pragma once
// Errors carry the message the user sees, in Japanese, ready for the error box.
#include <memory>
#include <stdexcept>
#include <string>

namespace tam {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;

  // The file the error came from (a path as bytes), where whoever knows it
  // adds it on the way out; empty otherwise. The message stays as it is.
  std::string file() const { return file_ ? *file_ : std::string(); }
  void set_file(const std::string& path) { file_ = std::make_shared<const std::string>(path); }

 private:
  std::shared_ptr<const std::string> file_;  // shared: copying an error never throws
};

// Notes on an error on its way out the file it came from, unless one is
// noted already; never throws (short of memory, the error stays as it was).
inline void NoteFile(Error& error, const std::string& path) noexcept {
  try {
    if (error.file().empty()) error.set_file(path);
  } catch (...) {
  }
}

// Floating-point faults of the reduction ("0 による浮動小数点数除算" and
// "不正な浮動小数点数演算命令") are errors of their own kind.
class FloatError : public Error {
 public:
  using Error::Error;
};

// The system's reason for a failed call: in Japanese for the errno values
// of file work (errno_text.h), as strerror(errno) says it for any other.
std::string SystemReason(int err);

// The user-facing text of a caught error: its message, or for the C++
// runtime's own errors (out of memory) a Japanese one in place of its text.
std::string ErrorText(const std::exception& error);

}  // namespace tam
