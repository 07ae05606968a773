// SPDX-License-Identifier: MIT
#include "support/testdata.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "picture/error.h"

namespace tamtest {

std::string TestData(const std::string& relative) { return std::string(TAM_TESTDATA) + "/" + relative; }

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/tamarind-test-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& name) const { return path_ + "/" + name; }

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string ReadText(const std::string& path) {
  const auto bytes = ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const tam::Error& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace tamtest

#include <QImage>
#include <QString>

namespace tamtest {

tam::Picture LoadReference(const std::string& path) {
  QImage image;
  if (!image.load(QString::fromLocal8Bit(path.c_str()))) throw std::runtime_error("cannot load " + path);
  image = image.convertToFormat(QImage::Format_RGB888);
  tam::Picture p = tam::Picture::Bgr24(image.width(), image.height());
  for (int y = 0; y < image.height(); ++y) {
    const uchar* src = image.constScanLine(y);
    std::uint8_t* dst = p.row(y);
    for (int x = 0; x < image.width(); ++x) {
      dst[3 * x] = src[3 * x + 2];
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x];
    }
  }
  return p;
}

std::vector<std::uint8_t> WithoutQuantTables(const std::vector<std::uint8_t>& jpeg) {
  // SOI, or all there is of a shorter file.
  std::size_t at = std::min<std::size_t>(2, jpeg.size());
  std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(at));
  // Marker segments up to the first scan; DQT (0xDB) ones are left out.
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const std::size_t end = std::min(jpeg.size(), at + 2 + (std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]));
    if (jpeg[at + 1] != 0xDB) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + end);
    at = end;
  }
  out.insert(out.end(), jpeg.begin() + at, jpeg.end());
  return out;
}

std::vector<std::uint8_t> WithClaimedSize(std::vector<std::uint8_t> jpeg, std::int32_t w, std::int32_t h) {
  for (std::size_t at = 2; at + 9 <= jpeg.size() && jpeg[at] == 0xFF;) {
    const std::uint8_t marker = jpeg[at + 1];
    if (marker >= 0xC0 && marker <= 0xC2) {
      jpeg[at + 5] = static_cast<std::uint8_t>(h >> 8);
      jpeg[at + 6] = static_cast<std::uint8_t>(h);
      jpeg[at + 7] = static_cast<std::uint8_t>(w >> 8);
      jpeg[at + 8] = static_cast<std::uint8_t>(w);
      return jpeg;
    }
    at += 2 + (std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
  }
  return jpeg;
}

std::vector<std::uint8_t> RunLengthBmp(std::int32_t w, std::int32_t h) {
  std::vector<std::uint8_t> b(14 + 40 + 1024 + 2, 0);
  const auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> 8 * i);
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, static_cast<std::uint32_t>(b.size()));
  put32(10, 14 + 40 + 1024);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(w));
  put32(22, static_cast<std::uint32_t>(h));
  b[26] = 1;            // planes
  b[28] = 8;            // bits per pixel
  b[30] = 1;            // RLE8
  b[b.size() - 1] = 1;  // 00 01: end of bitmap
  return b;
}

}  // namespace tamtest
