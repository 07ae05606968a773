// SPDX-License-Identifier: MIT
#pragma once
// What the conversion benchmarks share: the photos they run on by default
// (every 4 to 24 MP JPEG of the wallpaper packages bench/setup.sh installs),
// their facts and short names, medians and the machine's load.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "picture/fileio.h"
#include "picture/jpeg.h"

namespace tambench {

inline const char* const kPhotoFolders[] = {"/usr/share/backgrounds", "/usr/share/wallpapers"};

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct JpegFacts {
  std::int32_t width = 0, height = 0;
  bool progressive = false;
  bool grey = false;  // decoded quantized: a grayscale source without the low-colour option
  std::uintmax_t size = 0;
};

// Nothing for a file that is no readable JPEG.
inline std::optional<JpegFacts> ReadFacts(const std::string& path) {
  try {
    const auto file = tam::ReadWholeFile(path);
    const tam::JpegReader reader(file);
    return JpegFacts{reader.width(), reader.height(), reader.multiple_scans(), reader.quantized(),
                     file.size()};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Fills the facts of a benchmark's photo (whose record derives from
// JpegFacts); false for a file that is no readable JPEG.
inline bool Describe(const std::string& path, JpegFacts& facts) {
  const auto read = ReadFacts(path);
  if (read) facts = *read;
  return read.has_value();
}

// The floor's decode of a photo: djpeg as the conversion decodes, quantized
// to 236 colours for a grayscale source (see JpegFacts::grey).
inline std::vector<std::string> DjpegArgs(const std::string& photo, bool grey) {
  std::vector<std::string> args = {"djpeg", "-dct", "int"};
  if (grey) args.insert(args.end(), {"-colors", "236"});
  args.insert(args.end(), {"-outfile", "/dev/null", photo});
  return args;
}

// The benchmark's own scratch folder, /dev/shm/tamarind-NAME-PID (or in the
// temporary folder), removed however the program ends but by a signal:
// returning from main or exit() on a failed step alike.
inline std::filesystem::path MakeScratch(const std::string& name) {
  namespace fs = std::filesystem;
  static fs::path made;
  const fs::path root = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  made = root / ("tamarind-" + name + "-" + std::to_string(::getpid()));
  fs::create_directories(made);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  });
  return made;
}

inline std::vector<std::string> DefaultPhotos() {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  for (const char* folder : kPhotoFolders) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_symlink() || !it->is_regular_file() || it->path().extension() != ".jpg") continue;
      const auto facts = ReadFacts(it->path().string());
      if (!facts) continue;
      const double mp = double(facts->width) * facts->height / 1e6;
      if (mp >= 4 && mp <= 24.5) out.push_back(it->path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline std::string Label(const std::string& path) {
  // Plasma's wallpapers are all called WIDTHxHEIGHT.jpg: name them by theme.
  const std::filesystem::path p(path);
  if (p.parent_path().filename() == "images" || p.parent_path().filename() == "images_dark") {
    return p.parent_path().parent_path().parent_path().filename().string() +
           (p.parent_path().filename() == "images_dark" ? "-dark" : "");
  }
  return p.stem().string();
}

inline double LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double one = 0;
  in >> one;
  return one;
}

}  // namespace tambench
