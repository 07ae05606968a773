// SPDX-License-Identifier: MIT
#include "picture/jpeg.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <jpeglib.h>
#include <malloc.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "picture/error.h"
#include "picture/jpeg_header.h"
#include "support/testdata.h"

namespace tam {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- helpers: files, the libjpeg-turbo tools, pictures ----

int RunTool(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

void WritePpm(const std::string& path, const Picture& p) {
  const std::string head = "P6\n" + std::to_string(p.width()) + " " + std::to_string(p.height()) + "\n255\n";
  Bytes out(head.begin(), head.end());
  for (int y = 0; y < p.height(); ++y) {
    for (int x = 0; x < p.width(); ++x) {
      const Bgr c = p.at(x, y);
      out.insert(out.end(), {c.r, c.g, c.b});
    }
  }
  tamtest::WriteBytes(path, out);
}

struct DjpegResult {
  int status = 0;  // 0 clean, 2 warnings, 1 refused
  bool grey = false;
  Picture picture;
  std::string messages;
};

DjpegResult Djpeg(const std::string& file, const std::string& options) {
  tamtest::TempDir tmp;
  DjpegResult r;
  r.status = RunTool("djpeg " + options + " -outfile " + Quoted(tmp / "out.pnm") + " " + Quoted(file) +
                     " 2>" + Quoted(tmp / "err.txt"));
  const Bytes err = tamtest::ReadBytes(tmp / "err.txt");
  r.messages.assign(err.begin(), err.end());
  if (r.status != 1) {
    r.grey = tamtest::ReadBytes(tmp / "out.pnm").at(1) == '5';
    r.picture = tamtest::LoadReference(tmp / "out.pnm");
  }
  return r;
}

Picture Expanded(Picture p) {
  p.ToBgr24();
  return p;
}

// The first differing pixel, for a readable failure.
::testing::AssertionResult SamePixels(const Picture& actual, const Picture& expected) {
  if (actual.width() != expected.width() || actual.height() != expected.height()) {
    return ::testing::AssertionFailure() << "size " << actual.width() << "x" << actual.height()
                                         << ", expected " << expected.width() << "x" << expected.height();
  }
  for (int y = 0; y < actual.height(); ++y) {
    for (int x = 0; x < actual.width(); ++x) {
      if (!(actual.at(x, y) == expected.at(x, y))) {
        const Bgr a = actual.at(x, y), e = expected.at(x, y);
        return ::testing::AssertionFailure()
               << "pixel (" << x << "," << y << ") is bgr " << int(a.b) << "," << int(a.g) << "," << int(a.r)
               << ", expected " << int(e.b) << "," << int(e.g) << "," << int(e.r);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

int MaxDifference(const Picture& a, const Picture& b) {
  int worst = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const Bgr p = a.at(x, y), q = b.at(x, y);
      worst = std::max({worst, std::abs(p.b - q.b), std::abs(p.g - q.g), std::abs(p.r - q.r)});
    }
  }
  return worst;
}

std::vector<std::string> JpegFiles(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(tamtest::TestData(folder))) {
    if (entry.path().extension() == ".jpg") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Gradients with some noise, at a size that leaves partial MCUs.
Picture TestPicture(int width, int height) {
  Picture p = Picture::Bgr24(width, height);
  std::uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245u + 12345u;
      std::uint8_t* d = p.row(y) + 3 * x;
      d[0] = static_cast<std::uint8_t>(x * 255 / width);
      d[1] = static_cast<std::uint8_t>(y * 255 / height);
      d[2] = static_cast<std::uint8_t>((seed >> 16) & 0xFF);
    }
  }
  return p;
}

// The quantization tables of a stream, each as its 64 values.
std::vector<std::vector<int>> QuantTables(const Bytes& jpeg) {
  std::vector<std::vector<int>> tables;
  std::size_t pos = 2;
  while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] != 0xDA) {
    const std::size_t length = jpeg[pos + 2] << 8 | jpeg[pos + 3];
    if (jpeg[pos + 1] == 0xDB) {
      for (std::size_t at = pos + 4; at < pos + 2 + length;) {
        const bool wide = jpeg[at++] >> 4;
        std::vector<int> table;
        for (int i = 0; i < 64; ++i, at += wide ? 2 : 1)
          table.push_back(wide ? jpeg[at] << 8 | jpeg[at + 1] : jpeg[at]);
        tables.push_back(table);
      }
    }
    pos += 2 + length;
  }
  return tables;
}

// ---- encoder ----

TEST(JpegEncode, MatchesCjpegByteForByte) {
  tamtest::TempDir tmp;
  const Picture picture = TestPicture(75, 43);
  WritePpm(tmp / "in.ppm", picture);
  for (int quality : {0, 1, 50, 100}) {
    for (bool progressive : {false, true}) {
      SCOPED_TRACE("quality " + std::to_string(quality) + (progressive ? " progressive" : " baseline"));
      const std::string out = tmp / "cjpeg.jpg";
      ASSERT_EQ(RunTool("cjpeg -quality " + std::to_string(quality) + " -baseline" +
                        (progressive ? " -progressive" : "") + " -outfile " + Quoted(out) + " " +
                        Quoted(tmp / "in.ppm")),
                0);
      EXPECT_EQ(EncodeJpeg(picture, quality, progressive), tamtest::ReadBytes(out));
    }
  }
}

TEST(JpegEncode, QualityZeroActsAsOneAndHundredUsesUnitTables) {
  const Picture picture = TestPicture(16, 16);
  EXPECT_EQ(EncodeJpeg(picture, 0, false), EncodeJpeg(picture, 1, false));
  const auto tables = QuantTables(EncodeJpeg(picture, 100, false));
  ASSERT_EQ(tables.size(), 2u);
  for (const auto& table : tables) EXPECT_EQ(table, std::vector<int>(64, 1));
  // Baseline tables stay 8-bit even at the lowest quality.
  for (const auto& table : QuantTables(EncodeJpeg(picture, 0, true))) {
    EXPECT_EQ(*std::max_element(table.begin(), table.end()), 255);
  }
}

TEST(JpegEncode, PalettePictureEncodesAsItsColours) {
  Picture indexed = Picture::Indexed8(19, 11, {{0, 0, 255}, {10, 200, 30}, {255, 255, 255}});
  for (std::size_t i = 0; i < indexed.pixels().size(); ++i) indexed.pixels()[i] = i % 5;  // 3, 4: off the end
  const Picture expanded = Expanded(indexed);
  EXPECT_EQ(EncodeJpeg(indexed, 75, false), EncodeJpeg(expanded, 75, false));
}

TEST(JpegEncode, EmptyPictureGivesNoDataAndOversizeFails) {
  EXPECT_TRUE(EncodeJpeg(Picture(), 50, false).empty());
  EXPECT_TRUE(EncodeJpeg(Picture::Bgr24(5, 0), 50, true).empty());
  // libjpeg's limit of 65500 pixels a side, reported as its error.
  try {
    EncodeJpeg(Picture::Bgr24(65501, 1), 50, false);
    ADD_FAILURE() << "encoded";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "JPEG エラー #" + std::to_string(JERR_IMAGE_TOO_BIG));
  }
}

