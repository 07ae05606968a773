// SPDX-License-Identifier: MIT
// Hostile files: what never ends, and what claims far more than it holds.
// Each reading runs in a child process with a watchdog and a memory ceiling,
// so a regression fails here instead of hanging the run or the machine, and
// the child's own peak memory is measured.
#include "picture/limits.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "picture/convert.h"
#include "picture/jpeg.h"
#include "support/testdata.h"

namespace tam {
namespace {

using Bytes = std::vector<std::uint8_t>;
using tamtest::TempDir;

struct ChildResult {
  std::string message;  // the error's message, "" on success
  long peak_kb = 0;     // the child's largest resident set
  bool finished = false;
};

// Runs f in a child limited to `seconds` and 3 GiB of address space.
ChildResult InChild(const std::function<void()>& f, unsigned seconds = 50) {
  int pipe_fds[2];
  EXPECT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    ::alarm(seconds);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer needs its vast address space
    const rlimit as{std::uint64_t{3} << 30, std::uint64_t{3} << 30};
    ::setrlimit(RLIMIT_AS, &as);
#endif
    std::string message;
    try {
      f();
    } catch (const std::exception& e) {
      message = std::string("!") + e.what();
    }
    [[maybe_unused]] auto n = ::write(pipe_fds[1], message.data(), message.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  ChildResult r;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) r.message.append(buf, n);
  ::close(pipe_fds[0]);
  if (!r.message.empty()) r.message.erase(0, 1);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  r.peak_kb = usage.ru_maxrss;
  r.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// ---- making hostile files ----

// A real 16 x 16 JPEG whose header claims w x h.
Bytes Claiming(std::int32_t w, std::int32_t h, bool progressive, bool all_full_resolution = false) {
  Picture p = Picture::Bgr24(16, 16);
  for (std::size_t i = 0; i < p.pixels().size(); ++i) p.pixels()[i] = static_cast<std::uint8_t>(i * 37);
  Bytes jpeg = tamtest::WithClaimedSize(EncodeJpeg(p, 75, progressive), w, h);
  if (all_full_resolution) {  // 4:4:4, the costliest sampling: every H, V = 1
    std::size_t at = 2;
    while (jpeg[at + 1] < 0xC0 || jpeg[at + 1] > 0xC2)
      at += 2 + (std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
    for (int c = 0; c < jpeg[at + 9]; ++c) jpeg[at + 11 + 3 * c] = 0x11;
  }
  return jpeg;
}

// An EXIF block that turns the picture a quarter (orientation 6).
Bytes Turned(const Bytes& jpeg) {
  const Bytes app1 = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0,
                      1,    0x01, 0x12, 0,    3,   0,   0,   0,   1, 0, 6,   0,   0, 0,    0, 0, 0, 0, 0};
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), app1.begin(), app1.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

// A grey progressive w x h JPEG of `scans` AC scans, each a few end-of-band
// runs that pass over every block: tiny, and slow in proportion to scans.
Bytes ManyScans(std::int32_t w, std::int32_t h, int scans) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
  b.insert(b.end(), 64, 1);
  const Bytes frame = {0xFF,
                       0xC2,
                       0,
                       11,
                       8,
                       static_cast<std::uint8_t>(h >> 8),
                       static_cast<std::uint8_t>(h),
                       static_cast<std::uint8_t>(w >> 8),
                       static_cast<std::uint8_t>(w),
                       1,
                       1,
                       0x11,
                       0};
  b.insert(b.end(), frame.begin(), frame.end());
  // One DC code (category 0) and one AC code: a run of 2^14 + 14 bits blocks.
  const Bytes tables = {0xFF, 0xC4, 0, 20, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,
                        0xFF, 0xC4, 0, 20, 0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0};
  b.insert(b.end(), tables.begin(), tables.end());
  const std::int64_t blocks = std::int64_t{(w + 7) / 8} * ((h + 7) / 8);
  Bytes data;
  std::uint32_t bits = 0;
  int count = 0;
  for (std::int64_t run = 0; run < blocks; run += 32767) {
    bits = bits << 15 | 0x3FFF;  // code 0, then 14 one bits: a run of 32767
    count += 15;
    while (count >= 8) {
      data.push_back(static_cast<std::uint8_t>(bits >> (count - 8)));
      if (data.back() == 0xFF) data.push_back(0);
      count -= 8;
    }
  }
  if (count > 0) data.push_back(static_cast<std::uint8_t>(bits << (8 - count) | (0xFF >> count)));
  if (data.back() == 0xFF) data.push_back(0);
  const Bytes header = {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 1, 63, 0};
  for (int i = 0; i < scans; ++i) {
    b.insert(b.end(), header.begin(), header.end());
    b.insert(b.end(), data.begin(), data.end());
  }
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

constexpr long kSmallKb = 200 * 1024;

TEST(HostileFiles, WhatNeverEndsIsRefusedAtOnceAndNamed) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.bmp").c_str(), 0644), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero.jpg");
  std::filesystem::create_symlink("/dev/urandom", dir / "random.bmp");
  for (const char* name : {"fifo.jpg", "fifo.bmp", "zero.jpg", "random.bmp"}) {
    const std::string path = dir / name;
    const ChildResult r = InChild([&] { ConvertPicture(path, 50, skByExtension, {}); }, 20);
    ASSERT_TRUE(r.finished) << name << ": hung or crashed";
    EXPECT_EQ(r.message, "ファイル " + path + " を開けません。通常のファイルではありません");
    EXPECT_LT(r.peak_kb, kSmallKb) << name;
  }
  EXPECT_FALSE(tamtest::Exists(dir / "fifo_x.jpg"));
  EXPECT_FALSE(tamtest::Exists(dir / "zero_x.jpg"));
}

TEST(HostileFiles, BombsAreRefusedBeforeTheirBigAllocation) {
  TempDir dir;
  struct Bomb {
    const char* name;
    Bytes bytes;
    const char* why;
  };
  const Bomb bombs[] = {
      // Sized so that the first picture would still be made and only the
      // later ones refused: the refusal must come before the first.
      {"rle.bmp", tamtest::RunLengthBmp(20000, 20000), "画像が大きすぎます (20000 x 20000 画素"},
      {"progressive.jpg", Claiming(30000, 30000, true), "画像が大きすぎます (30000 x 30000 画素"},
      // Cannot stream: the turn needs the whole picture, and its copy.
      {"turned.jpg", Turned(Claiming(15000, 15000, false)), "画像が大きすぎます (15000 x 15000 画素"},
      {"scans.jpg", ManyScans(4096, 4096, 1000), "JPEG のスキャンが多すぎます (上限 100)"},
  };
  for (const Bomb& bomb : bombs) {
    const std::string path = dir / bomb.name;
    tamtest::WriteBytes(path, bomb.bytes);
    const ChildResult r = InChild([&] { ConvertPicture(path, 50, skByExtension, {.overwrite = true}); });
    ASSERT_TRUE(r.finished) << bomb.name << ": over time or crashed";
    EXPECT_EQ(r.message.rfind("ファイル " + path + " を読み込めません。" + bomb.why, 0), 0u) << r.message;
    EXPECT_LT(r.peak_kb, kSmallKb) << bomb.name;
    EXPECT_EQ(tamtest::ReadBytes(path), bomb.bytes) << bomb.name;  // nothing written
  }
  EXPECT_EQ(CountJpegScans(bombs[3].bytes), kMostScans + 1);  // counts no further
  EXPECT_EQ(CountJpegScans(Claiming(16, 16, true)), 10);
  EXPECT_EQ(CountJpegScans(Turned(Claiming(16, 16, false))), 1);
}

// The budget is what may be taken: a need of exactly that much passes.
TEST(HostileFiles, ANeedOfExactlyTheBudgetPassesOneByteMoreIsRefused) {
  EXPECT_NO_THROW(CheckMemoryNeed(100, 100, kMemoryBudget));
  EXPECT_THROW(CheckMemoryNeed(100, 100, kMemoryBudget + 1), LimitError);
}

TEST(HostileFiles, RealPicturesUpTo100MegapixelsStayWithinTheLimits) {
  // The costliest real photo: 100 MP, progressive, 4:4:4, turned upright,
  // with a file of 60 MB, as libjpeg itself sizes its buffers.
  const Bytes header = Turned(Claiming(11600, 8640, true, true));
  const JpegReader reader(header);
  DecodeCost cost = reader.cost();
  ASSERT_EQ(cost.decoder_bytes, std::int64_t{11600} * 8640 * 6);
  cost.file_bytes = 60'000'000;
  EXPECT_LE(ConversionNeed(cost, true), kMemoryBudget);
  EXPECT_LE(ClipboardNeed(cost), kMemoryBudget);
  // A 100 MP bitmap of 32 bits per pixel, its file read whole.
  EXPECT_LE(ConversionNeed({11600, 8640, 3, std::int64_t{11600} * 8640 * 4, 0}, false), kMemoryBudget);
  EXPECT_LE(ConversionNeed({11600, 8640, 1, std::int64_t{11600} * 8640, 0}, false), kMemoryBudget);

  // And one real conversion of a turned progressive picture, whole.
  TempDir dir;
  Picture p = Picture::Bgr24(2400, 1800);
  for (std::size_t i = 0; i < p.pixels().size(); ++i) p.pixels()[i] = static_cast<std::uint8_t>(i % 251);
  tamtest::WriteBytes(dir / "photo.jpg", Turned(EncodeJpeg(p, 90, true)));
  const std::string written = ConvertPicture(dir / "photo.jpg", 50, skByExtension, {});
  const DecodedJpeg out = DecodeJpeg(tamtest::ReadBytes(written));
  EXPECT_EQ(out.picture.height(), 720);
  EXPECT_LT(out.picture.width(), 545);  // upright: a portrait now
}

}  // namespace
}  // namespace tam
