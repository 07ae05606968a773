// SPDX-License-Identifier: MIT
#include "presentation/media.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "picture/error.h"

namespace tam::pres {

std::uint32_t MediaCrc(const std::uint8_t* data, std::size_t size, std::uint32_t start) {
  uLong crc = start;
  while (size > 0) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return static_cast<std::uint32_t>(crc);
}

std::shared_ptr<MediaStore> MediaStore::Open(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd) return std::shared_ptr<MediaStore>(new MediaStore(std::move(fd)));
  }
  return nullptr;
}

std::vector<std::string> MediaStore::Folders() {
  // A $TMPDIR that cannot take the store (missing, read-only, a file
  // system without unnamed files) leaves the pictures to the next folder,
  // not to memory: a batch of thousands of them would not fit there.
  std::vector<std::string> folders;
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir && *tmpdir) folders.emplace_back(tmpdir);
  for (const char* folder : {"/var/tmp", "/tmp"}) {
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.emplace_back(folder);
  }
  return folders;
}

std::optional<std::uint64_t> MediaStore::Append(std::span<const std::uint8_t> bytes) {
  std::uint64_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd_.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(end_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // What was written stays unused; the next append writes over it.
      return std::nullopt;
    }
    done += static_cast<std::uint64_t>(n);
  }
  const std::uint64_t start = end_;
  end_ += bytes.size();
  return start;
}

std::size_t MediaStore::ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const {
  for (;;) {
    const ssize_t got = ::pread(fd_.get(), buffer, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw Error("スライドの写真を一時ファイルから読み込めません。" + SystemReason(errno));
  }
}

Error StoreDamage() { return Error("スライドの写真が一時ファイルの中で壊れました"); }

std::vector<std::uint8_t> HeldBytes(const Media& media) {
  if (!media.stored) return media.bytes;
  const StoredBytes& s = *media.stored;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(s.size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t got = s.store->ReadAt(s.offset + done, bytes.data() + done, bytes.size() - done);
    if (got == 0) break;
    done += got;
  }
  if (done != bytes.size() || MediaCrc(bytes.data(), bytes.size()) != s.crc) throw StoreDamage();
  return bytes;
}

std::shared_ptr<const Media> KeptIn(const std::shared_ptr<MediaStore>& store,
                                    const std::shared_ptr<const Media>& media) {
  if (!store || !media || media->file || media->stored || media->bytes.empty()) return media;
  const std::optional<std::uint64_t> offset = store->Append(media->bytes);
  if (!offset) return media;  // kept in memory after all
  auto kept = std::make_shared<Media>();
  kept->format = media->format;
  kept->width = media->width;
  kept->height = media->height;
  // Each picture holds the store: it outlives them all.
  kept->stored =
      StoredBytes{store, *offset, media->bytes.size(), MediaCrc(media->bytes.data(), media->bytes.size())};
  return kept;
}

}  // namespace tam::pres
