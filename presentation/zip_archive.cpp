#include "presentation/zip_archive.h"

#include <zip.h>

#include <utility>

#include "picture/error.h"

namespace tam::pres {

ZipWriter::ZipWriter(const std::string& path, std::time_t mtime) : mtime_(mtime) {
  int code = 0;
  archive_ = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive_) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw Error(reason);
  }
}

ZipWriter::~ZipWriter() {
  if (archive_) zip_discard(archive_);
}

ZipWriter::ZipWriter(ZipWriter&& other) noexcept
    : archive_(std::exchange(other.archive_, nullptr)), mtime_(other.mtime_) {}

ZipWriter& ZipWriter::operator=(ZipWriter&& other) noexcept {
  if (this != &other) {
    if (archive_) zip_discard(archive_);
    archive_ = std::exchange(other.archive_, nullptr);
    mtime_ = other.mtime_;
  }
  return *this;
}

void ZipWriter::Fail() const { throw Error(zip_strerror(archive_)); }

void ZipWriter::Add(const std::string& name, std::span<const std::uint8_t> data, int level) {
  zip_source_t* source = zip_source_buffer(archive_, data.data(), data.size(), 0);
  if (!source) Fail();
  zip_int64_t index = zip_file_add(archive_, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(source);
    Fail();
  }
  auto i = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(archive_, i, ZIP_CM_DEFLATE, static_cast<zip_uint32_t>(level)) < 0) Fail();
  if (zip_file_set_mtime(archive_, i, mtime_, 0) < 0) Fail();
}

void ZipWriter::Add(const std::string& name, const std::string& text, int level) {
  Add(name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), level);
}

void ZipWriter::Close() {
  if (zip_close(archive_) < 0) Fail();
  archive_ = nullptr;
}

}  // namespace tam::pres
