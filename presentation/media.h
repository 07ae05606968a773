// SPDX-License-Identifier: MIT
#pragma once
// A picture as a slide stores it and the saved package holds it: its encoded
// bytes, kept unchanged, and its size.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "picture/error.h"
#include "picture/unique_fd.h"

namespace tam::pres {

// A file whose bytes are a picture's, read again only when the package is
// written, with what they were when the picture was placed: a file that is
// gone or changed by then fails the save instead of storing something else.
struct MediaFile {
  std::string path;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;  // CRC-32 of the bytes, as zip computes it
};

// An unnamed file of the program's own that keeps placed pictures' bytes
// until the presentation is saved, so that a presentation of many slides
// does not hold them all in memory. Nobody else can open it; it is gone
// when the last picture kept in it is.
class MediaStore {
 public:
  // A store in the first of `folders` where an unnamed file can be made;
  // nullptr when there is none.
  static std::shared_ptr<MediaStore> Open(const std::vector<std::string>& folders);
  // The folders to try for a store: $TMPDIR when set, then /var/tmp (on
  // disk, where /tmp may be memory), then /tmp.
  static std::vector<std::string> Folders();

  // Appends bytes and returns where they start; nullopt (and the store
  // as it was) when they cannot all be written, a full disk say.
  std::optional<std::uint64_t> Append(std::span<const std::uint8_t> bytes);
  // Reads up to n bytes at offset; throws tam::Error on a read error.
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const;

 private:
  explicit MediaStore(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
  std::uint64_t end_ = 0;
};

// Bytes kept in a MediaStore, with their checksum for the save to check.
struct StoredBytes {
  std::shared_ptr<MediaStore> store;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

struct Media {
  enum class Format { Png, Jpeg };
  Format format = Format::Png;
  std::vector<std::uint8_t> bytes;  // held in memory, unless read from a file or a store
  std::optional<MediaFile> file;
  std::optional<StoredBytes> stored;
  int width = 0, height = 0;  // pixels
  std::uint64_t size() const { return file ? file->size : stored ? stored->size : bytes.size(); }
};

// The error for bytes a store gives back other than they went in.
Error StoreDamage();

// The picture's bytes where the program holds them, in memory or in a
// store (read back and checked); empty for bytes read from their own file
// only when saved. Throws tam::Error when the store fails them.
std::vector<std::uint8_t> HeldBytes(const Media& media);

// The same picture with its bytes in the store, when they are held in
// memory and the store takes them; otherwise the picture as it is.
std::shared_ptr<const Media> KeptIn(const std::shared_ptr<MediaStore>& store,
                                    const std::shared_ptr<const Media>& media);

// CRC-32 of bytes, the checksum a zip entry carries; crc is that of the bytes
// before them, to go on in pieces.
std::uint32_t MediaCrc(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace tam::pres
