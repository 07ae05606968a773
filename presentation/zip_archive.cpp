#include "presentation/zip_archive.h"

#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <new>
#include <utility>

#include "picture/error.h"

namespace tam::pres {

struct ZipWriter::Sink {
  int fd = -1;
  zip_error_t error;
  std::string input_failure;  // what the first input that failed said
};

namespace {

zip_int64_t Failed(zip_error_t& error, int code, int err) {
  zip_error_set(&error, code, err);
  return -1;
}

// libzip's view of the descriptor: a new archive that is only ever written.
// It writes each entry's header, its data, then seeks back to complete the
// header, the same calls it makes on a file of its own, so the bytes are the
// same. Committing is the caller's business (the file is named by its writer).
zip_int64_t SinkCallback(void* user, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto& sink = *static_cast<ZipWriter::Sink*>(user);
  switch (command) {
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_WRITABLE;
    case ZIP_SOURCE_STAT: {
      // An empty file: there is no earlier archive to read.
      auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &sink.error);
      if (!st) return -1;
      zip_stat_init(st);
      st->valid |= ZIP_STAT_SIZE;
      st->size = 0;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&sink.error, data, length);
    case ZIP_SOURCE_READ:
      return 0;
    case ZIP_SOURCE_WRITE: {
      const auto* bytes = static_cast<const char*>(data);
      zip_uint64_t done = 0;
      while (done < length) {
        const ssize_t n = ::write(sink.fd, bytes + done, length - done);
        if (n < 0) {
          if (errno == EINTR) continue;
          return Failed(sink.error, ZIP_ER_WRITE, errno);
        }
        done += static_cast<zip_uint64_t>(n);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &sink.error);
      if (!args) return -1;
      if (::lseek(sink.fd, static_cast<off_t>(args->offset), args->whence) < 0) {
        return Failed(sink.error, ZIP_ER_SEEK, errno);
      }
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      const off_t at = ::lseek(sink.fd, 0, SEEK_CUR);
      if (at < 0) return Failed(sink.error, ZIP_ER_TELL, errno);
      return static_cast<zip_int64_t>(at);
    }
    case ZIP_SOURCE_SEEK:
    case ZIP_SOURCE_TELL:
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_BEGIN_WRITE:
    case ZIP_SOURCE_COMMIT_WRITE:
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
    case ZIP_SOURCE_FREE:
      return 0;
    default:
      return Failed(sink.error, ZIP_ER_OPNOTSUPP, 0);
  }
}

// An entry whose bytes come from a ZipInput while the archive is written.
struct InputSource {
  std::unique_ptr<ZipInput> input;
  ZipWriter::Sink* sink;
  std::time_t mtime;
  zip_error_t error;
};

zip_int64_t InputCallback(void* user, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* source = static_cast<InputSource*>(user);
  // The input's words go to the writer; libzip only learns that reading failed.
  auto failed = [&](const char* what) -> zip_int64_t {
    if (source->sink->input_failure.empty()) source->sink->input_failure = what;
    return Failed(source->error, ZIP_ER_READ, 0);
  };
  try {
    switch (command) {
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
      case ZIP_SOURCE_STAT: {
        // What a buffer of the same bytes states, so the archive is the same.
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error);
        if (!st) return -1;
        zip_stat_init(st);
        st->valid |= ZIP_STAT_MTIME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                     ZIP_STAT_ENCRYPTION_METHOD;
        st->mtime = source->mtime;
        st->size = st->comp_size = source->input->size();
        st->comp_method = ZIP_CM_STORE;
        st->encryption_method = ZIP_EM_NONE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&source->error, data, length);
      case ZIP_SOURCE_OPEN:
        source->input->Open();
        return 0;
      case ZIP_SOURCE_READ:
        return static_cast<zip_int64_t>(source->input->Read(static_cast<std::uint8_t*>(data), length));
      case ZIP_SOURCE_CLOSE:
        source->input->Close();
        return 0;
      case ZIP_SOURCE_FREE:
        zip_error_fini(&source->error);
        delete source;
        return 0;
      default:
        return Failed(source->error, ZIP_ER_OPNOTSUPP, 0);
    }
  } catch (const std::bad_alloc&) {
    return failed("メモリが不足しています");
  } catch (const std::exception& e) {
    return failed(e.what());
  }
}

[[noreturn]] void ThrowZipError(zip_error_t& error) {
  std::string reason = zip_error_strerror(&error);
  zip_error_fini(&error);
  throw Error(reason);
}

}  // namespace

ZipWriter::ZipWriter(int fd, std::time_t mtime) : sink_(std::make_unique<Sink>()), mtime_(mtime) {
  sink_->fd = fd;
  zip_error_init(&sink_->error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(SinkCallback, sink_.get(), &error);
  if (!source) ThrowZipError(error);
  archive_ = zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive_) {
    zip_source_free(source);
    ThrowZipError(error);
  }
  zip_error_fini(&error);
}

ZipWriter::~ZipWriter() {
  if (archive_) zip_discard(archive_);
  if (sink_) zip_error_fini(&sink_->error);
}

ZipWriter::ZipWriter(ZipWriter&& other) noexcept
    : sink_(std::move(other.sink_)), archive_(std::exchange(other.archive_, nullptr)), mtime_(other.mtime_) {}

ZipWriter& ZipWriter::operator=(ZipWriter&& other) noexcept {
  if (this != &other) {
    if (archive_) zip_discard(archive_);
    if (sink_) zip_error_fini(&sink_->error);
    sink_ = std::move(other.sink_);
    archive_ = std::exchange(other.archive_, nullptr);
    mtime_ = other.mtime_;
  }
  return *this;
}

void ZipWriter::Fail() const { throw Error(zip_strerror(archive_)); }

void ZipWriter::Add(const std::string& name, std::span<const std::uint8_t> data, int level) {
  zip_source_t* source = zip_source_buffer(archive_, data.data(), data.size(), 0);
  if (!source) Fail();
  Added(source, name, level);
}

void ZipWriter::Add(const std::string& name, std::unique_ptr<ZipInput> input, int level) {
  auto* state = new InputSource{std::move(input), sink_.get(), mtime_, {}};
  zip_error_init(&state->error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(InputCallback, state, &error);
  if (!source) {
    zip_error_fini(&state->error);
    delete state;
    ThrowZipError(error);
  }
  zip_error_fini(&error);
  Added(source, name, level);  // the source owns state from here on
}

void ZipWriter::Added(zip_source_t* source, const std::string& name, int level) {
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
  if (zip_close(archive_) < 0) {
    if (!sink_->input_failure.empty()) throw Error(sink_->input_failure);
    Fail();
  }
  archive_ = nullptr;
}

}  // namespace tam::pres
