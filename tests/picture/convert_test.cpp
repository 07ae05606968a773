// SPDX-License-Identifier: MIT
#include "picture/convert.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "picture/bmp.h"
#include "picture/error.h"
#include "picture/jpeg.h"
#include "picture/jpeg_header.h"
#include "picture/reduce.h"
#include "support/readonly.h"
#include "support/testdata.h"

namespace tam {
namespace {

using tamtest::ErrorOf;

using Bytes = std::vector<std::uint8_t>;
using tamtest::Exists;
using tamtest::FolderNames;
using tamtest::ReadBytes;
using tamtest::TempDir;
using tamtest::TestData;
using tamtest::WriteBytes;

// ---- Inputs made here ---------------------------------------------------

// A smooth colour gradient, or the picture `colour` paints.
Picture MakePicture(std::int32_t w, std::int32_t h, const std::function<Bgr(int, int)>& colour = {}) {
  Picture p = Picture::Bgr24(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Bgr c = colour ? colour(x, y)
                           : Bgr{static_cast<std::uint8_t>(x * 255 / std::max(1, w - 1)),
                                 static_cast<std::uint8_t>(y * 255 / std::max(1, h - 1)), 128};
      std::uint8_t* px = p.row(y) + 3 * x;
      px[0] = c.b;
      px[1] = c.g;
      px[2] = c.r;
    }
  }
  return p;
}

void Put16(Bytes& b, unsigned v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A 24-bit bottom-up BMP with a 40-byte info header, written byte by byte.
Bytes BmpBytes(const Picture& p) {
  const std::uint32_t stride = (3 * p.width() + 3) & ~3u;
  const std::uint32_t size = 54 + stride * p.height();
  Bytes b = {'B', 'M'};
  Put32(b, size);
  Put32(b, 0);
  Put32(b, 54);
  Put32(b, 40);
  Put32(b, p.width());
  Put32(b, p.height());
  Put16(b, 1);
  Put16(b, 24);
  for (int i = 0; i < 6; ++i) Put32(b, 0);
  for (int y = p.height() - 1; y >= 0; --y) {
    b.insert(b.end(), p.row(y), p.row(y) + 3 * p.width());
    b.resize(b.size() + stride - 3 * p.width());
  }
  return b;
}

void WriteBmp(const std::string& path, std::int32_t w, std::int32_t h) {
  WriteBytes(path, BmpBytes(MakePicture(w, h)));
}
void WriteJpeg(const std::string& path, std::int32_t w, std::int32_t h, bool progressive = false) {
  WriteBytes(path, EncodeJpeg(MakePicture(w, h), 90, progressive));
}

// Puts an EXIF block with the given orientation after the JFIF header.
Bytes WithOrientation(Bytes jpeg, int orientation) {
  const Bytes app1 = {0xFF, 0xE1,
                      0x00, 34,
                      'E',  'x',
                      'i',  'f',
                      0,    0,
                      'M',  'M',
                      0,    42,
                      0,    0,
                      0,    8,
                      0,    1,  // one entry
                      0x01, 0x12,
                      0,    3,
                      0,    0,
                      0,    1,  // orientation, SHORT, 1 value
                      0,    static_cast<std::uint8_t>(orientation),
                      0,    0,  // value
                      0,    0,
                      0,    0};  // no next IFD
  const std::size_t app0_end = 4 + ((jpeg[4] << 8) | jpeg[5]);
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(app0_end), app1.begin(), app1.end());
  return jpeg;
}

// ---- Looking at outputs -------------------------------------------------

struct JpegInfo {
  int sof = 0;  // 0xC0 sequential, 0xC2 progressive
  int width = 0, height = 0, components = 0;
  bool exif = false;
  std::vector<int> quant;  // every quantization value of every table
};

JpegInfo Inspect(const Bytes& d) {
  JpegInfo info;
  EXPECT_TRUE(d.size() > 4 && d[0] == 0xFF && d[1] == 0xD8);
  for (std::size_t pos = 2; pos + 4 <= d.size() && d[pos] == 0xFF && d[pos + 1] != 0xDA;) {
    const int marker = d[pos + 1];
    const std::size_t len = (d[pos + 2] << 8) | d[pos + 3];
    const std::uint8_t* seg = d.data() + pos + 4;
    if (marker >= 0xC0 && marker <= 0xC2) {
      info.sof = marker;
      info.height = (seg[1] << 8) | seg[2];
      info.width = (seg[3] << 8) | seg[4];
      info.components = seg[5];
    } else if (marker == 0xE1 && len >= 8 && std::equal(seg, seg + 6, "Exif\0")) {
      info.exif = true;
    } else if (marker == 0xDB) {
      for (std::size_t p = 0; p < len - 2;) {
        const bool wide = seg[p++] >> 4;
        for (int i = 0; i < 64; ++i, p += wide ? 2 : 1)
          info.quant.push_back(wide ? (seg[p] << 8) | seg[p + 1] : seg[p]);
      }
    }
    pos += 2 + len;
  }
  return info;
}

Picture DecodeFile(const std::string& path) { return DecodeJpeg(ReadBytes(path)).picture; }

// Records what would go to the trash, and what was already written then.
class FakeTrash : public Trash {
 public:
  explicit FakeTrash(std::string must_exist = {}) : must_exist_(std::move(must_exist)) {}
  bool MoveToTrash(const std::string& path) override {
    calls.push_back(path);
    if (!must_exist_.empty()) existed_when_called = Exists(must_exist_);
    return true;
  }
  std::vector<std::string> calls;
  bool existed_when_called = false;

