#pragma once
// A zip archive being written, over libzip. Entries are stored in the order
// they are added, DEFLATE-compressed, without directory entries or extra
// fields. The data handed to Add must stay alive until Close. The archive is
// written straight into a file descriptor the caller owns (a SafeFileWriter's),
// never into a temporary file of libzip's own. libzip itself lives in a
// module loaded by the first archive written (zip_module.h), so a program
// that never saves one never loads it.
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

struct TamZipArchive;
struct TamZipModule;

namespace tam::pres {

class ZipWriter {
 public:
  // Writes the archive into fd, open for writing and positioned at its start,
  // which must stay open until Close. Throws tam::Error, also when the
  // module cannot be loaded.
  ZipWriter(int fd, std::time_t mtime);
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
  const TamZipModule* module_ = nullptr;
  TamZipArchive* archive_ = nullptr;
  std::time_t mtime_;
};

}  // namespace tam::pres
