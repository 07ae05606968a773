// SPDX-License-Identifier: MIT
#pragma once
// A zip archive being written, over libzip. Entries are stored in the order
// they are added, DEFLATE-compressed, without directory entries or extra
// fields. The data handed to Add must stay alive until Close; an entry added
// as a ZipInput is read only while the archive is written. The archive is
// written straight into a file descriptor the caller owns (a SafeFileWriter's),
// never into a temporary file of libzip's own.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>

using zip_t = struct zip;
using zip_source_t = struct zip_source;

namespace tam::pres {

// An entry's bytes produced only when the archive is written, so that they
// need not be held until then. Open, Read and Close throw tam::Error; the
// first such error is the one Close of the archive reports.
class ZipInput {
 public:
  virtual ~ZipInput() = default;
  // Exactly the number of bytes Read gives in all.
  virtual std::uint64_t size() const = 0;
  virtual void Open() = 0;
  // Up to n bytes into buffer; 0 at the end.
  virtual std::size_t Read(std::uint8_t* buffer, std::size_t n) = 0;
  virtual void Close() = 0;
};

class ZipWriter {
 public:
  // Writes the archive into fd, open for writing and positioned at its start,
  // which must stay open until Close. Throws tam::Error.
  ZipWriter(int fd, std::time_t mtime);
  ~ZipWriter();  // discards an archive not closed
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  ZipWriter(ZipWriter&& other) noexcept;
  ZipWriter& operator=(ZipWriter&& other) noexcept;

  // level 1 (fast) to 9 (small); 0 lets libzip choose.
  void Add(const std::string& name, std::span<const std::uint8_t> data, int level = 0);
  void Add(const std::string& name, const std::string& text, int level = 0);
  void Add(const std::string& name, std::unique_ptr<ZipInput> input, int level = 0);
  // Writes the archive. Throws tam::Error with libzip's reason.
  void Close();

  // Where libzip's callbacks write; its own place, so that they find it
  // after the writer has moved.
  struct Sink;

 private:
  struct Discard {
    void operator()(zip_t* za) const noexcept;
  };
  void AddSource(const std::string& name, zip_source_t* source, int level);

  std::unique_ptr<Sink> sink_;
  std::unique_ptr<zip_t, Discard> zip_;  // after sink_: discarded before it goes
  std::time_t mtime_;
};

}  // namespace tam::pres