 private:
  std::string must_exist_;
};

// ---- Naming and routes --------------------------------------------------

TEST(ConvertPicture, OutputNamesFollowTheSourceAndTheOverwriteOption) {
  struct Case {
    const char* source;
    SourceKind kind;
    bool bitmap;      // the source's content
    const char* off;  // written with overwriting off
    const char* on;   // written with overwriting on
  };
  const Case cases[] = {
      {"a.jpg", skByExtension, false, "a_x.jpg", "a.jpg"},
      {"a.JPG", skByExtension, false, "a_x.jpg", "a.JPG"},
      {"c", skJpeg, false, "c_x.jpg", "c"},
      {"my.pics/e", skJpeg, false, "my.pics/e_x.jpg", "my.pics/e"},
      {"f.b.jpg", skByExtension, false, "f.b_x.jpg", "f.b.jpg"},
      {"写真\xff.jpg", skByExtension, false, "写真\xff_x.jpg", "写真\xff.jpg"},
      {"b.bmp", skByExtension, true, "b_x.jpg", "b.jpg"},
      {"b2.BMP", skByExtension, true, "b2_x.jpg", "b2.jpg"},
      {"d", skBitmap, true, "d_x.jpg", "d.jpg"},
  };
  for (const bool overwrite : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.source) + (overwrite ? " overwriting" : ""));
      TempDir dir;
      std::filesystem::create_directory(dir / "my.pics");
      const std::string source = dir / c.source;
      if (c.bitmap) {
        WriteBmp(source, 64, 48);
      } else {
        WriteJpeg(source, 64, 48);
      }
      const Bytes before = ReadBytes(source);
      FakeTrash trash;
      const std::string written =
          ConvertPicture(source, 75, c.kind, {.overwrite = overwrite, .trash = &trash});
      EXPECT_EQ(written, dir / (overwrite ? c.on : c.off));
      const JpegInfo info = Inspect(ReadBytes(written));
      EXPECT_EQ(info.width, 64);
      EXPECT_EQ(info.height, 48);
      // The source stays unless it was overwritten; extensionless bitmaps stay too.
      if (written != source) {
        EXPECT_EQ(ReadBytes(source), before);
      }
      // An overwritten JPEG and a converted bitmap go to the trash; an
      // extensionless bitmap stays.
      const bool trashed = overwrite && !(c.bitmap && c.kind == skBitmap);
      EXPECT_EQ(trash.calls, trashed ? std::vector<std::string>{source} : std::vector<std::string>{});
    }
  }
}

TEST(ConvertPicture, UnrecognisedExtensionsAreNeitherReadNorWritten) {
  TempDir dir;
  for (const char* name : {"g.Jpg", "g.png", "g.jpeg", "g.bMp", "g"}) {
    SCOPED_TRACE(name);
    tamtest::WriteText(dir / name, "not a picture at all");
    FakeTrash trash;
    EXPECT_EQ(ConvertPicture(dir / name, 50, skByExtension, {.overwrite = true, .trash = &trash}), "");
    EXPECT_TRUE(trash.calls.empty());
  }
  EXPECT_EQ(FolderNames(dir.path()).size(), 5u);
}

TEST(ConvertPicture, WrongContentFailsWithTheReadersErrorAndWritesNothing) {
  TempDir dir;
  WriteBmp(dir / "h.jpg", 16, 16);
  WriteJpeg(dir / "h.bmp", 16, 16);
  WriteBmp(dir / "i.bmp", 16, 16);
  tamtest::WriteText(dir / "short.bmp", "BM123");
  const auto names = FolderNames(dir.path());
  FakeTrash trash;
  const ConvertOptions on{.overwrite = true, .trash = &trash};
  EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / "h.jpg", 50, skByExtension, on); }).rfind("JPEG エラー #", 0),
            0u);
  EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / "h.bmp", 50, skByExtension, on); }),
            "ビットマップイメージが不正です");
  EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / "short.bmp", 50, skByExtension, on); }),
            "ストリームからの読み込みエラー");
  // Both tests hold: the bitmap read works, the JPEG read of the same bytes fails.
  EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / "i.bmp", 50, skJpeg, on); }).rfind("JPEG エラー #", 0), 0u);
  EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / "missing.jpg", 50, skByExtension, on); }),
            "ファイル " + dir / "missing.jpg" + " を開けません。" + SystemReason(ENOENT));
  EXPECT_EQ(FolderNames(dir.path()), names);
  EXPECT_TRUE(trash.calls.empty());
}

TEST(ConvertPicture, EmptyBitmapWritesNothing) {
  TempDir dir;
  WriteBytes(dir / "z.bmp", {});
  FakeTrash trash;
  EXPECT_EQ(ConvertPicture(dir / "z.bmp", 50, skByExtension, {.trash = &trash}), "");
  EXPECT_EQ(ConvertPicture(dir / "z.bmp", 50, skByExtension, {.overwrite = true, .trash = &trash}), "");
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"z.bmp"});
  EXPECT_TRUE(trash.calls.empty());
}