TEST(JpegEncode, WriterGivenUpHalfWayReleasesItsGrownOutput) {
  // Enough rows of noise that the output buffer has grown several times
  // before the writer is dropped without Finish (a decoding error upstream).
  const Picture picture = TestPicture(1500, 400);
  for (int rows : {0, 150, 399}) {
    JpegWriter writer(picture.width(), picture.height(), 100, rows == 150);
    for (int y = 0; y < rows; ++y) {
      const std::uint8_t* row = picture.row(y);
      writer.WriteRows(&row, 1);
    }
  }
  // And a finished one hands back the same stream as EncodeJpeg.
  JpegWriter writer(picture.width(), picture.height(), 100, false);
  for (int y = 0; y < picture.height(); ++y) {
    const std::uint8_t* row = picture.row(y);
    writer.WriteRows(&row, 1);
  }
  EXPECT_EQ(writer.Finish(), EncodeJpeg(picture, 100, false));
}

// ---- decoder ----

const std::set<std::string> kProgressive = {"app13-multiple.jpg",         "jpg-progressive.jpg",
                                            "non-interleaved-mcu.jpg",    "partial_progressive.jpg",
                                            "subtract-with-overflow.jpg", "truncated_jpeg.jpg"};

// Our decode of a file djpeg accepted must be djpeg's, pixel for pixel:
// grayscale sources against its 236-colour quantization, and colour ones too
// when the display is low on colours (CMYK stays unquantized).
void ExpectSameAsDjpeg(const std::string& file, const DjpegResult& plain) {
  const std::string name = std::filesystem::path(file).filename();
  const Bytes bytes = tamtest::ReadBytes(file);
  for (bool low_colour : {false, true}) {
    SCOPED_TRACE(name + (low_colour ? " low colour" : ""));
    DecodedJpeg ours;
    ASSERT_NO_THROW(ours = DecodeJpeg(bytes, {.low_colour_display = low_colour}));
    EXPECT_EQ(ours.multiple_scans, kProgressive.contains(name));
    const bool cmyk = name.find("cmyk") != std::string::npos;
    const bool quantized = plain.grey || (low_colour && !cmyk);
    ASSERT_EQ(ours.picture.format(), quantized ? PixelFormat::Indexed8 : PixelFormat::Bgr24);
    if (quantized) {
      EXPECT_LE(ours.picture.palette().size(), 236u);
      EXPECT_TRUE(SamePixels(Expanded(ours.picture), Djpeg(file, "-colors 236 -ppm").picture));
    } else {
      EXPECT_TRUE(SamePixels(ours.picture, plain.picture));
    }
  }
}

