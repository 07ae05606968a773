// SPDX-License-Identifier: MIT
#include "presentation/zip_archive.h"

#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "picture/errno_text.h"
#include "picture/error.h"

namespace tam::pres {

struct ZipWriter::Sink {
  int fd;
  zip_error_t error;  // what libzip reports when a write fails
  // What the first input that failed said.
  std::string input_failure;

  explicit Sink(int descriptor) : fd(descriptor) { zip_error_init(&error); }
  ~Sink() { zip_error_fini(&error); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
};

void ZipWriter::Discard::operator()(zip_t* za) const noexcept { zip_discard(za); }

namespace {

// A libzip error of our own: freed however the scope is left.
struct ZipError {
  zip_error_t error;
  ZipError() { zip_error_init(&error); }
  ~ZipError() { zip_error_fini(&error); }
  ZipError(const ZipError&) = delete;
  ZipError& operator=(const ZipError&) = delete;
};

struct SourceFree {
  void operator()(zip_source_t* source) const noexcept { zip_source_free(source); }
};
using UniqueSource = std::unique_ptr<zip_source_t, SourceFree>;

zip_int64_t Failed(zip_error_t& error, int code, int err) {
  zip_error_set(&error, code, err);
  return -1;
}

// What a failure of libzip's kind code is, in the user's words; null for a
// kind left to libzip's own text.
const char* KindText(int code) {
  switch (code) {
    case ZIP_ER_WRITE:
      return "書き込みエラー";
    case ZIP_ER_READ:
      return "読み込みエラー";
    case ZIP_ER_SEEK:
      return "シークエラー";
    case ZIP_ER_TELL:
      return "ファイル位置を得られません";
    case ZIP_ER_OPEN:
      return "ファイルを開けません";
    case ZIP_ER_CLOSE:
      return "ファイルを閉じられません";
    case ZIP_ER_RENAME:
      return "一時ファイルの名前を変えられません";
    case ZIP_ER_TMPOPEN:
      return "一時ファイルを作れません";
    case ZIP_ER_REMOVE:
      return "ファイルを削除できません";
    case ZIP_ER_MEMORY:
      return "メモリが不足しています";
    default:
      return nullptr;
  }
}

// The user's reason for error: the kind of failure and, when the system gave
// one, its errno's text; libzip's own text for the rest.
[[noreturn]] void Throw(zip_error_t* error) {
  const int code = zip_error_code_zip(error);
  const char* kind = KindText(code);
  if (!kind) throw Error(zip_error_strerror(error));
  const int err = zip_error_system_type(error) == ZIP_ET_SYS ? zip_error_code_system(error) : 0;
  if (err == 0 || code == ZIP_ER_MEMORY) throw Error(kind);
  char buffer[256];
  const char* detail = ErrnoText(err);
  // GNU strerror_r returns the message, which may or may not live in buffer.
  if (!detail) detail = ::strerror_r(err, buffer, sizeof buffer);
  throw Error(std::string(kind) + ": " + detail);
}

[[noreturn]] void Throw(zip_t* za) { Throw(zip_get_error(za)); }

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
// libzip owns it through its source and frees it with ZIP_SOURCE_FREE.
// Nothing is thrown back into libzip: an input's failure is kept for Close.
struct InputSource {
  std::unique_ptr<ZipInput> input;
  std::time_t mtime;
  std::string* failure;
  ZipError error;

  void Note(const char* what) noexcept {
    try {
      if (failure->empty()) *failure = what;
    } catch (...) {
      // Out of memory: the failure is still reported, without its reason.
    }
  }
  template <class F>
  zip_int64_t Guard(F f) noexcept {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      Note("メモリが不足しています");
    } catch (const std::exception& e) {
      Note(e.what());
    }
    return Failed(error.error, ZIP_ER_READ, 0);
  }
};

zip_int64_t InputCallback(void* user, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* source = static_cast<InputSource*>(user);
  switch (command) {
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    case ZIP_SOURCE_STAT: {
      // What a buffer of the same bytes states, so the archive is the same.
      auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error.error);
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
      return zip_error_to_data(&source->error.error, data, length);
    case ZIP_SOURCE_OPEN:
      return source->Guard([&] {
        source->input->Open();
        return zip_int64_t{0};
      });
    case ZIP_SOURCE_READ:
      return source->Guard([&] {
        return static_cast<zip_int64_t>(source->input->Read(static_cast<std::uint8_t*>(data), length));
      });
    case ZIP_SOURCE_CLOSE:
      source->Guard([&] {
        source->input->Close();
        return zip_int64_t{0};
      });
      return 0;
    case ZIP_SOURCE_FREE:
      delete source;
      return 0;
    default:
      return Failed(source->error.error, ZIP_ER_OPNOTSUPP, 0);
  }
}

}  // namespace

ZipWriter::ZipWriter(int fd, std::time_t mtime) : sink_(std::make_unique<Sink>(fd)), mtime_(mtime) {
  ZipError error;
  UniqueSource source(zip_source_function_create(SinkCallback, sink_.get(), &error.error));
  if (!source) Throw(&error.error);
  zip_.reset(zip_open_from_source(source.get(), ZIP_CREATE | ZIP_TRUNCATE, &error.error));
  if (!zip_) Throw(&error.error);
  static_cast<void>(source.release());  // the archive's now
}

ZipWriter::~ZipWriter() = default;
ZipWriter::ZipWriter(ZipWriter&& other) noexcept = default;
ZipWriter& ZipWriter::operator=(ZipWriter&& other) noexcept = default;

void ZipWriter::AddSource(const std::string& name, zip_source_t* source, int level) {
  UniqueSource owned(source);
  zip_t* za = zip_.get();
  const zip_int64_t index = zip_file_add(za, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  if (index < 0) Throw(za);
  static_cast<void>(owned.release());  // the archive's now
  const auto i = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(za, i, ZIP_CM_DEFLATE, static_cast<zip_uint32_t>(level)) < 0 ||
      zip_file_set_mtime(za, i, mtime_, 0) < 0) {
    Throw(za);
  }
}

void ZipWriter::Add(const std::string& name, std::span<const std::uint8_t> data, int level) {
  zip_source_t* source = zip_source_buffer(zip_.get(), data.data(), data.size(), 0);
  if (!source) Throw(zip_.get());
  AddSource(name, source, level);
}

void ZipWriter::Add(const std::string& name, const std::string& text, int level) {
  Add(name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), level);
}

void ZipWriter::Add(const std::string& name, std::unique_ptr<ZipInput> input, int level) {
  std::unique_ptr<InputSource> state(new InputSource{std::move(input), mtime_, &sink_->input_failure, {}});
  ZipError error;
  zip_source_t* source = zip_source_function_create(InputCallback, state.get(), &error.error);
  if (!source) Throw(&error.error);
  static_cast<void>(state.release());  // the source frees it
  AddSource(name, source, level);
}

void ZipWriter::Close() {
  if (zip_close(zip_.get()) < 0) {
    if (!sink_->input_failure.empty()) throw Error(sink_->input_failure);
    Throw(zip_.get());
  }
  static_cast<void>(zip_.release());  // zip_close freed it
}

}  // namespace tam::pres
