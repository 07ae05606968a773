#pragma once
// The boundary between ZipWriter and the module that holds libzip
// (libtam_zip.so). libzip brings libcrypto, libbz2, liblzma and libzstd with
// it; linked into the programs, every start of tamarind2-cli would load them
// although only saving a presentation writes a zip. So the module is loaded
// the first time an archive is written. Plain C across the boundary: no
// exception and no C++ object passes it.
#include <cstddef>
#include <cstdint>

extern "C" {

struct TamZipArchive;  // the module's archive, opaque here

// Receives the reason of a failure (UTF-8), valid during the call only.
using TamZipErrorFn = void (*)(void* context, const char* reason);

// An entry's bytes produced while the archive is written. open and read
// return -1 on failure: their reason stays on the caller's side.
struct TamZipInput {
  void* user;
  std::uint64_t size;  // exactly what read gives in all
  int (*open)(void* user);
  std::int64_t (*read)(void* user, void* buffer, std::uint64_t n);  // 0 at the end
  void (*close)(void* user);
  void (*free)(void* user);
};

struct TamZipModule {
  // kTamZipAbi of the module's build; another value is a stale module.
  std::uint32_t abi;
  // A new archive written into fd (open for writing, at its start, kept open
  // by the caller until close); null on failure.
  TamZipArchive* (*open)(int fd, TamZipErrorFn fail, void* context);
  // Adds an entry, DEFLATE at level (0: libzip's choice), dated mtime. The
  // data must stay alive until close. 0 on success.
  int (*add)(TamZipArchive* archive, const char* name, const void* data, std::size_t size, int level,
             std::int64_t mtime, TamZipErrorFn fail, void* context);
  // Adds an entry whose bytes are read from input only while the archive is
  // written. The module owns input->user from the call on, in failure too,
  // and hands it to input->free when done with it. 0 on success.
  int (*add_input)(TamZipArchive* archive, const char* name, const struct TamZipInput* input, int level,
                   std::int64_t mtime, TamZipErrorFn fail, void* context);
  // Writes the archive and frees it; 0 on success. On failure the archive
  // is left to discard.
  int (*close)(TamZipArchive* archive, TamZipErrorFn fail, void* context);
  // Frees an archive not closed, writing nothing more.
  void (*discard)(TamZipArchive* archive);
};

// Raised whenever the table above or its meaning changes.
inline constexpr std::uint32_t kTamZipAbi = 2;

// The module's one exported symbol.
inline constexpr const char* kTamZipEntryPoint = "tam_zip_module";
using TamZipEntryFn = const TamZipModule* (*)();

}  // extern "C"
