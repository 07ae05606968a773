// SPDX-License-Identifier: MIT
#pragma once
// Helpers shared by the tests: where the shared test data lies, scratch
// folders that clean up after themselves, small file utilities.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tamtest {

// Path of a file under the shared test data folder (../shared/testdata).
std::string TestData(const std::string& relative);

// A fresh folder under the system temporary folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const;

 private:
  std::string path_;
};

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
bool Exists(const std::string& path);
// The permission bits of a file, links followed; a test failure if it has none.
mode_t ModeOf(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> FolderNames(const std::string& folder);

// Sets, or with a null value clears, an environment variable for the life
// of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The message of the tam::Error that f throws, or "(no error)".
std::string ErrorOf(const std::function<void()>& f);

}  // namespace tamtest

#include "picture/picture.h"

namespace tamtest {
// Reads any picture file Qt can read (the reference PNGs) as a 24-bit picture.
tam::Picture LoadReference(const std::string& path);

// A copy of a JPEG stream without its quantization tables: the header still
// reads, but decoding the pixels fails.
std::vector<std::uint8_t> WithoutQuantTables(const std::vector<std::uint8_t>& jpeg);

// A copy of a JPEG stream whose frame header claims w x h: the pixels the
// stream lacks decode as grey, as in any cut file.
std::vector<std::uint8_t> WithClaimedSize(std::vector<std::uint8_t> jpeg, std::int32_t w, std::int32_t h);

// An 8-bit run-length BMP of w x h that ends at once: a file of about a
// kilobyte whose picture is palette colour 0 (black) throughout.
std::vector<std::uint8_t> RunLengthBmp(std::int32_t w, std::int32_t h);
}  // namespace tamtest
