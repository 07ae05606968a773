#include "picture/error.h"

#include <cstring>

namespace tam {

std::string SystemReason(int err) {
  char buf[256];
  // GNU strerror_r returns the message, which may or may not live in buf.
  return ::strerror_r(err, buf, sizeof buf);
}

}  // namespace tam