TEST(JpegDecode, GoodFilesDecodeAsDjpegDoes) {
  const auto files = JpegFiles("jpeg/good");
  ASSERT_GE(files.size(), 15u);
  for (const auto& file : files) {
    const DjpegResult plain = Djpeg(file, "-ppm");
    ASSERT_EQ(plain.status, 0) << file;
    ExpectSameAsDjpeg(file, plain);
  }
}

// Damaged and unusual files: refused with libjpeg's own error (the code
// naming the message djpeg printed), or decoded to djpeg's pixels.
TEST(JpegDecode, BadAndUnusualFilesFailOrDecodeAsDjpegDoes) {
  jpeg_error_mgr messages;
  jpeg_std_error(&messages);
  auto files = JpegFiles("jpeg/bad");
  const auto unusual = JpegFiles("jpeg/unusual");
  files.insert(files.end(), unusual.begin(), unusual.end());
  ASSERT_GE(files.size(), 20u);
  for (const auto& file : files) {
    SCOPED_TRACE(file);
    const DjpegResult plain = Djpeg(file, "-ppm");
    if (plain.status != 1) {
      ExpectSameAsDjpeg(file, plain);
      continue;
    }
    try {
      DecodeJpeg(tamtest::ReadBytes(file));
      ADD_FAILURE() << "decoded a file djpeg refuses";
    } catch (const Error& e) {
      std::smatch m;
      const std::string what = e.what();
      ASSERT_TRUE(std::regex_match(what, m, std::regex("JPEG エラー #([0-9]+)"))) << what;
      const int code = std::stoi(m[1]);
      ASSERT_LE(code, messages.last_jpeg_message);
      const std::string text = messages.jpeg_message_table[code];
      EXPECT_NE(plain.messages.find(text.substr(0, text.find('%'))), std::string::npos)
          << "#" << code << " \"" << text << "\" vs djpeg: " << plain.messages;
    }
  }
}

// Patches the frame header of a small stream to claim another size.
Bytes WithClaimedSize(Bytes jpeg, int width, int height) {
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      jpeg[i + 5] = height >> 8, jpeg[i + 6] = height & 0xFF;
      jpeg[i + 7] = width >> 8, jpeg[i + 8] = width & 0xFF;
      return jpeg;
    }
  }
  throw std::runtime_error("no frame header");
}

