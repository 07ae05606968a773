#pragma once
// A picture as a slide stores it and the saved package holds it: its encoded
// bytes, kept unchanged, and its size.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tam::pres {

// A file whose bytes are a picture's, read again only when the package is
// written, with what they were when the picture was placed: a file that is
// gone or changed by then fails the save instead of storing something else.
struct MediaFile {
  std::string path;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;  // CRC-32 of the bytes, as zip computes it
};

struct Media {
  enum class Format { Png, Jpeg };
  Format format = Format::Png;
  std::vector<std::uint8_t> bytes;  // held in memory, unless they are read from file
  std::optional<MediaFile> file;
  int width = 0, height = 0;  // pixels
  std::uint64_t size() const { return file ? file->size : bytes.size(); }
};

// CRC-32 of bytes, the checksum a zip entry carries; crc is that of the bytes
// before them, to go on in pieces.
std::uint32_t MediaCrc(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace tam::pres