// ---- Sizes and encoding -------------------------------------------------

TEST(ConvertPicture, QuarterBoxAppliesToJpegSourcesOnly) {
  TempDir dir;
  WriteJpeg(dir / "big.jpg", 1000, 750);
  WriteBmp(dir / "big.bmp", 1000, 750);
  WriteJpeg(dir / "small.jpg", 800, 600);
  struct Case {
    const char* name;
    bool quarter;
    int w, h;
  };
  for (const Case& c : {Case{"big.jpg", true, 480, 360}, Case{"big.jpg", false, 960, 720},
                        Case{"big.bmp", true, 960, 720}, Case{"small.jpg", false, 800, 600}}) {
    SCOPED_TRACE(std::string(c.name) + (c.quarter ? " quarter" : ""));
    const std::string out = ConvertPicture(dir / c.name, 50, skByExtension, {.quarter = c.quarter});
    const JpegInfo info = Inspect(ReadBytes(out));
    EXPECT_EQ(info.width, c.w);
    EXPECT_EQ(info.height, c.h);
    EXPECT_EQ(info.components, 3);
  }
  // A picture that already fits is still re-encoded at the chosen quality.
  EXPECT_NE(ReadBytes(dir / "small_x.jpg"), ReadBytes(dir / "small.jpg"));
}

TEST(ConvertPicture, ProgressiveSourcesGiveProgressiveOutput) {
  TempDir dir;
  WriteJpeg(dir / "seq.jpg", 40, 30, false);
  WriteJpeg(dir / "prog.jpg", 40, 30, true);
  WriteBmp(dir / "bmp.bmp", 40, 30);
  std::filesystem::copy_file(TestData("jpeg/good/app13-multiple.jpg"), dir / "shared.jpg");
  EXPECT_EQ(Inspect(ReadBytes(ConvertPicture(dir / "seq.jpg", 50, skByExtension, {}))).sof, 0xC0);
  EXPECT_EQ(Inspect(ReadBytes(ConvertPicture(dir / "prog.jpg", 50, skByExtension, {}))).sof, 0xC2);
  EXPECT_EQ(Inspect(ReadBytes(ConvertPicture(dir / "bmp.bmp", 50, skByExtension, {}))).sof, 0xC0);
  EXPECT_EQ(Inspect(ReadBytes(ConvertPicture(dir / "shared.jpg", 50, skByExtension, {}))).sof, 0xC2);
}

TEST(ConvertPicture, GrayscaleSourceGivesThreeEqualChannels) {
  TempDir dir;
  std::filesystem::copy_file(TestData("jpeg/good/hopper_gray.jpg"), dir / "gray.jpg");
  const std::string out = ConvertPicture(dir / "gray.jpg", 80, skByExtension, {});
  EXPECT_EQ(Inspect(ReadBytes(out)).components, 3);
  const Picture p = DecodeFile(out);
  ASSERT_EQ(p.width(), 128);
  int grey_levels = 0;
  for (int y = 0; y < p.height(); ++y) {
    for (int x = 0; x < p.width(); ++x) {
      const Bgr c = p.at(x, y);
      ASSERT_TRUE(c.b == c.g && c.g == c.r) << x << "," << y;
      grey_levels += c.g != p.at(0, 0).g;
    }
  }
  EXPECT_GT(grey_levels, 0);
}

TEST(ConvertPicture, QualityExtremesSetTheQuantizationTables) {
  TempDir dir;
  WriteJpeg(dir / "q.jpg", 32, 32);
  WriteBmp(dir / "q.bmp", 32, 32);
  for (const char* name : {"q.jpg", "q.bmp"}) {
    SCOPED_TRACE(name);
    const auto q0 = Inspect(ReadBytes(ConvertPicture(dir / name, 0, skByExtension, {}))).quant;
    ASSERT_EQ(q0.size(), 128u);
    // Quality 0 is libjpeg's quality 1: every value at the baseline limit.
    EXPECT_TRUE(std::all_of(q0.begin(), q0.end(), [](int v) { return v == 255; }));
    const auto q100 = Inspect(ReadBytes(ConvertPicture(dir / name, 100, skByExtension, {}))).quant;
    ASSERT_EQ(q100.size(), 128u);
    EXPECT_TRUE(std::all_of(q100.begin(), q100.end(), [](int v) { return v == 1; }));
  }
}