// A progressive file's coefficients, the decoder's largest buffer, must go
// with the decoder however the decoding ends (finished, given up
// half-way, failed), or a long batch of photos would keep every one.
TEST(JpegDecode, CoefficientMemoryGoesWithTheDecoder) {
  // The heap in use, the large blocks malloc maps of its own included.
  const auto in_use = [] {
    const struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
  };
  const Bytes progressive = EncodeJpeg(TestPicture(700, 500), 80, true);  // about 1 MB of coefficients
  Bytes truncated(progressive.begin(),
                  progressive.begin() + static_cast<std::ptrdiff_t>(progressive.size() / 2));
  const auto decode_all = [&] {
    for (int i = 0; i < 3; ++i) {
      DecodeJpeg(progressive);
      DecodeJpeg(truncated);  // decodes what there is, as libjpeg does
      EXPECT_THROW(DecodeJpeg(truncated, {.cut_short_is_error = true}), Error);
      JpegReader abandoned(progressive, {});
      abandoned.Start();
    }
  };
  decode_all();
  const std::size_t before = in_use();
  for (int round = 0; round < 10; ++round) decode_all();
  EXPECT_LT(in_use(), before + (std::size_t{1} << 20));
}

TEST(JpegDecode, RefusesPicturesTooLargeBeforeDecoding) {
  const Bytes small = EncodeJpeg(TestPicture(8, 8), 50, false);
  for (const auto& [w, h] : {std::pair{65000, 65000}, std::pair{46341, 46341}, std::pair{65500, 32800}}) {
    try {
      DecodeJpeg(WithClaimedSize(small, w, h));
      ADD_FAILURE() << w << "x" << h << " decoded";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("画像が大きすぎ"), std::string::npos) << e.what();
    }
  }
}

TEST(JpegDecode, CmykIsConvertedFromAdobesInvertedForm) {
  // Adobe CMYK (and YCCK) against the reference rendering made by another tool.
  const Picture ours = DecodeJpeg(tamtest::ReadBytes(tamtest::TestData("jpeg/good/jpg-cmyk-1.jpg"))).picture;
  const Picture reference = tamtest::LoadReference(tamtest::TestData("jpeg/ref/jpg-cmyk-1.png"));
  ASSERT_EQ(ours.width(), reference.width());
  EXPECT_LE(MaxDifference(ours, reference), 2);
}

// A flat 16 x 16 CMYK stream, with or without Adobe's APP14 marker.
Bytes FlatCmyk(const std::uint8_t (&cmyk)[4], bool adobe) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = c.image_height = 16;
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 100, TRUE);
  c.write_Adobe_marker = adobe;
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> row;
  for (int x = 0; x < 16; ++x) row.insert(row.end(), std::begin(cmyk), std::end(cmyk));
  JSAMPROW rows[1] = {row.data()};
  while (c.next_scanline < 16) jpeg_write_scanlines(&c, rows, 1);
  jpeg_finish_compress(&c);
  Bytes out(buffer, buffer + size);
  jpeg_destroy_compress(&c);
  std::free(buffer);
  return out;
}

TEST(JpegDecode, CmykWithoutAdobeMarkerIsPlainInk) {
  const std::uint8_t cmyk[4] = {200, 100, 50, 230};
  const auto ink = [](int a, int b) { return (a * b + 127) / 255; };
  for (bool adobe : {true, false}) {
    SCOPED_TRACE(adobe);
    const DecodedJpeg d = DecodeJpeg(FlatCmyk(cmyk, adobe), {.low_colour_display = true});
    ASSERT_EQ(d.picture.format(), PixelFormat::Bgr24);
    const Bgr got = d.picture.at(7, 9);
    // Adobe stores 255 for no ink; plain CMYK stores 255 for full ink.
    const int k = adobe ? cmyk[3] : 255 - cmyk[3];
    const int c = adobe ? cmyk[0] : 255 - cmyk[0], m = adobe ? cmyk[1] : 255 - cmyk[1],
              y = adobe ? cmyk[2] : 255 - cmyk[2];
    EXPECT_NEAR(got.r, ink(c, k), 1);
    EXPECT_NEAR(got.g, ink(m, k), 1);
    EXPECT_NEAR(got.b, ink(y, k), 1);
  }
}

TEST(JpegDecode, RowReaderHandsOutRowsInAnyBatchSize) {
  const Bytes file = tamtest::ReadBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  const Picture whole = DecodeJpeg(file).picture;
  JpegReader reader(file);
  EXPECT_FALSE(reader.quantized());
  Picture rows = Picture::Bgr24(reader.width(), reader.height());
  int batch = 1;
  while (reader.next_row() < reader.height()) {
    std::vector<std::uint8_t*> pointers;
    for (int i = 0; i < batch && reader.next_row() + i < reader.height(); ++i) {
      pointers.push_back(rows.row(reader.next_row() + i));
    }
    const int first = reader.next_row();
    const int got = reader.ReadRows(pointers.data(), static_cast<int>(pointers.size()));
    ASSERT_EQ(got, static_cast<int>(pointers.size())) << "from row " << first;
    batch = batch % 37 + 3;
  }
  reader.Finish();
  EXPECT_TRUE(SamePixels(rows, whole));
}

