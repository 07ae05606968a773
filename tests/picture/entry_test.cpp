// SPDX-License-Identifier: MIT
#include "picture/entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/testdata.h"

namespace tam {
namespace {

TEST(ChooseConversionSource, ListEntriesMapToFilesAndKinds) {
  tamtest::TempDir dir;
  for (const char* name : {"a.jpg", "a.png", "e", "b", "c", "d", "f.bmp", "f"})
    tamtest::WriteText(dir / name, "x");
  ASSERT_EQ(::mkdir((dir / "folder.jpg").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "q").c_str(), 0755), 0);

  struct Case {
    const char* entry;
    std::optional<ConversionSource> expected;
  };
  const Case cases[] = {
      // An existing file with any extension is converted as it is.
      {"a.jpg", ConversionSource{dir / "a.jpg", skByExtension}},
      {"a.png", ConversionSource{dir / "a.png", skByExtension}},
      {"f.bmp", ConversionSource{dir / "f.bmp", skByExtension}},
      // An existing file without extension is not.
      {"e", std::nullopt},
      // A missing "x.jpg" / "x.bmp" stands for the extensionless x.
      {"b.jpg", ConversionSource{dir / "b", skJpeg}},
      {"c.bmp", ConversionSource{dir / "c", skBitmap}},
      // Only the exact lower-case forms do.
      {"d.JPG", std::nullopt},
      {"d.BMP", std::nullopt},
      {"d.jpeg", std::nullopt},
      // Nothing to stand for, or a folder on either side.
      {"x.jpg", std::nullopt},
      {"folder.jpg", std::nullopt},
      {"q.jpg", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(ChooseConversionSource(dir / c.entry), c.expected);
  }
}

}  // namespace
}  // namespace tam
