#pragma once
// A picture as a slide stores it and the saved package holds it: its encoded
// bytes, kept unchanged, and its size.
#include <cstdint>
#include <vector>

namespace tam::pres {

struct Media {
  enum class Format { Png, Jpeg };
  Format format = Format::Png;
  std::vector<std::uint8_t> bytes;
  int width = 0, height = 0;  // pixels
};

}  // namespace tam::pres
