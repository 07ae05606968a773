// SPDX-License-Identifier: MIT
#pragma once
// Windows BMP reader: a defensive decoder of untrusted files.
#include <cstdint>
#include <span>

#include "picture/picture.h"

namespace tam {

// Decodes a whole BMP file held in memory. An empty file gives a 0 x 0
// picture; 1 to 13 bytes fail with "ストリームからの読み込みエラー"; any other
// invalid or unsupported file with "ビットマップイメージが不正です".
// The result is 24-bit, or 8-bit with a palette for palette files.
Picture DecodeBmp(std::span<const std::uint8_t> file);

}  // namespace tam
