#pragma once
// Whole-file reads and safe whole-file writes on byte-string paths.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "picture/limits.h"

namespace tam {

// Reads a whole regular file of at most `largest` bytes, exactly as large as
// it was when opened. Anything else (a FIFO, a device, a larger file) is
// refused without waiting. Throws tam::Error naming the file and the reason.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::int64_t largest = kLargestFile);

// Writes data to a temporary file in the target's folder, flushes it, then
// renames it over the target. A replaced file keeps its permission bits. On
// failure the target is untouched and no temporary file is left; throws
// tam::Error naming the file and the system's reason.
void WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data);

}  // namespace tam
