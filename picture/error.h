#pragma once
// Errors carry the message the user sees, in Japanese, ready for the error box.
#include <stdexcept>
#include <string>

namespace tam {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Floating-point faults of the reduction ("0 による浮動小数点数除算" and
// "不正な浮動小数点数演算命令") are errors of their own kind.
class FloatError : public Error {
 public:
  using Error::Error;
};

// The system's reason for a failed call, as strerror(errno) says it.
std::string SystemReason(int err);

}  // namespace tam