TEST(ConvertPicture, OutputEqualsDecodeReduceEncodeByteForByte) {
  TempDir dir;
  // Noise keeps every coefficient busy; sizes that reduce and sizes that fit.
  std::uint32_t seed = 12345;
  const auto noise = [&seed](int x, int y) {
    seed = seed * 1664525u + 1013904223u;
    return Bgr{static_cast<std::uint8_t>(seed >> 24), static_cast<std::uint8_t>(x + (seed >> 28)),
               static_cast<std::uint8_t>(y * 3)};
  };
  WriteBytes(dir / "seq.jpg", EncodeJpeg(MakePicture(1203, 901, noise), 85, false));
  WriteBytes(dir / "prog.jpg", EncodeJpeg(MakePicture(977, 1500, noise), 85, true));
  WriteBytes(dir / "thin.jpg", EncodeJpeg(MakePicture(3000, 7, noise), 85, false));
  std::filesystem::copy_file(TestData("jpeg/bad/junk_jpeg_header.jpg"), dir / "junk.jpg");
  std::filesystem::copy_file(TestData("jpeg/good/iptc.jpg"), dir / "iptc.jpg");
  struct Case {
    const char* name;
    bool quarter, low_colour;
  };
  const Case cases[] = {{"seq.jpg", false, false},  {"seq.jpg", true, false},  {"seq.jpg", false, true},
                        {"prog.jpg", false, false}, {"prog.jpg", true, true},  {"thin.jpg", false, false},
                        {"junk.jpg", false, false}, {"iptc.jpg", true, false}, {"iptc.jpg", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.quarter ? " quarter" : "") + (c.low_colour ? " low colour" : ""));
    DecodedJpeg d = DecodeJpeg(ReadBytes(dir / c.name), {.low_colour_display = c.low_colour});
    ReducePicture(d.picture, c.quarter ? 480 : 960, c.quarter ? 360 : 720);
    const Bytes expected = EncodeJpeg(d.picture, 60, d.multiple_scans);
    const std::string out = ConvertPicture(dir / c.name, 60, skByExtension,
                                           {.quarter = c.quarter, .low_colour_display = c.low_colour});
    EXPECT_TRUE(ReadBytes(out) == expected);
  }
}

TEST(ConvertPicture, DamageFoundAfterTheLastRowFailsAndWritesNothing) {
  // The rows stream into the encoder while the file is still being read; a
  // second frame header just before the end is found only after the last
  // row, and then nothing may be written, the source least of all.
  TempDir dir;
  Bytes jpeg = EncodeJpeg(MakePicture(1500, 1100), 85, false);
  std::size_t sof = 2;
  while (!(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) sof += 2 + (jpeg[sof + 2] << 8 | jpeg[sof + 3]);
  const Bytes frame(
      jpeg.begin() + static_cast<std::ptrdiff_t>(sof),
      jpeg.begin() + static_cast<std::ptrdiff_t>(sof + 2 + (jpeg[sof + 2] << 8 | jpeg[sof + 3])));
  jpeg.insert(jpeg.end() - 2, frame.begin(), frame.end());
  WriteBytes(dir / "late.jpg", jpeg);
  const std::string expected = ErrorOf([&] { DecodeJpeg(jpeg); });
  ASSERT_EQ(expected.rfind("JPEG エラー #", 0), 0u);
  const auto names = FolderNames(dir.path());
  for (const bool overwrite : {false, true}) {
    EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / "late.jpg", 50, skByExtension, {.overwrite = overwrite}); }),
              expected);
    EXPECT_EQ(FolderNames(dir.path()), names);
    EXPECT_TRUE(ReadBytes(dir / "late.jpg") == jpeg);
  }
}

// A copy cut off, or read from a card pulled out half-way: libjpeg only
// warns and makes up grey for the rest, but a reduction of it must fail like
// any damaged file, nothing written and the source neither replaced nor
// trashed. Baseline and progressive, on the streamed path (reduced or as it
// is) and the whole-picture one (an upright turn).
TEST(ConvertPicture, AFileCutShortFailsAndTheOriginalStays) {
  struct Case {
    const char* file;
    bool quarter;
  };
  const Case cases[] = {
      {"jpeg/good/testorig.jpg", false},                 // baseline, fits its box
      {"jpeg/good/multiple-0xff-before-eoi.jpg", true},  // baseline, reduced
      {"jpeg/good/app13-multiple.jpg", false},           // progressive
      {"jpeg/good/hopper_orientation_6.jpg", false},     // turned upright
  };
  const std::string expected = "JPEG エラー #" + std::to_string(JWRN_JPEG_EOF);
  for (const Case& c : cases) {
    const Bytes whole = ReadBytes(TestData(c.file));
    // Cut inside the entropy-coded data of the first scan.
    std::size_t sos = 2;
    while (sos + 4 < whole.size() && !(whole[sos] == 0xFF && whole[sos + 1] == 0xDA)) {
      sos +=
          whole[sos + 1] == 0xFF ? 1 : 2 + (whole[sos + 2] << 8 | whole[sos + 3]);  // fill byte, or a segment
    }
    ASSERT_LT(sos + 4, whole.size());
    const Bytes cut(whole.begin(),
                    whole.begin() + static_cast<std::ptrdiff_t>(sos + (whole.size() - sos) / 2));
    TempDir dir;
    WriteBytes(dir / "cut.jpg", cut);
    FakeTrash trash;
    SCOPED_TRACE(c.file);
    EXPECT_EQ(ErrorOf([&] {
                ConvertPicture(dir / "cut.jpg", 50, skByExtension,
                               {.overwrite = true, .quarter = c.quarter, .trash = &trash});
              }),
              expected);
    EXPECT_TRUE(trash.calls.empty());
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"cut.jpg"});
    EXPECT_TRUE(ReadBytes(dir / "cut.jpg") == cut);
  }
}

// ---- Upright turn -------------------------------------------------------

