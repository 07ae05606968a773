// SPDX-License-Identifier: MIT
#include "picture/bmp.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "picture/error.h"
#include "support/testdata.h"

namespace tam {
namespace {

constexpr char kInvalid[] = "ビットマップイメージが不正です";
constexpr char kReadError[] = "ストリームからの読み込みエラー";

Picture Decode(const std::vector<std::uint8_t>& bytes) {
  Picture p = DecodeBmp(bytes);
  p.ToBgr24();
  return p;
}

Picture DecodeFile(const std::string& relative) {
  return Decode(tamtest::ReadBytes(tamtest::TestData(relative)));
}

// A reference rendering. Pixels that are fully transparent in it have no
// defined colour and are not compared; the reader ignores alpha, so the others
// carry the colour as stored.
struct Reference {
  Picture picture;
  std::vector<bool> defined;
};

Reference LoadReference(const std::string& name) {
  const std::string path = tamtest::TestData("bmpsuite/ref/" + name);
  QImage image;
  if (!image.load(QString::fromLocal8Bit(path.c_str()))) throw std::runtime_error("cannot load " + path);
  image = image.convertToFormat(QImage::Format_ARGB32);
  Reference ref{Picture::Bgr24(image.width(), image.height()), {}};
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb c = image.pixel(x, y);
      std::uint8_t* p = ref.picture.row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(qBlue(c));
      p[1] = static_cast<std::uint8_t>(qGreen(c));
      p[2] = static_cast<std::uint8_t>(qRed(c));
      ref.defined.push_back(qAlpha(c) != 0);
    }
  }
  return ref;
}

