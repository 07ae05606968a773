// SPDX-License-Identifier: MIT
#include "picture/picture.h"

#include <gtest/gtest.h>

#include "picture/error.h"

namespace tam {
namespace {

TEST(Picture, PaletteExpandsToBlueGreenRed) {
  Picture p = Picture::Indexed8(2, 1, {{1, 2, 3}, {4, 5, 6}});
  p.pixels()[0] = 1;
  p.pixels()[1] = 7;  // past the palette: black, never a stray read
  p.ToBgr24();
  ASSERT_EQ(p.format(), PixelFormat::Bgr24);
  EXPECT_EQ(p.pixels(), (std::vector<std::uint8_t>{4, 5, 6, 0, 0, 0}));
  EXPECT_TRUE(p.palette().empty());
}

TEST(Picture, RefusesSizesBeyondTheDataModel) {
  EXPECT_THROW(Picture::Bgr24(65536, 32768), Error);  // 2^31 pixels
  EXPECT_THROW(Picture::Bgr24(-1, 5), Error);
  EXPECT_NO_THROW(Picture::Bgr24(0, 0));
  EXPECT_THROW(CheckPictureSize(46341, 46341, 3), Error);
}

}  // namespace
}  // namespace tam