// Most portraits take the whole-picture path for their turn: the quarter box
// and the progressive scans hold there too.
TEST(ConvertPicture, TurnedProgressiveJpegKeepsQuarterBoxAndScans) {
  TempDir dir;
  WriteBytes(dir / "portrait.jpg", WithOrientation(EncodeJpeg(MakePicture(1600, 1200), 90, true), 6));
  const Bytes written = ReadBytes(ConvertPicture(dir / "portrait.jpg", 50, skByExtension, {.quarter = true}));
  const JpegInfo info = Inspect(written);
  EXPECT_EQ(info.height, 360);  // upright 1200 x 1600 in the 480 x 360 box
  EXPECT_LT(info.width, 271);
  EXPECT_EQ(info.sof, 0xC2);
}

TEST(ConvertPicture, OrientationSixComesOutUprightWithoutTag) {
  TempDir dir;
  // Stored on its side: red on the left, blue on the right; shown turned a
  // quarter clockwise, red is on top.
  const auto red_left = [](int x, int) { return x < 24 ? Bgr{0, 0, 255} : Bgr{255, 0, 0}; };
  const Picture stored = MakePicture(48, 24, red_left);
  WriteBytes(dir / "side.jpg", WithOrientation(EncodeJpeg(stored, 95, false), 6));
  ASSERT_EQ(ReadJpegHeader(ReadBytes(dir / "side.jpg")).orientation, 6);
  const std::string out = ConvertPicture(dir / "side.jpg", 95, skByExtension, {});
  const Bytes written = ReadBytes(out);
  EXPECT_FALSE(Inspect(written).exif);
  EXPECT_EQ(ReadJpegHeader(written).orientation, 1);
  const Picture p = DecodeJpeg(written).picture;
  ASSERT_EQ(p.width(), 24);
  ASSERT_EQ(p.height(), 48);
  EXPECT_GT(p.at(12, 8).r, 200);
  EXPECT_LT(p.at(12, 8).b, 60);
  EXPECT_GT(p.at(12, 40).b, 200);
  EXPECT_LT(p.at(12, 40).r, 60);

  // The shared camera sample: the output matches the source turned clockwise.
  std::filesystem::copy_file(TestData("jpeg/good/hopper_orientation_6.jpg"), dir / "hopper.jpg");
  const Picture src = DecodeFile(dir / "hopper.jpg");
  const Picture turned = DecodeFile(ConvertPicture(dir / "hopper.jpg", 100, skByExtension, {}));
  ASSERT_EQ(turned.width(), src.height());
  ASSERT_EQ(turned.height(), src.width());
  long diff = 0, diff_unturned = 0;
  for (int y = 0; y < turned.height(); ++y) {
    for (int x = 0; x < turned.width(); ++x) {
      const Bgr a = turned.at(x, y), b = src.at(y, src.height() - 1 - x), c = src.at(x, y);
      diff += std::abs(a.g - b.g);
      diff_unturned += std::abs(a.g - c.g);
    }
  }
  const long pixels = turned.width() * turned.height();
  EXPECT_LT(diff, 3 * pixels);
  EXPECT_GT(diff_unturned, 10 * pixels);
}

// ---- Overwriting --------------------------------------------------------

TEST(ConvertPicture, OverwrittenBitmapGoesToTheTrashAfterItsJpegIsWritten) {
  TempDir dir;
  WriteBmp(dir / "b.bmp", 32, 24);
  FakeTrash trash(dir / "b.jpg");
  EXPECT_EQ(ConvertPicture(dir / "b.bmp", 50, skByExtension, {.overwrite = true, .trash = &trash}),
            dir / "b.jpg");
  EXPECT_EQ(trash.calls, std::vector<std::string>{dir / "b.bmp"});
  EXPECT_TRUE(trash.existed_when_called);
  EXPECT_EQ(Inspect(ReadBytes(dir / "b.jpg")).width, 32);
}

TEST(ConvertPicture, OnlyTheConvertedBitmapIsTrashed) {
  TempDir dir;
  // On a case-sensitive file system b.bmp is a different picture from b.BMP.
  WriteBmp(dir / "b.BMP", 32, 24);
  WriteBmp(dir / "b.bmp", 16, 16);
  FakeTrash trash;
  EXPECT_EQ(ConvertPicture(dir / "b.BMP", 50, skByExtension, {.overwrite = true, .trash = &trash}),
            dir / "b.jpg");
  EXPECT_EQ(trash.calls, std::vector<std::string>{dir / "b.BMP"});
  EXPECT_EQ(Inspect(ReadBytes(dir / "b.jpg")).width, 32);

  // On a card, which ignores case, c.bmp reaches c.BMP itself (a second link
  // here): the trash gets the name the card shows.
  WriteBmp(dir / "c.BMP", 32, 24);
  ASSERT_EQ(::link((dir / "c.BMP").c_str(), (dir / "c.bmp").c_str()), 0);
  trash.calls.clear();
  ConvertPicture(dir / "c.BMP", 50, skByExtension, {.overwrite = true, .trash = &trash});
  EXPECT_EQ(trash.calls, std::vector<std::string>{dir / "c.BMP"});

  // An extensionless bitmap stays, and so does a d.BMP that was not converted.
  WriteBmp(dir / "d", 32, 24);
  WriteBmp(dir / "d.BMP", 16, 16);
  trash.calls.clear();
  EXPECT_EQ(ConvertPicture(dir / "d", 50, skBitmap, {.overwrite = true, .trash = &trash}), dir / "d.jpg");
  EXPECT_TRUE(trash.calls.empty());
  EXPECT_TRUE(Exists(dir / "d"));
}

