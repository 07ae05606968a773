// SPDX-License-Identifier: MIT
#pragma once
// A picture stored as PNG (libpng): 24-bit RGB, a palette picture expanded.
#include <cstdint>
#include <vector>

#include "picture/picture.h"

namespace tam::pres {

// Throws tam::Error for an empty picture or when libpng fails.
std::vector<std::uint8_t> EncodePng(const Picture& picture);

}  // namespace tam::pres
