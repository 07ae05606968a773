// SPDX-License-Identifier: MIT
#include "picture/stream.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "picture/error.h"
#include "picture/reduce.h"
#include "support/testdata.h"

namespace tam {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What one path made of a file: the encoded bytes, or the error it threw.
struct Outcome {
  Bytes bytes;
  std::string error;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << (o.error.empty() ? std::to_string(o.bytes.size()) + " bytes" : "error " + o.error);
}

// Decode whole, reduce, encode: the reference the streaming path must match.
Outcome WholePath(const Bytes& file, int box_w, int box_h, int quality, bool low_colour) {
  Outcome o;
  try {
    DecodedJpeg decoded = DecodeJpeg(file, {.low_colour_display = low_colour});
    ReducePicture(decoded.picture, box_w, box_h);
    o.bytes = EncodeJpeg(decoded.picture, quality, decoded.multiple_scans);
  } catch (const Error& e) {
    o.error = e.what();
  }
  return o;
}

// The streaming path; nullopt when it leaves the file to the whole path.
std::optional<Outcome> StreamPath(const Bytes& file, int box_w, int box_h, int quality, bool low_colour) {
  Outcome o;
  try {
    auto bytes =
        ReduceJpegStreaming(JpegFile(file), box_w, box_h, quality, {.low_colour_display = low_colour});
    if (!bytes) return std::nullopt;
    o.bytes = std::move(*bytes);
  } catch (const Error& e) {
    o.error = e.what();
  }
  return o;
}

void ExpectSameOutcome(const Bytes& file, int box_w, int box_h, int quality, bool low_colour,
                       const std::string& label) {
  SCOPED_TRACE(label + " box " + std::to_string(box_w) + "x" + std::to_string(box_h) + " quality " +
               std::to_string(quality) + (low_colour ? " low colour" : ""));
  const std::optional<Outcome> streamed = StreamPath(file, box_w, box_h, quality, low_colour);
  ASSERT_TRUE(streamed.has_value());
  const Outcome whole = WholePath(file, box_w, box_h, quality, low_colour);
  EXPECT_EQ(*streamed, whole);
}

// A picture with smooth gradients, edges and noise, so every sampling and
// both filters have real work.
Picture Synthesised(int w, int h, unsigned seed) {
  Picture p = Picture::Bgr24(w, h);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-20, 20);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = p.row(y);
    for (int x = 0; x < w; ++x) {
      const int edge = ((x / 7 + y / 5) % 3 == 0) ? 90 : 0;
      const int base[3] = {x * 255 / std::max(w - 1, 1), y * 255 / std::max(h - 1, 1), (x + y) % 256};
      for (int c = 0; c < 3; ++c)
        row[3 * x + c] = static_cast<std::uint8_t>(std::clamp(base[c] + edge + noise(rng), 0, 255));
    }
  }
  return p;
}

// Encodes a picture with cjpeg and the given options (sampling, progressive,
// grayscale, restart intervals).
Bytes Cjpeg(const Picture& p, const std::string& options) {
  tamtest::TempDir tmp;
  const std::string head = "P6\n" + std::to_string(p.width()) + " " + std::to_string(p.height()) + "\n255\n";
  Bytes ppm(head.begin(), head.end());
  for (int y = 0; y < p.height(); ++y) {
    for (int x = 0; x < p.width(); ++x) {
      const Bgr c = p.at(x, y);
      ppm.insert(ppm.end(), {c.r, c.g, c.b});
    }
  }
  tamtest::WriteBytes(tmp / "in.ppm", ppm);
  const std::string command =
      "cjpeg " + options + " -outfile '" + (tmp / "out.jpg") + "' '" + (tmp / "in.ppm") + "'";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  return tamtest::ReadBytes(tmp / "out.jpg");
}

const char* const kCodings[] = {
    "-sample 1x1",
    "-sample 2x1",
    "-sample 2x2",
    "-sample 1x2",
    "-progressive -sample 2x2",
    "-progressive -sample 1x1",
    "-grayscale",
    "-grayscale -progressive",
    "-restart 1 -sample 2x1 -quality 95",
};