TEST(ConvertPicture, FailedWriteKeepsTheBitmapAndTrashesNothing) {
  TempDir dir;
  WriteBmp(dir / "b.bmp", 32, 24);
  const Bytes before = ReadBytes(dir / "b.bmp");
  // The output name is taken by a folder, which no write may replace.
  std::filesystem::create_directory(dir / "b.jpg");
  FakeTrash trash;
  const std::string message = ErrorOf(
      [&] { ConvertPicture(dir / "b.bmp", 50, skByExtension, {.overwrite = true, .trash = &trash}); });
  EXPECT_EQ(message.rfind("ファイル " + dir / "b.jpg" + " を作成できません。", 0), 0u) << message;
  EXPECT_TRUE(trash.calls.empty());
  EXPECT_EQ(ReadBytes(dir / "b.bmp"), before);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"b.bmp", "b.jpg"}));
}

TEST(ConvertPicture, ReadOnlyFolderLeavesEverythingInPlace) {
  TempDir dir;
  tamtest::ReadOnlyFolder folder(dir.path());
  if (!folder.ok()) GTEST_SKIP() << "no read-only folder to be had";
  WriteBmp(dir / "b.bmp", 32, 24);
  WriteJpeg(dir / "a.jpg", 32, 24);
  const Bytes bitmap = ReadBytes(dir / "b.bmp"), jpeg = ReadBytes(dir / "a.jpg");
  ASSERT_TRUE(folder.Lock());
  FakeTrash trash;
  const ConvertOptions on{.overwrite = true, .trash = &trash};
  for (const char* name : {"b.bmp", "a.jpg"}) {
    const std::string message = ErrorOf([&] { ConvertPicture(dir / name, 50, skByExtension, on); });
    EXPECT_EQ(
        message.rfind("ファイル " + dir / (name[0] == 'b' ? "b.jpg" : "a.jpg") + " を作成できません。", 0),
        0u)
        << message;
  }
  EXPECT_TRUE(trash.calls.empty());
  EXPECT_EQ(ReadBytes(dir / "b.bmp"), bitmap);
  EXPECT_EQ(ReadBytes(dir / "a.jpg"), jpeg);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"a.jpg", "b.bmp"}));
}

// A trash that really takes the files, in order, or refuses them all.
class FolderTrash : public Trash {
 public:
  FolderTrash(std::string folder, bool works) : folder_(std::move(folder)), works_(works) {}
  bool MoveToTrash(const std::string& path) override {
    calls.push_back(path);
    return works_ && ::rename(path.c_str(), (folder_ + "/" + std::to_string(calls.size())).c_str()) == 0;
  }
  std::string LastError() const override { return works_ ? "" : "Permission denied"; }
  std::vector<std::string> calls;

 private:
  std::string folder_;
  bool works_;
};

TEST(ConvertPicture, EveryReplacedFileGoesToTheTrashOrNothingChanges) {
  TempDir dir, bin;
  WriteJpeg(dir / "a.jpg", 64, 48);
  WriteBmp(dir / "b.bmp", 32, 24);
  const std::string other = "someone else's b.jpg";
  tamtest::WriteText(dir / "b.jpg", other);
  const Bytes jpeg = ReadBytes(dir / "a.jpg"), bitmap = ReadBytes(dir / "b.bmp");

  FolderTrash refusing(bin.path(), false);
  const ConvertOptions refused{.overwrite = true, .trash = &refusing};
  for (const char* name : {"a.jpg", "b.bmp"}) {
    const std::string kept = dir / (name[0] == 'a' ? "a.jpg" : "b.jpg");
    EXPECT_EQ(ErrorOf([&] { ConvertPicture(dir / name, 50, skByExtension, refused); }),
              "ファイル " + kept + " をごみ箱に移せないため、上書きしませんでした。Permission denied");
  }
  EXPECT_EQ(ReadBytes(dir / "a.jpg"), jpeg);
  EXPECT_EQ(ReadBytes(dir / "b.bmp"), bitmap);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"a.jpg", "b.bmp", "b.jpg"}));

  FolderTrash taking(bin.path(), true);
  const ConvertOptions on{.overwrite = true, .trash = &taking};
  EXPECT_EQ(ConvertPicture(dir / "a.jpg", 50, skByExtension, on), dir / "a.jpg");
  EXPECT_EQ(ConvertPicture(dir / "b.bmp", 50, skByExtension, on), dir / "b.jpg");
  EXPECT_EQ(taking.calls, (std::vector<std::string>{dir / "a.jpg", dir / "b.jpg", dir / "b.bmp"}));
  EXPECT_EQ(ReadBytes(bin / "1"), jpeg);
  EXPECT_EQ(ReadBytes(bin / "2"), Bytes(other.begin(), other.end()));
  EXPECT_EQ(ReadBytes(bin / "3"), bitmap);
  EXPECT_EQ(Inspect(ReadBytes(dir / "a.jpg")).width, 64);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"a.jpg", "b.jpg"}));
}