// ---- EXIF orientation ----

// A JPEG whose APP1 holds an IFD0 with one orientation entry.
Bytes WithExif(const Bytes& jpeg, int value, bool big_endian, int type = 3) {
  Bytes tiff;
  auto u16 = [&](int v) {
    if (big_endian) {
      tiff.insert(tiff.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
    } else {
      tiff.insert(tiff.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    }
  };
  auto u32 = [&](std::uint32_t v) {
    if (big_endian) {
      u16(v >> 16), u16(v & 0xFFFF);
    } else {
      u16(v & 0xFFFF), u16(v >> 16);
    }
  };
  u16(big_endian ? 0x4D4D : 0x4949);  // "MM" or "II"
  u16(42), u32(8);                    // header, IFD0 right after it
  u16(1);                             // one entry
  u16(0x0112), u16(type), u32(1);     // orientation, SHORT, one value
  u16(value), u16(0);                 // value left-aligned in the 4-byte field
  u32(0);                             // no next IFD
  Bytes segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  segment.insert(segment.end(), tiff.begin(), tiff.end());
  segment[2] = (segment.size() - 2) >> 8, segment[3] = (segment.size() - 2) & 0xFF;
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), segment.begin(), segment.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

TEST(ExifOrientation, ReadsTheTagAndFallsBackToOne) {
  const Bytes plain = EncodeJpeg(TestPicture(8, 8), 50, false);
  for (bool big_endian : {false, true}) {
    for (int value = 1; value <= 8; ++value) {
      EXPECT_EQ(ReadJpegHeader(WithExif(plain, value, big_endian)).orientation, value) << value << big_endian;
    }
    EXPECT_EQ(ReadJpegHeader(WithExif(plain, 0, big_endian)).orientation, 1);
    EXPECT_EQ(ReadJpegHeader(WithExif(plain, 9, big_endian)).orientation, 1);
    EXPECT_EQ(ReadJpegHeader(WithExif(plain, 6, big_endian, 2)).orientation, 1);  // ASCII, not a number
  }
  EXPECT_EQ(ReadJpegHeader(plain).orientation, 1);
  EXPECT_EQ(ReadJpegHeader({}).orientation, 1);
  EXPECT_EQ(
      ReadJpegHeader(tamtest::ReadBytes(tamtest::TestData("jpeg/good/hopper_orientation_6.jpg"))).orientation,
      6);
  EXPECT_EQ(ReadJpegHeader(tamtest::ReadBytes(tamtest::TestData("jpeg/good/pil_sample_rgb.jpg"))).orientation,
            1);
  // A segment length running past the end, and EXIF cut inside its IFD.
  Bytes cut = WithExif(plain, 6, false);
  EXPECT_EQ(ReadJpegHeader(Bytes(cut.begin(), cut.begin() + 20)).orientation, 1);
  EXPECT_EQ(ReadJpegHeader(Bytes(cut.begin(), cut.begin() + 30)).orientation, 1);
  cut[5] = 20;  // APP1 ends inside the entry
  EXPECT_EQ(ReadJpegHeader(cut).orientation, 1);
}

// Only streams every presentation reader shows are kept as they are.
TEST(JpegHeader, JudgesWhichStreamsCanBeStoredAsTheyAre) {
  struct Case {
    const char* file;
    bool portable;
    int width, height;
  } cases[] = {
      {"jpeg/good/testorig.jpg", true, 227, 149},
      {"jpeg/good/app13-multiple.jpg", true, 256, 160},  // progressive, a huge APP13 before the frame
      {"jpeg/good/grayscale_24x16_sampling2x2.jpg", true, 24, 16},
      {"jpeg/good/jpg-cmyk-1.jpg", false, 32, 32},
      {"jpeg/good/pil_sample_cmyk.jpg", false, 100, 100},
      {"jpeg/unusual/testimgari.jpg", false, 227, 149},  // arithmetic coding
      {"jpeg/unusual/monkey12.jpg", false, 0, 0},        // 12-bit samples
  };
  for (const auto& c : cases) {
    const JpegHeader header = ReadJpegHeader(tamtest::ReadBytes(tamtest::TestData(c.file)));
    EXPECT_EQ(header.portable(), c.portable) << c.file;
    if (c.width) {
      EXPECT_EQ(header.width, c.width) << c.file;
      EXPECT_EQ(header.height, c.height) << c.file;
    }
  }
  // Damaged streams never read past their end and are never kept.
  for (const char* f : {"missing-sof.jpg", "empty.jpg", "truncated_app14.jpg", "junk_jpeg_header.jpg"})
    EXPECT_FALSE(
        ReadJpegHeader(tamtest::ReadBytes(tamtest::TestData(std::string("jpeg/bad/") + f))).portable())
        << f;
  const Bytes whole = tamtest::ReadBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  for (std::size_t n = 0; n < 700; ++n) ReadJpegHeader(std::span(whole).first(n));
  EXPECT_FALSE(ReadJpegHeader(Bytes{0xFF, 0xD8}).portable());
}

// One walk serves both facts: an EXIF segment after the frame header still
// turns the picture, and a damaged segment after the frame header hides the
// EXIF behind it but not the frame.
TEST(JpegHeader, ReadsTheFrameAndTheOrientationWhicheverComesFirst) {
  const Bytes plain = EncodeJpeg(TestPicture(8, 8), 50, false);
  const Bytes exif = WithExif(plain, 6, false);
  const Bytes exif_segment(exif.begin() + 2,
                           exif.begin() + 2 + static_cast<std::ptrdiff_t>(exif.size() - plain.size()));
  // Where the frame header (SOF0) of the plain stream ends.
  std::size_t after_frame = 2;
  while (plain[after_frame + 1] != 0xC0)
    after_frame += 2 + (plain[after_frame + 2] << 8 | plain[after_frame + 3]);
  after_frame += 2 + (plain[after_frame + 2] << 8 | plain[after_frame + 3]);

  Bytes late = plain;
  late.insert(late.begin() + static_cast<std::ptrdiff_t>(after_frame), exif_segment.begin(),
              exif_segment.end());
  JpegHeader header = ReadJpegHeader(late);
  EXPECT_EQ(header.orientation, 6);
  EXPECT_EQ(header.width, 8);
  EXPECT_TRUE(header.portable());

  Bytes damaged = late;
  damaged[after_frame] = 0x00;  // no marker where the EXIF segment starts
  header = ReadJpegHeader(damaged);
  EXPECT_EQ(header.orientation, 1);
  EXPECT_EQ(header.height, 8);
}

// Tables may come before the frame header (DHT, and DAC or the reserved JPG
// marker in the same number range): none of them is taken for the frame.
TEST(JpegHeader, SegmentsNumberedLikeFramesBeforeTheFrameAreNotIt) {
  const Bytes plain = EncodeJpeg(TestPicture(8, 8), 50, false);
  for (const std::uint8_t marker : {0xC4, 0xC8, 0xCC}) {
    // Read as a frame, it would say 8-bit, 16 x 16, three components.
    Bytes early = {0xFF, 0xD8, 0xFF, marker, 0, 8, 8, 0, 16, 0, 16, 3};
    early.insert(early.end(), plain.begin() + 2, plain.end());
    const JpegHeader header = ReadJpegHeader(early);
    EXPECT_EQ(header.frame_marker, 0xC0) << int{marker};
    EXPECT_EQ(header.width, 8) << int{marker};
    EXPECT_TRUE(header.portable()) << int{marker};
  }
}

// Where the stored first row and first column lie in the upright picture,
// by orientation, as EXIF defines them.
enum Side { kTop, kBottom, kLeft, kRight };
const std::pair<Side, Side> kLayout[9] = {{},
                                          {kTop, kLeft},
                                          {kTop, kRight},
                                          {kBottom, kRight},
                                          {kBottom, kLeft},
                                          {kLeft, kTop},
                                          {kRight, kTop},
                                          {kRight, kBottom},
                                          {kLeft, kBottom}};

// The stored form of an upright picture under an orientation.
Picture Stored(const Picture& upright, int orientation) {
  const auto [row_side, column_side] = kLayout[orientation];
  const bool swaps = row_side == kLeft || row_side == kRight;
  const int w = swaps ? upright.height() : upright.width();
  const int h = swaps ? upright.width() : upright.height();
  const int uw = upright.width(), uh = upright.height();
  Picture stored = upright.format() == PixelFormat::Bgr24 ? Picture::Bgr24(w, h)
                                                          : Picture::Indexed8(w, h, upright.palette());
  const int n = upright.bytes_per_pixel();
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int ux = 0, uy = 0;
      switch (row_side) {  // stored row y runs in from this side
        case kTop:
          uy = y;
          break;
        case kBottom:
          uy = uh - 1 - y;
          break;
        case kLeft:
          ux = y;
          break;
        case kRight:
          ux = uw - 1 - y;
          break;
      }
      switch (column_side) {  // stored column x runs in from this side
        case kTop:
          uy = x;
          break;
        case kBottom:
          uy = uh - 1 - x;
          break;
        case kLeft:
          ux = x;
          break;
        case kRight:
          ux = uw - 1 - x;
          break;
      }
      std::copy_n(upright.row(uy) + n * ux, n, stored.row(y) + n * x);
    }
  }
  return stored;
}