struct Box {
  int w, h;
};
constexpr Box kSlideBox{960, 720};
constexpr Box kQuarterBox{480, 360};

// ---- real files ----

TEST(StreamMatchesWholePath, EveryGoodFileBothBoxesBothDisplays) {
  int refused = 0, served = 0;
  for (const auto& entry : std::filesystem::directory_iterator(tamtest::TestData("jpeg/good"))) {
    const std::string path = entry.path().string();
    const Bytes file = tamtest::ReadBytes(path);
    if (!CanStreamJpeg(ReadJpegHeader(file))) {
      // Turned pictures need the whole picture: the stream leaves them alone.
      EXPECT_FALSE(ReduceJpegStreaming(JpegFile(file), 960, 720, 50).has_value()) << path;
      ++refused;
      continue;
    }
    ++served;
    for (const Box box : {kSlideBox, kQuarterBox, Box{100, 75}}) {
      for (const bool low_colour : {false, true}) ExpectSameOutcome(file, box.w, box.h, 50, low_colour, path);
    }
  }
  EXPECT_GE(refused, 1);  // hopper_orientation_6.jpg
  EXPECT_GE(served, 10);
}

// ---- synthesised files: samplings, progressive, grayscale, sizes ----

TEST(StreamMatchesWholePath, SamplingsAndOddSizes) {
  // Odd sizes around the boxes and their MCUs, pictures that fit (re-encoded
  // at their size), exact box sizes, and thin ones that fit to one pixel.
  const Box sizes[] = {{1023, 767}, {961, 721}, {960, 720}, {900, 720}, {800, 600},  {481, 361},
                       {1000, 100}, {1, 720},   {1, 2000},  {2000, 1},  {3, 1500},   {1537, 2047},
                       {17, 17},    {1, 1},     {2, 2},     {640, 480}, {1201, 1599}};
  int coding = 0;
  for (const Box size : sizes) {
    const std::string options = kCodings[coding++ % std::size(kCodings)];
    const Bytes file =
        Cjpeg(Synthesised(size.w, size.h, static_cast<unsigned>(size.w * 31 + size.h)), options);
    const std::string label = std::to_string(size.w) + "x" + std::to_string(size.h) + " " + options;
    for (const Box box : {kSlideBox, kQuarterBox}) ExpectSameOutcome(file, box.w, box.h, 75, false, label);
  }
}

TEST(StreamMatchesWholePath, EveryCodingAtRandomSizesAndBoxes) {
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<int> side(1, 1400);
  std::uniform_int_distribution<int> quality(0, 100);
  for (const char* options : kCodings) {
    for (int round = 0; round < 3; ++round) {
      const int w = side(rng), h = side(rng);
      const Bytes file = Cjpeg(Synthesised(w, h, rng()), options);
      const std::string label = std::to_string(w) + "x" + std::to_string(h) + " " + options;
      // Small random boxes make most of these reduce, by all kinds of factors.
      const Box small{std::uniform_int_distribution<int>(1, 300)(rng),
                      std::uniform_int_distribution<int>(1, 300)(rng)};
      for (const Box box : {kSlideBox, kQuarterBox, small}) {
        ExpectSameOutcome(file, box.w, box.h, quality(rng), false, label);
      }
    }
  }
}

TEST(StreamMatchesWholePath, QuantizedOutputForLowColourDisplaysAndGreySources) {
  const Bytes colour = Cjpeg(Synthesised(1210, 805, 5), "-sample 2x2");
  const Bytes colour_progressive = Cjpeg(Synthesised(733, 1111, 6), "-progressive");
  const Bytes grey = Cjpeg(Synthesised(1500, 999, 7), "-grayscale");
  for (const Box box : {kSlideBox, kQuarterBox}) {
    ExpectSameOutcome(colour, box.w, box.h, 60, true, "colour");
    ExpectSameOutcome(colour_progressive, box.w, box.h, 60, true, "colour progressive");
    ExpectSameOutcome(grey, box.w, box.h, 60, false, "grey");
    ExpectSameOutcome(grey, box.w, box.h, 60, true, "grey, low colour");
  }
}

