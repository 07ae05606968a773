// SPDX-License-Identifier: MIT
#include "picture/folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "support/testdata.h"

namespace tam {
namespace {

TEST(NaturalOrder, DigitsCompareAsNumbersAndCaseIsFolded) {
  // Each name must sort strictly before the next one.
  const std::vector<std::string> sorted = {
      "IMG_01.jpg",
      "IMG_1.jpg",
      "img_2.JPG",
      "IMG_10.jpg",
      "IMG_10a.jpg",
      "img_10B.jpg",
      "IMG_99999999999999999999.jpg",  // longer than any integer type
      "IMG_100000000000000000000.jpg",
      "x",
      "X.jpg",
      "x.jpg",
      "\xe9t\xe9.jpg",
  };
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
    EXPECT_TRUE(NaturalLess(sorted[i], sorted[i + 1])) << sorted[i] << " < " << sorted[i + 1];
    EXPECT_FALSE(NaturalLess(sorted[i + 1], sorted[i])) << sorted[i + 1] << " !< " << sorted[i];
  }
  EXPECT_FALSE(NaturalLess("a.jpg", "a.jpg"));
}

TEST(FolderSearch, JpegPassThenBitmapPassInNaturalOrder) {
  tamtest::TempDir dir;
  const std::string latin1 = "caf\xe9.JPG";  // not valid UTF-8
  for (const std::string name : {"b10.jpg", "B2.Jpg", "a.BMP", "c.bmp", "x.png", "noext", "y.jpeg",
                                 latin1.c_str(), ".jpg", "z.jpg.txt", "pic.bMp"}) {
    tamtest::WriteText(dir / name, "");
  }
  // Directories match like files; their content is not searched.
  ASSERT_EQ(::mkdir((dir / "x.jpg").c_str(), 0755), 0);
  tamtest::WriteText(dir / "x.jpg/inner.jpg", "");
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
  tamtest::WriteText(dir / "sub/deep.jpg", "");

  const std::vector<std::string> expected = {
      dir / ".jpg",  dir / "B2.Jpg", dir / "b10.jpg", dir / latin1,
      dir / "x.jpg", dir / "a.BMP",  dir / "c.bmp",   dir / "pic.bMp",
  };
  EXPECT_EQ(FindFolderPictures(dir.path()), expected);
  // A folder given with its closing slash gets no second one.
  EXPECT_EQ(FindFolderPictures(dir.path() + "/"), expected);
}

TEST(FolderSearch, EmptyOrMissingFolderGivesNothing) {
  tamtest::TempDir dir;
  EXPECT_TRUE(FindFolderPictures(dir.path()).empty());
  EXPECT_TRUE(FindFolderPictures(dir / "missing").empty());
}

}  // namespace
}  // namespace tam
