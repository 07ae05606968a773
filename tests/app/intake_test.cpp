// SPDX-License-Identifier: MIT
// How dropped and chosen paths become byte strings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "app/seams.h"
#include "app/urilist.h"
#include "picture/limits.h"
#include "support/child_growth.h"
#include "support/testdata.h"

namespace tam {
namespace {

using Paths = std::vector<std::string>;

TEST(UriList, LocalFilesArePercentDecodedToBytes) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(LocalPathsOfUriList("file:///p/a.jpg\r\nfile:///p/b%20c.JPG\r\n"),
            (Paths{"/p/a.jpg", "/p/b c.JPG"}));
  // Bytes that are not UTF-8, and escaped "%", "#" and "?".
  EXPECT_EQ(LocalPathsOfUriList("file:///p/caf%E9%ff.bmp\nfile:///p/100%25%23%3F.jpg"),
            (Paths{"/p/caf\xe9\xff.bmp", "/p/100%#?.jpg"}));
  // Host forms: none, localhost, this machine; other hosts are not ours.
  EXPECT_EQ(LocalPathsOfUriList("file:/p/x\nFILE://localhost/p/y\nfile://" + std::string(host) +
                                "/p/z\nfile://elsewhere.invalid/p/w\n"),
            (Paths{"/p/x", "/p/y", "/p/z"}));
  // Comments, blank lines, other schemes, a trailing NUL some sources add.
  using namespace std::string_literals;
  EXPECT_EQ(LocalPathsOfUriList("# comment\r\n\r\nhttps://example.invalid/a.jpg\r\nfile:///p/q.jpg\0\r\n"s),
            (Paths{"/p/q.jpg"}));
  // An escaped NUL names no file: cut there, it would name another.
  EXPECT_EQ(LocalPathsOfUriList("file:///p/a.jpg%00/b.jpg\nfile:///p/c.jpg"), (Paths{"/p/c.jpg"}));
  // A broken escape stays as it is.
  EXPECT_EQ(LocalPathsOfUriList("file:///p/50%.jpg\nfile:///p/%zz%4"), (Paths{"/p/50%.jpg", "/p/%zz%4"}));
  EXPECT_TRUE(LocalPathsOfUriList("").empty());
}

TEST(UriList, LongPathIsNeverCut) {
  const std::string folder = "/" + std::string(250, 'f');
  const Paths paths = LocalPathsOfUriList("file://" + folder + "/" + std::string(250, 'n') + ".jpg\r\n");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].size(), 1u + 250 + 1 + 250 + 4);
}

TEST(ShownPath, NamesThatAreNotUtf8AreFoundAgain) {
  tamtest::TempDir dir;
  const std::string folder = dir / "d\xe9j\xe0";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::string file = folder + "/caf\xe9.jpg";
  tamtest::WriteText(file, "");
  tamtest::WriteText(dir / "plain.jpg", "");
  // What a Qt dialog shows and hands back for these names.
  const QString shown = QFile::decodeName(file.c_str());
  ASSERT_NE(QFile::encodeName(shown).toStdString(), file);
  EXPECT_EQ(BytesOfShownPath(shown), file);
  EXPECT_EQ(BytesOfShownPath(QFile::decodeName(folder.c_str())), folder);
  EXPECT_EQ(BytesOfShownPath(QFile::decodeName((dir / "plain.jpg").c_str())), dir / "plain.jpg");
  // A path that names nothing comes back as its plain encoding.
  EXPECT_EQ(BytesOfShownPath(QString::fromUtf8(dir / "missing.jpg")), dir / "missing.jpg");
}

// The open dialog's preview of a bitmap costs no more than reducing it does:
// a run-length file of a kilobyte made Qt scale a picture of gigabytes.
TEST(OpenDialogPreview, BitmapCostsNoMoreThanItsConversion) {
  constexpr std::int32_t kSide = 8000;
  tamtest::TempDir dir;
  tamtest::WriteBytes(dir / "huge.bmp", tamtest::RunLengthBmp(kSide, kSide));
  const long grown = tamtest::GrowthInChildKb(
      [&] { return PicturePreview(dir / "huge.bmp", 180).size() == QSize(180, 180); });
  ASSERT_GT(grown, 0) << "no preview";
  EXPECT_LE(std::int64_t{grown} * 1024,
            ConversionNeed({kSide, kSide, 1, 0, 0}, false) + (std::int64_t{32} << 20));
}

}  // namespace
}  // namespace tam
