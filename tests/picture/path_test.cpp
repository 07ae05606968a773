// SPDX-License-Identifier: MIT
#include "picture/path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/testdata.h"

namespace tam {
namespace {

struct PathCase {
  const char* path;
  const char* ext;
  const char* base;
  const char* name;
};

TEST(PathHelpers, ExtensionBaseAndFileName) {
  const PathCase cases[] = {
      {"/pics/a.jpg", ".jpg", "/pics/a", "a.jpg"},
      {"/pics/a.JPG", ".JPG", "/pics/a", "a.JPG"},
      {"/pics/f.b.jpg", ".jpg", "/pics/f.b", "f.b.jpg"},
      {"/my.pics/e", "", "/my.pics/e", "e"},
      {"/pics/dot.", ".", "/pics/dot", "dot."},
      {"/pics/.hidden", ".hidden", "/pics/", ".hidden"},
      {"noslash.bmp", ".bmp", "noslash", "noslash.bmp"},
      {"", "", "", ""},
      {"/pics/dir/", "", "/pics/dir/", ""},
      // Backslash and colon are ordinary characters on Linux.
      {"/pics/a\\b.c:d", ".c:d", "/pics/a\\b", "a\\b.c:d"},
      // UTF-8 names: no byte of a multi-byte character is "." or "/".
      {"/写真/画像.JPG", ".JPG", "/写真/画像", "画像.JPG"},
      // Bytes that are not valid UTF-8 pass through untouched.
      {"/pics/\xff\xfe.jpg", ".jpg", "/pics/\xff\xfe", "\xff\xfe.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFileExt(c.path), c.ext);
    EXPECT_EQ(RemoveFileExt(c.path), c.base);
    EXPECT_EQ(ExtractFileName(c.path), c.name);
  }
}

TEST(PathHelpers, ChangeFileExtAppendsWhenThereIsNone) {
  EXPECT_EQ(ChangeFileExt("/pics/a.jpg", "_x.jpg"), "/pics/a_x.jpg");
  EXPECT_EQ(ChangeFileExt("/my.pics/e", "_x.jpg"), "/my.pics/e_x.jpg");
  EXPECT_EQ(ChangeFileExt("/pics/b.BMP", ".jpg"), "/pics/b.jpg");
  EXPECT_EQ(ExtractFilePath("/pics/a.jpg"), "/pics/");
  EXPECT_EQ(ExtractFilePath("a.jpg"), "");
}

// A name's bytes become text for the slides and the package: characters of
// every length stay as they are, and only the bytes that are not part of one
// (stray, overlong, cut short, a surrogate) become U+FFFD, one each.
TEST(PathHelpers, ShownUtf8KeepsCharactersAndReplacesStrayBytes) {
  const std::string bad = "\xEF\xBF\xBD";
  EXPECT_EQ(ShownUtf8("写真_\xC3\xA9\xF0\x9F\x93\xB7.jpg"), "写真_\xC3\xA9\xF0\x9F\x93\xB7.jpg");
  EXPECT_EQ(ShownUtf8("a\xFF"
                      "b"),
            "a" + bad + "b");
  EXPECT_EQ(ShownUtf8("\xC0\xAF"), bad + bad);  // an overlong "/"
  EXPECT_EQ(ShownUtf8("\xED\xA0\x80"), bad + bad + bad);
  EXPECT_EQ(ShownUtf8("x\xE5\x86"), "x" + bad + bad);
}

TEST(PathHelpers, FileExistsFollowsLinksAndRejectsFolders) {
  tamtest::TempDir dir;
  const std::string file = dir / "\xe9t\xe9.jpg";  // Latin-1 bytes, not UTF-8
  tamtest::WriteText(file, "x");
  ASSERT_EQ(::mkdir((dir / "x.jpg").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(file.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);

  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FileExists(dir / "x.jpg"));
  EXPECT_TRUE(FileExists(dir / "link"));
  EXPECT_FALSE(FileExists(dir / "dangling"));
  EXPECT_FALSE(FileExists(dir / "missing.jpg"));
  EXPECT_FALSE(FileExists(""));
}

}  // namespace
}  // namespace tam