// A bitmap saved again while its reduction was being written holds newer
// work: it stays out of the trash, and the error names it.
TEST(ConvertPicture, ABitmapChangedWhileItConvertsStaysOutOfTheTrash) {
  TempDir dir, bin;
  WriteBmp(dir / "b.bmp", 32, 24);
  tamtest::WriteText(dir / "b.jpg", "someone else's b.jpg");
  class SavingMeanwhile : public FolderTrash {  // the bitmap is saved as the old b.jpg goes
   public:
    SavingMeanwhile(std::string folder, std::string bitmap)
        : FolderTrash(std::move(folder), true), bitmap_(std::move(bitmap)) {}
    bool MoveToTrash(const std::string& path) override {
      if (path != bitmap_) WriteBmp(bitmap_, 16, 16);
      return FolderTrash::MoveToTrash(path);
    }

   private:
    std::string bitmap_;
  } trash(bin.path(), dir / "b.bmp");
  const std::string message = ErrorOf(
      [&] { ConvertPicture(dir / "b.bmp", 50, skByExtension, {.overwrite = true, .trash = &trash}); });
  EXPECT_EQ(message.rfind("ファイル " + dir / "b.bmp" + " は読み込んだ後に変更されたため、", 0), 0u)
      << message;
  EXPECT_EQ(trash.calls, std::vector<std::string>{dir / "b.jpg"});
  EXPECT_EQ(DecodeBmp(ReadBytes(dir / "b.bmp")).width(), 16);
}

// Somebody else's bitmap in a folder both may write stays theirs: it does
// not go to our trash, and no .jpg of ours takes its place.
TEST(ConvertPicture, SomebodyElsesBitmapIsNotReplaced) {
  TempDir dir;
  WriteBmp(dir / "b.bmp", 32, 24);  // root's
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  FakeTrash trash;
  const int result = tamtest::RunAsAnotherUser([&] {
    const std::string message = ErrorOf(
        [&] { ConvertPicture(dir / "b.bmp", 50, skByExtension, {.overwrite = true, .trash = &trash}); });
    return message.rfind("ファイル " + dir / "b.bmp" + " はほかのユーザーのファイルのため、", 0) == 0 &&
                   trash.calls.empty()
               ? 0
               : 1;
  });
  if (result == tamtest::kNoUnprivilegedUser) GTEST_SKIP() << "no second user to be had";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"b.bmp"});
}

// The trash took the photo but its name could not then be given to the
// reduced picture (something took it in between): the error says where the
// photo went.
TEST(ConvertPicture, APhotoTrashedButNotReplacedIsSaidToBeInTheTrash) {
  TempDir dir, bin;
  WriteJpeg(dir / "a.jpg", 64, 48);
  class Blocking : public FolderTrash {
   public:
    using FolderTrash::FolderTrash;
    bool MoveToTrash(const std::string& path) override {
      return FolderTrash::MoveToTrash(path) && ::mkdir(path.c_str(), 0755) == 0;
    }
  } trash(bin.path(), true);
  const std::string message = ErrorOf(
      [&] { ConvertPicture(dir / "a.jpg", 50, skByExtension, {.overwrite = true, .trash = &trash}); });
  EXPECT_NE(message.find("。元のファイル " + dir / "a.jpg" + " はごみ箱に移してあります。"),
            std::string::npos)
      << message;
  EXPECT_EQ(FolderNames(bin.path()), std::vector<std::string>{"1"});
}

// An earlier result under the output name is simply replaced. A link there
// (unpacked from an archive, say) goes to the trash itself, and the reduced
// picture takes its name: the file it leads to, here or anywhere else, is
// not touched. So for the JPEG that replaces a bitmap.
TEST(ConvertPicture, ALinkUnderAnOutputNameGoesToTheTrashNotWhatItLeadsTo) {
  TempDir dir, elsewhere, bin;
  WriteJpeg(dir / "a.jpg", 64, 48);
  WriteBmp(dir / "b.bmp", 32, 24);
  WriteJpeg(elsewhere / "holiday.jpg", 40, 30);
  const Bytes holiday = ReadBytes(elsewhere / "holiday.jpg");
  FolderTrash taking(bin.path(), true);
  EXPECT_EQ(ConvertPicture(dir / "a.jpg", 50, skByExtension, {.trash = &taking}), dir / "a_x.jpg");
  EXPECT_EQ(ConvertPicture(dir / "a.jpg", 50, skByExtension, {.trash = &taking}), dir / "a_x.jpg");
  EXPECT_TRUE(taking.calls.empty());  // our own earlier result

  std::filesystem::remove(dir / "a_x.jpg");
  ASSERT_EQ(::symlink((elsewhere / "holiday.jpg").c_str(), (dir / "a_x.jpg").c_str()), 0);
  ASSERT_EQ(::symlink((elsewhere / "holiday.jpg").c_str(), (dir / "b.jpg").c_str()), 0);
  FolderTrash refusing(bin.path(), false);
  EXPECT_NE(ErrorOf([&] { ConvertPicture(dir / "a.jpg", 50, skByExtension, {.trash = &refusing}); }),
            "(no error)");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "a_x.jpg"));
  EXPECT_EQ(ConvertPicture(dir / "a.jpg", 50, skByExtension, {.trash = &taking}), dir / "a_x.jpg");
  EXPECT_EQ(ConvertPicture(dir / "b.bmp", 50, skByExtension, {.overwrite = true, .trash = &taking}),
            dir / "b.jpg");
  EXPECT_EQ(taking.calls, (std::vector<std::string>{dir / "a_x.jpg", dir / "b.jpg", dir / "b.bmp"}));
  EXPECT_EQ(ReadBytes(elsewhere / "holiday.jpg"), holiday);
  EXPECT_TRUE(std::filesystem::is_symlink(bin / "1"));
  EXPECT_EQ(Inspect(ReadBytes(dir / "a_x.jpg")).width, 64);
  EXPECT_EQ(Inspect(ReadBytes(dir / "b.jpg")).width, 32);
}

