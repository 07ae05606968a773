// SPDX-License-Identifier: MIT
#include "picture/ycc.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "picture/jpeg.h"

namespace tam {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A picture given as Y, Cb, Cr samples (3 bytes a pixel) encoded as they
// are, the colour-difference planes sampled down by the encoder.
Bytes EncodeYcc(const Bytes& ycc, int w, int h, int h_samp, int v_samp, int quality) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(w);
  c.image_height = static_cast<JDIMENSION>(h);
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  c.comp_info[0].h_samp_factor = h_samp;
  c.comp_info[0].v_samp_factor = v_samp;
  for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(ycc.data() + std::size_t{c.next_scanline} * w * 3);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  Bytes file(out, out + size);
  std::free(out);
  jpeg_destroy_compress(&c);
  return file;
}

// Every row as libjpeg's decoder makes it.
Bytes ThroughLibjpeg(const Bytes& file) {
  JpegReader reader(file);
  Bytes bgr(static_cast<std::size_t>(reader.width()) * reader.height() * 3);
  for (std::int32_t y = 0; y < reader.height(); ++y) {
    std::uint8_t* row = bgr.data() + static_cast<std::size_t>(y) * reader.width() * 3;
    EXPECT_EQ(reader.ReadRows(&row, 1), 1);
  }
  reader.Finish();
  return bgr;
}

// Every row made from the planes; nullopt when the reader keeps them.
std::optional<Bytes> ThroughPlanes(const Bytes& file, YccToBgr::Kernels kernels) {
  JpegReader reader(file);
  if (!reader.HandOutPlanes()) return std::nullopt;
  const JpegReader::PlaneLayout& p = reader.plane_layout();
  const std::size_t rows = static_cast<std::size_t>(p.groups) * p.group_rows;
  const std::size_t chroma_rows = static_cast<std::size_t>(p.groups) * p.chroma_group_rows;
  Bytes y(rows * p.stride), cb(chroma_rows * p.chroma_stride), cr(chroma_rows * p.chroma_stride);
  for (std::int32_t g = 0; g < p.groups; ++g) {
    std::vector<std::uint8_t*> yr, cbr, crr;
    for (int i = 0; i < p.group_rows; ++i) yr.push_back(&y[(g * p.group_rows + i) * p.stride]);
    for (int i = 0; i < p.chroma_group_rows; ++i) {
      cbr.push_back(&cb[(g * p.chroma_group_rows + i) * p.chroma_stride]);
      crr.push_back(&cr[(g * p.chroma_group_rows + i) * p.chroma_stride]);
    }
    reader.ReadPlanes(yr.data(), cbr.data(), crr.data());
  }
  reader.Finish();
  YccToBgr convert(p.sampling, reader.width(), p.chroma_width, kernels);
  Bytes bgr(static_cast<std::size_t>(reader.width()) * reader.height() * 3);
  for (std::int32_t row = 0; row < reader.height(); ++row) {
    const ChromaRows c = ChromaRowsFor(p.sampling, row, p.chroma_height);
    convert.Row(&y[row * p.stride], &cb[c.near * p.chroma_stride], &cr[c.near * p.chroma_stride],
                &cb[c.far * p.chroma_stride], &cr[c.far * p.chroma_stride],
                bgr.data() + static_cast<std::size_t>(row) * reader.width() * 3);
  }
  return bgr;
}

void ExpectSameRows(const Bytes& file, bool planes_expected, const std::string& label) {
  SCOPED_TRACE(label);
  const Bytes reference = ThroughLibjpeg(file);
  for (const auto kernels : {YccToBgr::Kernels::kFastest, YccToBgr::Kernels::kPlain}) {
    const std::optional<Bytes> made = ThroughPlanes(file, kernels);
    ASSERT_EQ(made.has_value(), planes_expected);
    if (made) {
      EXPECT_TRUE(*made == reference) << (kernels == YccToBgr::Kernels::kPlain ? "plain" : "fastest");
    }
  }
}

// Flat 8 x 8 blocks at quality 100 come back exactly: one block for each of
// the 65536 colour-difference pairs, with the brightness at either end of its
// range (where the sums leave 0..255 most) and varying from block to block.
TEST(YccToBgr, ConvertsEveryColourDifferencePairAsLibjpegDoes) {
  constexpr int kSide = 256 * 8;
  for (const int brightness : {0, 255, -1}) {
    Bytes ycc(static_cast<std::size_t>(kSide) * kSide * 3);
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        const int bx = x / 8, by = y / 8;
        std::uint8_t* p = &ycc[(static_cast<std::size_t>(y) * kSide + x) * 3];
        p[0] = static_cast<std::uint8_t>(brightness >= 0 ? brightness : (bx * 7 + by * 13) % 256);
        p[1] = static_cast<std::uint8_t>(bx);
        p[2] = static_cast<std::uint8_t>(by);
      }
    }
    ExpectSameRows(EncodeYcc(ycc, kSide, kSide, 1, 1, 100), true, "brightness " + std::to_string(brightness));
  }
}

// Noise makes every rounding of the smoothing come up, at the picture's
// edges, between groups of rows and in the tails the wide kernels leave.
TEST(YccToBgr, UpsamplesEverySamplingAtNarrowAndOddSizesAsLibjpegDoes) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> sample(0, 255);
  const int widths[] = {1, 2, 3, 4, 5, 6, 7, 9, 16, 17, 31, 33, 34, 47, 65, 130};
  const int heights[] = {1, 2, 3, 8, 9, 15, 16, 17, 31, 33};
  for (const auto& [h_samp, v_samp] : {std::pair{1, 1}, std::pair{2, 1}, std::pair{2, 2}}) {
    for (const int w : widths) {
      for (const int h : heights) {
        Bytes ycc(static_cast<std::size_t>(w) * h * 3);
        for (auto& b : ycc) b = static_cast<std::uint8_t>(sample(rng));
        // libjpeg smooths a halved row only when it has more than two samples.
        const bool planes = h_samp == 1 || (w + 1) / 2 > 2;
        ExpectSameRows(EncodeYcc(ycc, w, h, h_samp, v_samp, 90), planes,
                       std::to_string(w) + "x" + std::to_string(h) + " sampled " + std::to_string(h_samp) +
                           "x" + std::to_string(v_samp));
      }
    }
  }
}

}  // namespace
}  // namespace tam
