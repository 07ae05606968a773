// SPDX-License-Identifier: MIT
// libFuzzer target for the BMP reader: any input must decode or fail with
// tam::Error, never crash, hang, read out of bounds or take more memory than
// the budget of picture/limits.h (a run-length file of a few bytes may claim
// gigabytes; the reader itself must refuse it).
#include <cstddef>
#include <cstdint>
#include <span>

#include "picture/bmp.h"
#include "picture/error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    tam::Picture picture = tam::DecodeBmp(std::span<const std::uint8_t>(data, size));
    picture.ToBgr24();
  } catch (const tam::Error&) {
  }
  return 0;
}