// ---- damaged streams ----

// Position of the n-th (0-based) marker 0xFF code in the file, or npos.
std::size_t FindMarker(const Bytes& file, std::uint8_t code, int n) {
  for (std::size_t i = 0; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == code && n-- == 0) return i;
  }
  return std::string::npos;
}

TEST(StreamErrors, LateErrorAfterEveryRowThrowsTheSameAndHandsNothingBack) {
  // A second frame header before the end: every row decodes, then the rest
  // of the stream is read and libjpeg refuses it.
  Bytes file = Cjpeg(Synthesised(1300, 1000, 9), "-sample 2x2");
  const std::size_t eoi = file.size() - 2;
  const std::size_t sof = FindMarker(file, 0xC0, 0);
  ASSERT_NE(sof, std::string::npos);
  const std::size_t sof_length = (file[sof + 2] << 8 | file[sof + 3]) + 2;
  const Bytes frame(file.begin() + static_cast<std::ptrdiff_t>(sof),
                    file.begin() + static_cast<std::ptrdiff_t>(sof + sof_length));
  file.insert(file.begin() + static_cast<std::ptrdiff_t>(eoi), frame.begin(), frame.end());
  const Outcome whole = WholePath(file, 960, 720, 50, false);
  ASSERT_FALSE(whole.error.empty());
  EXPECT_EQ(whole.error.rfind("JPEG エラー #", 0), 0u) << whole.error;
  EXPECT_THROW(ReduceJpegStreaming(JpegFile(file), 960, 720, 50), Error);
  EXPECT_EQ(StreamPath(file, 960, 720, 50, false), whole);
  EXPECT_EQ(StreamPath(file, 2000, 2000, 50, false), WholePath(file, 2000, 2000, 50, false));  // fits
}

TEST(StreamErrors, BadScanOfAProgressiveFileThrowsTheSame) {
  Bytes file = Cjpeg(Synthesised(900, 1200, 10), "-progressive");
  const std::size_t sos = FindMarker(file, 0xDA, 3);
  ASSERT_NE(sos, std::string::npos);
  const int components = file[sos + 4];
  file[sos + 5 + 2 * components] = 70;  // spectral start past the last coefficient
  const Outcome whole = WholePath(file, 480, 360, 50, false);
  ASSERT_FALSE(whole.error.empty());
  EXPECT_EQ(StreamPath(file, 480, 360, 50, false), whole);
}

TEST(StreamErrors, DamageAnywhereGivesTheSameBytesOrTheSameError) {
  // Damage in the headers, the tables and the entropy-coded data: libjpeg
  // refuses some, warns and fills in others; both paths must agree on each.
  for (const char* options : {"-sample 2x2 -restart 2", "-progressive -sample 2x1"}) {
    const Bytes good = Cjpeg(Synthesised(700, 530, 11), options);
    std::mt19937 rng(3);
    int errors = 0;
    for (std::size_t offset = 2; offset < good.size(); offset += 1 + good.size() / 60) {
      Bytes file = good;
      file[offset] = (offset % 3 == 0) ? 0xFF : static_cast<std::uint8_t>(file[offset] ^ (1 + rng() % 255));
      const std::string label = std::string(options) + " byte " + std::to_string(offset);
      const Outcome whole = WholePath(file, 200, 150, 50, false);
      if (!whole.error.empty()) ++errors;
      ExpectSameOutcome(file, 200, 150, 50, false, label);
    }
    EXPECT_GT(errors, 0) << options;
    // A stream cut short: libjpeg warns and fills the rest in.
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() * 2 / 3));
    ExpectSameOutcome(cut, 200, 150, 50, false, std::string(options) + " cut");
  }
}

}  // namespace
}  // namespace tam
