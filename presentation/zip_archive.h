#pragma once
// A zip archive being written, over libzip. Entries are stored in the order
// they are added, DEFLATE-compressed, without directory entries or extra
// fields. The data handed to Add must stay alive until Close.
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

struct zip;

namespace tam::pres {

class ZipWriter {
 public:
  // Creates (or truncates) the archive file at path. Throws tam::Error.
  ZipWriter(const std::string& path, std::time_t mtime);
  ~ZipWriter();  // discards an archive not closed
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  ZipWriter(ZipWriter&& other) noexcept;
  ZipWriter& operator=(ZipWriter&& other) noexcept;

  // level 1 (fast) to 9 (small); 0 lets libzip choose.
  void Add(const std::string& name, std::span<const std::uint8_t> data, int level = 0);
  void Add(const std::string& name, const std::string& text, int level = 0);
  // Writes the archive. Throws tam::Error with libzip's reason.
  void Close();

 private:
  [[noreturn]] void Fail() const;
  zip* archive_ = nullptr;
  std::time_t mtime_;
};

}  // namespace tam::pres
