// SPDX-License-Identifier: MIT
#include "picture/error.h"

#include <cstring>
#include <new>

#include "picture/errno_text.h"

namespace tam {

std::string SystemReason(int err) {
  if (const char* text = ErrnoText(err)) return text;
  char buf[256];
  // GNU strerror_r returns the message, which may or may not live in buf.
  return ::strerror_r(err, buf, sizeof buf);
}

std::string ErrorText(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error)) return "メモリが不足しています";
  return error.what();
}

}  // namespace tam