// The source's folder renamed once the photo is read, and a link to another
// folder put under its old name: the output goes into the renamed folder,
// beside the photo it came from, and the other folder's files of the same
// names are not touched; what goes to the trash is what was read.
TEST(ConvertPicture, TheOutputGoesIntoTheFolderTheSourceWasReadFrom) {
  TempDir dir, bin;
  const std::string photos = dir / "photos", moved = dir / "moved", other = dir / "other";
  ASSERT_EQ(::mkdir(photos.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(other.c_str(), 0755), 0);
  for (const char* name : {"a_x.jpg", "a.jpg", "b.bmp", "b.jpg"})
    tamtest::WriteText(other + "/" + name, name);
  const auto swap = [&] {
    ASSERT_EQ(::rename(photos.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), photos.c_str()), 0);
  };
  const auto undo = [&] {
    ASSERT_EQ(::unlink(photos.c_str()), 0);
    ASSERT_EQ(::rename(moved.c_str(), photos.c_str()), 0);
  };
  const std::string real = std::filesystem::canonical(dir.path()).string() + "/moved";
  WriteJpeg(photos + "/a.jpg", 64, 48);
  WriteBmp(photos + "/b.bmp", 32, 24);
  const Bytes jpeg = ReadBytes(photos + "/a.jpg"), bitmap = ReadBytes(photos + "/b.bmp");

  EXPECT_EQ(ConvertPicture(photos + "/a.jpg", 50, skByExtension, {.after_read = swap}), real + "/a_x.jpg");
  EXPECT_EQ(Inspect(ReadBytes(moved + "/a_x.jpg")).width, 64);
  undo();
  FolderTrash taking(bin.path(), true);
  const ConvertOptions on{.overwrite = true, .trash = &taking, .after_read = swap};
  EXPECT_EQ(ConvertPicture(photos + "/a.jpg", 50, skByExtension, on), real + "/a.jpg");
  undo();
  EXPECT_EQ(ConvertPicture(photos + "/b.bmp", 50, skByExtension, on), real + "/b.jpg");
  EXPECT_EQ(taking.calls, (std::vector<std::string>{real + "/a.jpg", real + "/b.bmp"}));
  EXPECT_EQ(ReadBytes(bin / "1"), jpeg);
  EXPECT_EQ(ReadBytes(bin / "2"), bitmap);
  EXPECT_EQ(Inspect(ReadBytes(moved + "/a.jpg")).width, 64);
  EXPECT_EQ(Inspect(ReadBytes(moved + "/b.jpg")).width, 32);
  for (const char* name : {"a_x.jpg", "a.jpg", "b.bmp", "b.jpg"})
    EXPECT_EQ(ReadBytes(other + "/" + name), Bytes(name, name + std::strlen(name))) << name;
}

TEST(ConvertPicture, AnOutputNameThatReachesTheSourceIsRefused) {
  TempDir dir;
  WriteBmp(dir / "a.bmp", 32, 24);
  WriteJpeg(dir / "c.jpg", 32, 24);
  ASSERT_EQ(::symlink("a.bmp", (dir / "a.jpg").c_str()), 0);
  ASSERT_EQ(::link((dir / "c.jpg").c_str(), (dir / "c_x.jpg").c_str()), 0);
  const Bytes bitmap = ReadBytes(dir / "a.bmp"), jpeg = ReadBytes(dir / "c.jpg");
  FakeTrash trash;
  EXPECT_EQ(ErrorOf([&] {
              ConvertPicture(dir / "a.bmp", 50, skByExtension, {.overwrite = true, .trash = &trash});
            }),
            "ファイル " + dir / "a.jpg" + " は変換元の " + dir / "a.bmp" +
                " と同じファイルのため、書き込みませんでした。");
  EXPECT_NE(ErrorOf([&] { ConvertPicture(dir / "c.jpg", 50, skByExtension, {}); }), "(no error)");
  EXPECT_TRUE(trash.calls.empty());
  EXPECT_EQ(ReadBytes(dir / "a.bmp"), bitmap);
  EXPECT_EQ(ReadBytes(dir / "c.jpg"), jpeg);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"a.bmp", "a.jpg", "c.jpg", "c_x.jpg"}));
}

TEST(ConvertPicture, WithoutATrashGivenTheUsersTrashIsUsed) {
  TempDir home, dir;
  const std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.path().c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  WriteBmp(dir / "b.bmp", 32, 24);
  const std::string written = ConvertPicture(dir / "b.bmp", 50, skByExtension, {.overwrite = true});
  ::setenv("HOME", old_home.c_str(), 1);
  EXPECT_EQ(written, dir / "b.jpg");
  EXPECT_FALSE(Exists(dir / "b.bmp"));
  EXPECT_TRUE(Exists(home / ".local/share/Trash/files/b.bmp"));
  EXPECT_TRUE(Exists(home / ".local/share/Trash/info/b.bmp.trashinfo"));
}

}  // namespace
}  // namespace tam
