#include "picture/decode_reduce.h"

#include <gtest/gtest.h>

#include "support/testdata.h"

namespace tam {
namespace {

Picture Noise(std::int32_t w, std::int32_t h) {
  Picture p = Picture::Bgr24(w, h);
  std::uint32_t seed = static_cast<std::uint32_t>(w * 7919 + h);
  for (std::int32_t y = 0; y < h; ++y) {
    for (std::int32_t x = 0; x < 3 * w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      // Smooth enough to keep some structure, noisy enough to use every bit.
      p.row(y)[x] = static_cast<std::uint8_t>(((x / 3 + y) & 0xFF) ^ (seed >> 29));
    }
  }
  return p;
}

TEST(DecodeReduced, SameBytesAsDecodingWholeThenReducing) {
  struct Case {
    std::int32_t w, h, box_w, box_h;
    bool progressive, low_colour;
  };
  const Case cases[] = {
      {1203, 901, 960, 720, false, false},  // two threads
      {961, 722, 960, 720, false, false},   // barely reduces: bands of one or two rows
      {4000, 40, 960, 720, false, false},   // few source rows, many columns
      {40, 4000, 960, 720, true, false},    // tall: wide bands of source rows
      {1000, 749, 480, 360, true, false},
      {1500, 1100, 960, 720, false, true},  // palette rows expanded on the way
      {300, 200, 100, 100, false, false},   // small: one thread
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " in " + std::to_string(c.box_w) + "x" +
                 std::to_string(c.box_h));
    const std::vector<std::uint8_t> file = EncodeJpeg(Noise(c.w, c.h), 90, c.progressive);
    const JpegDecodeOptions options{.low_colour_display = c.low_colour};
    Picture expected = DecodeJpeg(file, options).picture;
    ReducePicture(expected, c.box_w, c.box_h);

    JpegReader reader(file, options);
    const FittedBox box = FitBox(c.w, c.h, c.box_w, c.box_h);
    ASSERT_TRUE(box.reduces);
    const Picture got = DecodeReduced(reader, box);
    ASSERT_EQ(got.width(), expected.width());
    ASSERT_EQ(got.height(), expected.height());
    EXPECT_TRUE(got.pixels() == expected.pixels());
    EXPECT_EQ(reader.next_row(), c.h);
  }
}

}  // namespace
}  // namespace tam
