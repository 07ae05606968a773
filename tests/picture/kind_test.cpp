// SPDX-License-Identifier: MIT
// The rules by which a name makes a picture kind, side by side.
#include "picture/kind.h"

#include <gtest/gtest.h>

#include "picture/path.h"

namespace tam {
namespace {

// The same names through the list's exact-case rule, the appended extensions
// of an extensionless entry and the folder search's case-blind rule: a rule
// borrowed from another fails here.
TEST(PictureKinds, EachRuleReadsNamesItsOwnWay) {
  using enum PictureKind;
  struct Case {
    const char* name;
    PictureKind listed, appended, folder;
  } cases[] = {
      {"a.jpg", Jpeg, Jpeg, Jpeg},       {"a.JPG", Jpeg, None, Jpeg},     {"a.Jpg", None, None, Jpeg},
      {"a.bmp", Bitmap, Bitmap, Bitmap}, {"a.BMP", Bitmap, None, Bitmap}, {"a.bMp", None, None, Bitmap},
      {"a.jpeg", None, None, None},      {"a.png", None, None, None},     {"a.jpg.png", None, None, None},
      {"a.png.jpg", Jpeg, Jpeg, Jpeg},   {".jpg", Jpeg, Jpeg, Jpeg},      {"ajpg", None, None, None},
      {"noext", None, None, None},       {"dot.", None, None, None},      {"a.jpg ", None, None, None},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KindOfName(c.name), c.listed) << c.name;
    EXPECT_EQ(KindOfAppendedExtension(ExtractFileExt(c.name)), c.appended) << c.name;
    EXPECT_EQ(KindOfFolderName(c.name), c.folder) << c.name;
  }
  // A dot in a folder's name makes no extension.
  EXPECT_EQ(KindOfName("/p.jpg/noext"), None);
  for (const PictureKind kind : {Jpeg, Bitmap})
    EXPECT_EQ(KindOfAppendedExtension(AppendedExtension(kind)), kind);
  EXPECT_EQ(AppendedExtension(None), "");
}

// Only the two fixed values force a kind; any other byte leaves it to the name.
TEST(PictureKinds, OnlyTheTwoFixedSourceKindsForceAKind) {
  EXPECT_EQ(ForcedKind(skBitmap), PictureKind::Bitmap);
  EXPECT_EQ(ForcedKind(skJpeg), PictureKind::Jpeg);
  for (const int other : {2, 3, 4, 255})
    EXPECT_EQ(ForcedKind(static_cast<SourceKind>(other)), PictureKind::None);
}

}  // namespace
}  // namespace tam