// The message of the error DecodeBmp throws, or "" when it decodes.
std::string ErrorOf(const std::vector<std::uint8_t>& bytes) {
  try {
    DecodeBmp(bytes);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

// Compares two 24-bit pictures channel by channel; describes the first
// difference beyond the tolerance.
::testing::AssertionResult SamePixels(const Picture& got, const Picture& want, int tolerance,
                                      const std::vector<bool>& defined = {}) {
  if (got.width() != want.width() || got.height() != want.height()) {
    return ::testing::AssertionFailure() << "size " << got.width() << "x" << got.height() << ", want "
                                         << want.width() << "x" << want.height();
  }
  for (std::int32_t y = 0; y < got.height(); ++y) {
    for (std::int32_t x = 0; x < got.width(); ++x) {
      if (!defined.empty() && !defined[static_cast<std::size_t>(y) * got.width() + x]) continue;
      const Bgr a = got.at(x, y), b = want.at(x, y);
      if (std::abs(a.b - b.b) > tolerance || std::abs(a.g - b.g) > tolerance ||
          std::abs(a.r - b.r) > tolerance) {
        return ::testing::AssertionFailure()
               << "pixel (" << x << "," << y << ") is rgb(" << int{a.r} << "," << int{a.g} << "," << int{a.b}
               << "), want rgb(" << int{b.r} << "," << int{b.g} << "," << int{b.b} << ")";
      }
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(tamtest::TestData(folder))) {
    if (e.path().extension() == ".bmp") names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Expected {
  const char* file;
  const char* reference;  // under bmpsuite/ref; nullptr: the file is refused
  int tolerance;
  // The file's colour profile, which the reader does not apply (the pixels
  // are taken as they are stored), would swap red and green back.
  bool red_green_swapped = false;
};

void CheckAgainstReferences(const std::string& folder, const std::vector<Expected>& table) {
  std::set<std::string> listed;
  for (const Expected& e : table) {
    SCOPED_TRACE(folder + "/" + e.file);
    listed.insert(e.file);
    const auto bytes = tamtest::ReadBytes(tamtest::TestData(folder + "/" + e.file));
    if (e.reference == nullptr) {
      EXPECT_EQ(ErrorOf(bytes), kInvalid);
      continue;
    }
    Picture got;
    ASSERT_NO_THROW(got = Decode(bytes));
    Reference want = LoadReference(e.reference);
    if (e.red_green_swapped) {
      for (std::size_t i = 0; i < want.picture.pixels().size(); i += 3) {
        std::swap(want.picture.pixels()[i + 1], want.picture.pixels()[i + 2]);
      }
    }
    EXPECT_TRUE(SamePixels(got, want.picture, e.tolerance, want.defined));
  }
  for (const std::string& name : FilesIn(folder)) EXPECT_TRUE(listed.count(name)) << name << " has no entry";
}

TEST(BmpSuite, GoodFilesMatchTheirReferences) {
  CheckAgainstReferences(
      "bmpsuite/g",
      {
          {"pal1.bmp", "pal1.png", 0},           {"pal1bg.bmp", "pal1bg.png", 0},
          {"pal1wb.bmp", "pal1.png", 0},         {"pal4.bmp", "pal4.png", 0},
          {"pal4gs.bmp", "pal4gs.png", 0},       {"pal4rle.bmp", "pal4.png", 0},
          {"pal8-0.bmp", "pal8.png", 0},         {"pal8.bmp", "pal8.png", 0},
          {"pal8gs.bmp", "pal8gs.png", 0},       {"pal8nonsquare.bmp", "pal8nonsquare-e.png", 0},
          {"pal8os2.bmp", "pal8.png", 0},        {"pal8rle.bmp", "pal8.png", 0},
          {"pal8topdown.bmp", "pal8.png", 0},    {"pal8v4.bmp", "pal8.png", 0},
          {"pal8v5.bmp", "pal8.png", 0},         {"pal8w124.bmp", "pal8w124.png", 0},
          {"pal8w125.bmp", "pal8w125.png", 0},   {"pal8w126.bmp", "pal8w126.png", 0},
          {"rgb16-565.bmp", "rgb16-565.png", 0}, {"rgb16-565pal.bmp", "rgb16-565.png", 0},
          {"rgb16.bmp", "rgb16.png", 0},         {"rgb16bfdef.bmp", "rgb16.png", 0},
          {"rgb24.bmp", "rgb24.png", 0},         {"rgb24pal.bmp", "rgb24.png", 0},
          {"rgb32.bmp", "rgb24.png", 0},         {"rgb32bf.bmp", "rgb24.png", 0},
          {"rgb32bfdef.bmp", "rgb24.png", 0},
      });
}

TEST(BmpSuite, QuestionableFilesDecodeCorrectlyOrAreRefused) {
  CheckAgainstReferences("bmpsuite/q",
                         {
                             {"pal1huffmsb.bmp", nullptr, 0},
                             {"pal1p1.bmp", "pal1p1.png", 0},
                             {"pal2.bmp", "pal2.png", 0},
                             {"pal2color.bmp", "pal2color.png", 0},
                             {"pal4rlecut.bmp", "pal4rlecut-0.png", 0},
                             {"pal4rletrns.bmp", "pal4rletrns-0.png", 0},
                             {"pal8offs.bmp", "pal8.png", 0},
                             {"pal8os2-hs.bmp", "pal8.png", 0},
                             {"pal8os2-sz.bmp", "pal8.png", 0},
                             {"pal8os2sp.bmp", "pal8.png", 0},
                             {"pal8os2v2-16.bmp", "pal8.png", 0},
                             {"pal8os2v2-40sz.bmp", "pal8.png", 0},
                             {"pal8os2v2-sz.bmp", "pal8.png", 0},
                             {"pal8os2v2.bmp", "pal8.png", 0},
                             {"pal8oversizepal.bmp", "pal8.png", 0},
                             {"pal8rlecut.bmp", "pal8rlecut-0.png", 0},
                             {"pal8rletrns.bmp", "pal8rletrns-0.png", 0},
                             {"rgb16-231.bmp", "rgb16-231.png", 0},
                             {"rgb16-3103.bmp", "rgb16-3103.png", 0},
                             {"rgb16faketrns.bmp", "rgb16.png", 0},
                             {"rgb24jpeg.bmp", nullptr, 0},
                             {"rgb24largepal.bmp", "rgb24.png", 0},
                             {"rgb24lprof.bmp", "rgb24.png", 0},
                             {"rgb24png.bmp", nullptr, 0},
                             {"rgb24prof.bmp", "rgb24.png", 0},
                             {"rgb24prof2.bmp", "rgb24.png", 0, true},
                             {"rgb24rle24.bmp", "pal8.png", 0},
                             {"rgb32-111110.bmp", "rgb24.png", 1},  // stored values rounded from 8 bits
                             {"rgb32-7187.bmp", "rgb32-7187.png", 0},
                             {"rgb32-xbgr.bmp", "rgb24.png", 0},
                             {"rgb32fakealpha.bmp", "rgb24.png", 0},
                             {"rgb32h52.bmp", "rgb24.png", 0},
                             {"rgba16-1924.bmp", "rgba16-1924.png", 0},
                             {"rgba16-4444.bmp", "rgba16-4444.png", 0},
                             {"rgba16-5551.bmp", "rgba16-5551.png", 0},
                             {"rgba32-1.bmp", "rgba32.png", 0},
                             {"rgba32-1010102.bmp", "rgba32-1010102.png", 0},
                             {"rgba32-2.bmp", "rgba32.png", 0},
                             {"rgba32-61754.bmp", "rgba32-61754.png", 0},
                             {"rgba32-81284.bmp", "rgba32-81284.png", 0},
                             {"rgba32abf.bmp", "rgba32.png", 0},
                             {"rgba32h56.bmp", "rgba32.png", 0},
                             {"rgba64.bmp", nullptr, 0},
                         });
}

// Bad files: a clear error, or a decode that is safe (the sanitizer and
// valgrind runs watch the reads) and the same every time.
TEST(BmpSuite, BadFilesAreRefusedOrDecodeSafely) {
  struct Case {
    const char* file;
    const char* outcome;  // kInvalid, or a reference, or "" for "decodes"
  };
  const std::vector<Case> cases = {
      {"badbitcount.bmp", kInvalid},
      {"badbitssize.bmp", "pal1.png"},  // size field not trusted
      {"baddens1.bmp", "pal1.png"},
      {"baddens2.bmp", "pal1.png"},
      {"badfilesize.bmp", "pal1.png"},
      {"badheadersize.bmp", kInvalid},
      {"badpalettesize.bmp", "pal8.png"},  // first 256 of the claimed entries
      {"badplanes.bmp", kInvalid},
      {"badrle.bmp", ""},
      {"badrle4.bmp", ""},
      {"badrle4bis.bmp", ""},
      {"badrle4ter.bmp", ""},
      {"badrlebis.bmp", ""},
      {"badrleter.bmp", ""},
      {"badwidth.bmp", kInvalid},
      {"pal8badindex.bmp", ""},
      {"reallybig.bmp", kInvalid},
      {"rgb16-880.bmp", "rgb16-880.png"},
      {"rletopdown.bmp", kInvalid},
      {"shortfile.bmp", kInvalid},
  };
  std::set<std::string> listed;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    listed.insert(c.file);
    const auto bytes = tamtest::ReadBytes(tamtest::TestData(std::string("bmpsuite/b/") + c.file));
    if (std::string(c.outcome) == kInvalid) {
      EXPECT_EQ(ErrorOf(bytes), kInvalid);
      continue;
    }
    Picture first, second;
    ASSERT_NO_THROW(first = DecodeBmp(bytes));
    ASSERT_NO_THROW(second = DecodeBmp(bytes));
    EXPECT_EQ(first.pixels(), second.pixels());
    EXPECT_EQ(first.palette(), second.palette());
    if (*c.outcome != '\0') {
      first.ToBgr24();
      const Reference want = LoadReference(c.outcome);
      EXPECT_TRUE(SamePixels(first, want.picture, 0, want.defined));
    }
  }
  for (const std::string& name : FilesIn("bmpsuite/b"))
    EXPECT_TRUE(listed.count(name)) << name << " has no entry";
  EXPECT_EQ(ErrorOf(tamtest::ReadBytes(tamtest::TestData("bmpsuite/x/ba-bm.bmp"))), kInvalid);
}

TEST(BmpSuite, IndicesPastThePaletteShowBlack) {
  const Picture p = DecodeBmp(tamtest::ReadBytes(tamtest::TestData("bmpsuite/b/pal8badindex.bmp")));
  ASSERT_EQ(p.format(), PixelFormat::Indexed8);
  ASSERT_EQ(p.palette().size(), 256u);
  int past = 0;
  for (std::uint8_t index : p.pixels()) {
    if (index >= 101) {
      ++past;
      EXPECT_EQ(p.palette()[index], Bgr{});
    }
  }
  EXPECT_GT(past, 0);
}

// Files from other projects' suites: real photographs and malformed files.
// The two plain photographs are checked against Qt's reading of them (right
// for such files; used here as an independent second reader only).
TEST(BmpExtra, RealFilesDecode) {
  for (const char* name : {"vgl_6434_0018a.bmp", "hopper_rle8.bmp"}) {
    SCOPED_TRACE(name);
    const std::string path = tamtest::TestData(std::string("bmp-extra/") + name);
    EXPECT_TRUE(SamePixels(Decode(tamtest::ReadBytes(path)), tamtest::LoadReference(path), 0));
  }
  // Pixel offset pointing at the palette and the last padding byte missing.
  const Reference pal8 = LoadReference("pal8.png");
  EXPECT_TRUE(SamePixels(DecodeFile("bmp-extra/mmap_error.bmp"), pal8.picture, 0));
  EXPECT_EQ(ErrorOf(tamtest::ReadBytes(tamtest::TestData("bmp-extra/l2rgb_read.bmp"))), kInvalid);
}

TEST(BmpExtra, OverlongRunsAreDroppedAtTheRowEnd) {
  // Three runs lengthened to 255 pixels at the ends of their rows: clipped, they
  // change nothing; spilled, they would overwrite the rows above.
  EXPECT_TRUE(SamePixels(DecodeFile("bmp-extra/hopper_rle8_row_overflow.bmp"),
                         DecodeFile("bmp-extra/hopper_rle8.bmp"), 0));
}

// A small BMP with a 40-byte info header; `extra` (masks, palette) goes
// between the header and the pixels.
std::vector<std::uint8_t> MakeBmp(std::int32_t width, std::int32_t height, int bpp, int compression,
                                  const std::vector<std::uint32_t>& extra,
                                  const std::vector<std::uint8_t>& pixels, std::uint32_t colors_used = 0) {
  std::vector<std::uint8_t> f;
  auto u16 = [&](std::uint32_t v) {
    f.push_back(v & 0xFF);
    f.push_back(v >> 8 & 0xFF);
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  const std::uint32_t offset = 54 + 4 * static_cast<std::uint32_t>(extra.size());
  f = {'B', 'M'};
  u32(offset + static_cast<std::uint32_t>(pixels.size()));
  u32(0);
  u32(offset);
  u32(40);
  u32(static_cast<std::uint32_t>(width));
  u32(static_cast<std::uint32_t>(height));
  u16(1);
  u16(bpp);
  u32(compression);
  u32(static_cast<std::uint32_t>(pixels.size()));
  u32(2835);
  u32(2835);
  u32(colors_used);
  u32(0);
  for (std::uint32_t v : extra) u32(v);
  f.insert(f.end(), pixels.begin(), pixels.end());
  return f;
}

std::vector<std::uint8_t> IndicesOf(const Picture& p) { return p.pixels(); }

TEST(DecodeBmp, ShortAndEmptyFiles) {
  const Picture empty = DecodeBmp({});
  EXPECT_EQ(empty.width(), 0);
  EXPECT_EQ(empty.height(), 0);
  const auto header = MakeBmp(1, 1, 24, 0, {}, {1, 2, 3, 0});
  for (std::size_t n : {1, 2, 13}) {
    EXPECT_EQ(ErrorOf({header.begin(), header.begin() + n}), kReadError) << n;
  }
  for (std::size_t n : {14, 18, 30, 53, 56}) {  // the rest of the header or the pixels missing
    EXPECT_EQ(ErrorOf({header.begin(), header.begin() + n}), kInvalid) << n;
  }
  EXPECT_EQ(ErrorOf(header), "");
  auto no_signature = header;
  no_signature[1] = 'A';
  EXPECT_EQ(ErrorOf(no_signature), kInvalid);
}

TEST(DecodeBmp, RefusesSizesTheFileOrMemoryCannotHold) {
  // 40000 x 40000 at 24 bits claimed by a 58-byte file: refused, not allocated.
  EXPECT_EQ(ErrorOf(MakeBmp(40000, 40000, 24, 0, {}, {1, 2, 3, 0})), kInvalid);
  // Run-length data can stand for any size, so only memory limits it.
  EXPECT_THROW(DecodeBmp(MakeBmp(50000, 50000, 8, 1, {0, 0}, {0, 1})), Error);
  // One row of pixels short; the last row's padding alone may be missing.
  const std::vector<std::uint8_t> two_rows = {1, 2, 3, 0, 4, 5, 6, 0};
  EXPECT_EQ(ErrorOf(MakeBmp(1, 3, 24, 0, {}, two_rows)), kInvalid);
  const Picture p = Decode(MakeBmp(1, 2, 24, 0, {}, {1, 2, 3, 0, 4, 5, 6}));
  EXPECT_EQ(p.at(0, 0), (Bgr{4, 5, 6}));
  EXPECT_EQ(p.at(0, 1), (Bgr{1, 2, 3}));
}

TEST(DecodeBmp, RleRunsAndDeltasStayInsideThePicture) {
  const std::vector<std::uint32_t> palette(256, 0x00FFFFFF);
  // RLE8, 4 x 3, listed bottom row first.
  const Picture rle8 = DecodeBmp(
      MakeBmp(4, 3, 8, 1, palette, {10, 1, 0,   3, 2, 2, 2, 0,       // run past the edge, then pixels past it
                                    0,  0,                           // end of line
                                    1,  3, 0,   2, 1, 0, 1, 4,       // pixel, delta one right, pixel
                                    0,  2, 200, 0, 1, 5,             // delta past the right edge, pixel
                                    0,  0, 0,   2, 0, 9, 2, 6}));    // delta far above the top
  EXPECT_EQ(IndicesOf(rle8), (std::vector<std::uint8_t>{0, 0, 0, 0,  // never reached: index 0
                                                        3, 0, 4, 0,  //
                                                        1, 1, 1, 1}));
  // RLE4, 5 x 2: runs alternate their two nibbles; absolute runs of odd length.
  const Picture rle4 = DecodeBmp(MakeBmp(5, 2, 4, 2, std::vector<std::uint32_t>(16, 0),
                                         {7, 0x34, 0, 0,  // clipped at 5 pixels
                                          0, 3, 0x56, 0x70, 2, 0x99, 0, 1}));
  EXPECT_EQ(IndicesOf(rle4), (std::vector<std::uint8_t>{5, 6, 7, 9, 9,  //
                                                        3, 4, 3, 4, 3}));
  // A stream cut inside an absolute run keeps what arrived; the rest is index 0.
  const Picture cut = DecodeBmp(MakeBmp(4, 1, 8, 1, palette, {0, 4, 7, 8}));
  EXPECT_EQ(IndicesOf(cut), (std::vector<std::uint8_t>{7, 8, 0, 0}));
}

TEST(DecodeBmp, BitFieldsAreScaledToEightBitsRoundingToNearest) {
  // 32 bits: red 10 bits at the top, green 1 bit, blue 4 bits at bit 1.
  const std::vector<std::uint32_t> masks = {0xFFC00000, 0x00000001, 0x0000001E};
  auto pixel = [](std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    const std::uint32_t v = r << 22 | g | b << 1;
    return std::vector<std::uint8_t>{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  };
  std::vector<std::uint8_t> pixels;
  for (const auto& p : {pixel(1023, 1, 15), pixel(512, 0, 1), pixel(2, 0, 0), pixel(3, 0, 0)}) {
    pixels.insert(pixels.end(), p.begin(), p.end());
  }
  const Picture p = Decode(MakeBmp(4, 1, 32, 3, masks, pixels));
  EXPECT_EQ(p.at(0, 0), (Bgr{255, 255, 255}));
  EXPECT_EQ(p.at(1, 0), (Bgr{17, 0, 128}));  // 512 * 255 / 1023 = 127.6
  EXPECT_EQ(p.at(2, 0), (Bgr{0, 0, 0}));     // 0.498
  EXPECT_EQ(p.at(3, 0), (Bgr{0, 0, 1}));     // 0.748
  // 16 bits without masks are 5-5-5: 16 scales to 132 (a shift would give 128), 1 to 8.
  const std::uint16_t v = 16 << 10 | 31 << 5 | 1;
  const Picture q = Decode(MakeBmp(1, 1, 16, 0, {}, {v & 0xFF, v >> 8, 0, 0}));
  EXPECT_EQ(q.at(0, 0), (Bgr{8, 255, 132}));
  // Masks that are not one run of bits, or lie outside the pixel, are refused.
  EXPECT_EQ(ErrorOf(MakeBmp(1, 1, 16, 3, {0x0F0F, 0x00F0, 0}, {0, 0, 0, 0})), kInvalid);
  EXPECT_EQ(ErrorOf(MakeBmp(1, 1, 16, 3, {0x10000, 0x00F0, 0x000F}, {0, 0, 0, 0})), kInvalid);
}

}  // namespace
}  // namespace tam