TEST(ExifOrientation, TurnsEveryOrientationUpright) {
  const Picture upright = TestPicture(5, 3);
  Picture indexed = Picture::Indexed8(4, 7, {{1, 2, 3}, {4, 5, 6}});
  for (std::size_t i = 0; i < indexed.pixels().size(); ++i) indexed.pixels()[i] = (i * i / 3) % 2;
  for (const Picture& original : {upright, indexed, Picture::Bgr24(0, 4)}) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
      SCOPED_TRACE(orientation);
      Picture turned = Stored(original, orientation);
      ApplyOrientation(turned, orientation);
      ASSERT_EQ(turned.format(), original.format());
      EXPECT_EQ(turned.width(), original.width());
      EXPECT_EQ(turned.height(), original.height());
      EXPECT_EQ(turned.pixels(), original.pixels());
      EXPECT_EQ(turned.palette(), original.palette());
    }
  }
  Picture same = upright;
  ApplyOrientation(same, 0);
  ApplyOrientation(same, 9);
  EXPECT_EQ(same.pixels(), upright.pixels());
}

TEST(ExifOrientation, TaggedFilesComeOutUpright) {
  // Four flat 16 x 16 blocks, so that the JPEG round trip keeps them clear.
  Picture upright = Picture::Bgr24(32, 48);
  const Bgr colours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}, {0, 0, 0}, {128, 128, 0}};
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 32; ++x) {
      const Bgr c = colours[(y / 16) * 2 + x / 16];
      std::uint8_t* d = upright.row(y) + 3 * x;
      d[0] = c.b, d[1] = c.g, d[2] = c.r;
    }
  }
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    const Bytes file =
        WithExif(EncodeJpeg(Stored(upright, orientation), 95, false), orientation, orientation % 2);
    Picture decoded = DecodeJpeg(file).picture;
    ApplyOrientation(decoded, ReadJpegHeader(file).orientation);
    ASSERT_EQ(decoded.width(), 32);
    for (int block = 0; block < 6; ++block) {
      const Bgr c = decoded.at((block % 2) * 16 + 8, (block / 2) * 16 + 8), e = colours[block];
      EXPECT_LE(std::max({std::abs(c.b - e.b), std::abs(c.g - e.g), std::abs(c.r - e.r)}), 4) << block;
    }
  }
  // The sample photo: its stored first column becomes the top row.
  const Bytes hopper = tamtest::ReadBytes(tamtest::TestData("jpeg/good/hopper_orientation_6.jpg"));
  const Picture stored = DecodeJpeg(hopper).picture;
  Picture turned = stored;
  ApplyOrientation(turned, ReadJpegHeader(hopper).orientation);
  for (int y = 0; y < stored.height(); ++y) ASSERT_EQ(turned.at(stored.height() - 1 - y, 0), stored.at(0, y));
}

}  // namespace
}  // namespace tam
