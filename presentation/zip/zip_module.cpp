// libtam_zip.so: the zip writing of ZipWriter over libzip, loaded by the
// programs only when they save a presentation (see zip_module.h). It needs
// nothing of the C++ runtime (its memory comes from malloc, it throws
// nothing), so it links none: tamarind2-cli, which carries its own copy of
// the runtime, never gets a second one with it.
#include "presentation/zip_module.h"

#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "picture/errno_text.h"

struct TamZipArchive {
  int fd = -1;
  zip_error_t error;  // of the sink: what libzip reports when a write fails
  zip_t* zip = nullptr;
};

namespace {

zip_int64_t Failed(zip_error_t& error, int code, int err) {
  zip_error_set(&error, code, err);
  return -1;
}

// What a failure of libzip's kind code is, in the user's words; null for a
// kind left to libzip's own text.
const char* KindText(int code) {
  switch (code) {
    case ZIP_ER_WRITE: return "書き込みエラー";
    case ZIP_ER_READ: return "読み込みエラー";
    case ZIP_ER_SEEK: return "シークエラー";
    case ZIP_ER_TELL: return "ファイル位置を得られません";
    case ZIP_ER_OPEN: return "ファイルを開けません";
    case ZIP_ER_CLOSE: return "ファイルを閉じられません";
    case ZIP_ER_RENAME: return "一時ファイルの名前を変えられません";
    case ZIP_ER_TMPOPEN: return "一時ファイルを作れません";
    case ZIP_ER_REMOVE: return "ファイルを削除できません";
    case ZIP_ER_MEMORY: return "メモリが不足しています";
    default: return nullptr;
  }
}

// Hands the user's reason for error to fail: the kind of failure and, when
// the system gave one, its errno's text; libzip's own text for the rest.
void Fail(zip_error_t* error, TamZipErrorFn fail, void* context) {
  const int code = zip_error_code_zip(error);
  const char* kind = KindText(code);
  if (!kind) {
    fail(context, zip_error_strerror(error));
    return;
  }
  const int err = zip_error_system_type(error) == ZIP_ET_SYS ? zip_error_code_system(error) : 0;
  if (err == 0 || code == ZIP_ER_MEMORY) {
    fail(context, kind);
    return;
  }
  char buffer[256];
  const char* detail = tam::ErrnoText(err);
  // GNU strerror_r returns the message, which may or may not live in buffer.
  if (!detail) detail = ::strerror_r(err, buffer, sizeof buffer);
  char reason[512];
  std::snprintf(reason, sizeof reason, "%s: %s", kind, detail);
  fail(context, reason);
}

void Fail(zip_t* za, TamZipErrorFn fail, void* context) { Fail(zip_get_error(za), fail, context); }

// libzip's view of the descriptor: a new archive that is only ever written.
// It writes each entry's header, its data, then seeks back to complete the
// header, the same calls it makes on a file of its own, so the bytes are the
// same. Committing is the caller's business (the file is named by its writer).
zip_int64_t SinkCallback(void* user, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto& sink = *static_cast<TamZipArchive*>(user);
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

// A new T from malloc, or null when memory is short.
template <typename T, typename... Args>
T* Make(Args&&... args) {
  void* memory = std::malloc(sizeof(T));
  return memory ? new (memory) T{static_cast<Args&&>(args)...} : nullptr;
}

template <typename T>
void Unmake(T* p) {
  p->~T();
  std::free(p);
}

void Free(TamZipArchive* archive) {
  if (!archive) return;
  if (archive->zip) zip_discard(archive->zip);
  zip_error_fini(&archive->error);
  Unmake(archive);
}

TamZipArchive* Open(int fd, TamZipErrorFn fail, void* context) {
  auto* archive = Make<TamZipArchive>();
  if (!archive) {
    fail(context, KindText(ZIP_ER_MEMORY));
    return nullptr;
  }
  archive->fd = fd;
  zip_error_init(&archive->error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(SinkCallback, archive, &error);
  if (source) {
    archive->zip = zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive->zip) zip_source_free(source);
  }
  if (!archive->zip) {
    Fail(&error, fail, context);
    zip_error_fini(&error);
    Free(archive);
    return nullptr;
  }
  zip_error_fini(&error);
  return archive;
}

// Adds a source as an entry, DEFLATE at level, dated mtime; the archive owns
// the source from here on, in failure too.
int AddSource(TamZipArchive* archive, const char* name, zip_source_t* source, int level, std::int64_t mtime,
              TamZipErrorFn fail, void* context) {
  zip_t* za = archive->zip;
  const zip_int64_t index = zip_file_add(za, name, source, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(source);
    Fail(za, fail, context);
    return -1;
  }
  const auto i = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(za, i, ZIP_CM_DEFLATE, static_cast<zip_uint32_t>(level)) < 0 ||
      zip_file_set_mtime(za, i, static_cast<time_t>(mtime), 0) < 0) {
    Fail(za, fail, context);
    return -1;
  }
  return 0;
}

int Add(TamZipArchive* archive, const char* name, const void* data, std::size_t size, int level,
        std::int64_t mtime, TamZipErrorFn fail, void* context) {
  zip_source_t* source = zip_source_buffer(archive->zip, data, size, 0);
  if (!source) {
    Fail(archive->zip, fail, context);
    return -1;
  }
  return AddSource(archive, name, source, level, mtime, fail, context);
}

// An entry whose bytes come from the caller's input while the archive is
// written.
struct InputSource {
  TamZipInput input;
  std::int64_t mtime;
  zip_error_t error;
};

zip_int64_t InputCallback(void* user, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* source = static_cast<InputSource*>(user);
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
      st->mtime = static_cast<time_t>(source->mtime);
      st->size = st->comp_size = source->input.size;
      st->comp_method = ZIP_CM_STORE;
      st->encryption_method = ZIP_EM_NONE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_OPEN:
      return source->input.open(source->input.user) == 0 ? 0 : Failed(source->error, ZIP_ER_READ, 0);
    case ZIP_SOURCE_READ: {
      const std::int64_t n = source->input.read(source->input.user, data, length);
      return n >= 0 ? n : Failed(source->error, ZIP_ER_READ, 0);
    }
    case ZIP_SOURCE_CLOSE:
      source->input.close(source->input.user);
      return 0;
    case ZIP_SOURCE_FREE:
      source->input.free(source->input.user);
      zip_error_fini(&source->error);
      Unmake(source);
      return 0;
    default:
      return Failed(source->error, ZIP_ER_OPNOTSUPP, 0);
  }
}

int AddInput(TamZipArchive* archive, const char* name, const TamZipInput* input, int level,
             std::int64_t mtime, TamZipErrorFn fail, void* context) {
  auto* state = Make<InputSource>(*input, mtime, zip_error_t{});
  if (!state) {
    input->free(input->user);
    fail(context, KindText(ZIP_ER_MEMORY));
    return -1;
  }
  zip_error_init(&state->error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(InputCallback, state, &error);
  if (!source) {
    Fail(&error, fail, context);
    zip_error_fini(&error);
    zip_error_fini(&state->error);
    input->free(input->user);
    Unmake(state);
    return -1;
  }
  zip_error_fini(&error);
  return AddSource(archive, name, source, level, mtime, fail, context);  // the source owns state now
}

int Close(TamZipArchive* archive, TamZipErrorFn fail, void* context) {
  if (zip_close(archive->zip) < 0) {
    Fail(archive->zip, fail, context);
    return -1;
  }
  archive->zip = nullptr;
  Free(archive);
  return 0;
}

constexpr TamZipModule kModule = {kTamZipAbi, Open, Add, AddInput, Close, Free};

}  // namespace

extern "C" __attribute__((visibility("default"))) const TamZipModule* tam_zip_module() { return &kModule; }
