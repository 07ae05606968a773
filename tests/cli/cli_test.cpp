// SPDX-License-Identifier: MIT
// Runs the built tamarind2-cli on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "picture/convert.h"
#include "picture/jpeg.h"
#include "support/testdata.h"

namespace {

using tamtest::ReadText;
using tamtest::TempDir;

struct CliResult {
  int status = -1;
  std::string out, err;
};

// Arguments are single-quoted for the shell; the temporary folders and the
// names used here hold no quote. A run that hangs is stopped after two
// minutes (status 124) rather than holding up the tests.
CliResult RunCli(const TempDir& dir, const std::string& args, const std::string& shell_first = "") {
  const std::string cli = std::string(TAM_BINARY_DIR) + "/cli/tamarind2-cli";
  const std::string command = shell_first + "HOME='" + dir.path() + "' XDG_DATA_HOME= timeout 120 '" + cli +
                              "' " + args + " >'" + dir.path() + "/.out' 2>'" + dir.path() + "/.err'";
  const int raw = std::system(command.c_str());
  CliResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = ReadText(dir / ".out");
  r.err = ReadText(dir / ".err");
  std::remove((dir / ".out").c_str());
  std::remove((dir / ".err").c_str());
  return r;
}

std::string Q(const std::string& path) { return "'" + path + "'"; }

void WriteJpeg(const std::string& path, int w, int h) {
  tam::Picture p = tam::Picture::Bgr24(w, h);
  for (auto& v : p.pixels()) v = static_cast<std::uint8_t>(&v - p.pixels().data());
  tamtest::WriteBytes(path, tam::EncodeJpeg(p, 90, false));
}

int WidthOf(const std::string& path) { return tam::DecodeJpeg(tamtest::ReadBytes(path)).picture.width(); }

TEST(CliReduce, WritesEachPictureAndPrintsItsPath) {
  TempDir dir;
  WriteJpeg(dir / "a.jpg", 1200, 900);
  WriteJpeg(dir / "c", 100, 50);  // listed as c.jpg
  std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/rgb24.bmp"), dir / "b.bmp");
  tamtest::WriteText(dir / "notes.txt", "not a picture");
  const CliResult r = RunCli(dir, "reduce --quality 70 " + Q(dir / "a.jpg") + " " + Q(dir / "b.bmp") + " " +
                                      Q(dir / "c.jpg") + " " + Q(dir / "notes.txt"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir / "a_x.jpg\n" + dir / "b_x.jpg\n" + dir / "c_x.jpg\n");
  EXPECT_NE(r.err.find(dir / "notes.txt"), std::string::npos) << r.err;
  EXPECT_EQ(WidthOf(dir / "a_x.jpg"), 960);
  EXPECT_EQ(WidthOf(dir / "c_x.jpg"), 100);
}

// The file is written at the quality asked for, 50 when none is: the very
// bytes the conversion itself gives at that quality.
TEST(CliReduce, WritesAtTheQualityAskedForOrFifty) {
  TempDir dir, own;
  WriteJpeg(dir / "a.jpg", 200, 150);
  std::filesystem::copy_file(dir / "a.jpg", dir / "b.jpg");
  std::filesystem::copy_file(dir / "a.jpg", own / "a.jpg");
  EXPECT_EQ(RunCli(dir, "reduce --quality 90 " + Q(dir / "a.jpg")).status, 0);
  EXPECT_EQ(RunCli(dir, "reduce " + Q(dir / "b.jpg")).status, 0);
  for (const auto& [quality, written] : {std::pair{90, "a_x.jpg"}, std::pair{50, "b_x.jpg"}}) {
    tam::ConvertPicture(own / "a.jpg", quality, tam::skByExtension, {});
    EXPECT_EQ(tamtest::ReadBytes(dir / written), tamtest::ReadBytes(own / "a_x.jpg")) << quality;
  }
}

TEST(CliReduce, OverwriteAndQuarterReplaceTheSource) {
  TempDir dir;
  WriteJpeg(dir / "a.jpg", 1200, 900);
  const CliResult r = RunCli(dir, "reduce --overwrite --quarter --quality=20 -- " + Q(dir / "a.jpg"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir / "a.jpg\n");
  EXPECT_EQ(WidthOf(dir / "a.jpg"), 480);
  // The original is not lost: it is in the user's trash.
  EXPECT_EQ(WidthOf(dir / ".local/share/Trash/files/a.jpg"), 1200);
}

// A bitmap is replaced by its .jpg and goes to the trash; when the trash
// cannot take it, it stays, and the user is told so rather than nothing.
TEST(CliReduce, ABitmapTheTrashRefusesStaysAndIsNamed) {
  TempDir dir;
  std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/rgb24.bmp"), dir / "b.bmp");
  tamtest::WriteText(dir / ".local", "a file where the trash's folder would be");
  const CliResult r = RunCli(dir, "reduce --overwrite " + Q(dir / "b.bmp"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir / "b.jpg\n");
  EXPECT_EQ(tamtest::ReadBytes(dir / "b.bmp"), tamtest::ReadBytes(tamtest::TestData("bmpsuite/g/rgb24.bmp")));
  EXPECT_EQ(r.err.rfind(dir / "b.bmp: 警告: ファイル " + dir / "b.bmp をごみ箱に移せなかった", 0), 0u)
      << r.err;
}

// A file the user did not name that had the output's name goes to the
// trash, and the user is told; the converted bitmap is not told again.
TEST(CliReduce, AFileUnderTheOutputNameIsSaidToBeInTheTrash) {
  TempDir dir;
  std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/rgb24.bmp"), dir / "b.bmp");
  tamtest::WriteText(dir / "b.jpg", "another picture");
  const CliResult r = RunCli(dir, "reduce --overwrite " + Q(dir / "b.bmp"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, dir / "b.bmp: 注意: すでにあったファイル " + dir / "b.jpg をごみ箱に移しました\n");
  EXPECT_EQ(ReadText(dir / ".local/share/Trash/files/b.jpg"), "another picture");
}

TEST(CliReduce, NamesThatReachNoFileAndALostOutputFail) {
  TempDir dir;
  WriteJpeg(dir / "a.jpg", 20, 20);
  ASSERT_EQ(::symlink("nowhere.jpg", (dir / "dangling.jpg").c_str()), 0);
  ASSERT_EQ(::symlink("loop.jpg", (dir / "loop.jpg").c_str()), 0);
  const CliResult r = RunCli(dir, "reduce " + Q(dir / "missing.jpg") + " " + Q(dir / "dangling.jpg") + " " +
                                      Q(dir / "loop.jpg") + " " + Q(dir / "a.jpg"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, dir / "a_x.jpg\n");
  for (const char* name : {"missing.jpg", "dangling.jpg", "loop.jpg"}) {
    EXPECT_NE(r.err.find(dir / name + ": "), std::string::npos) << name << "\n" << r.err;
  }
  // What was printed never arrived: that is a failure too.
  const std::string cli = std::string(TAM_BINARY_DIR) + "/cli/tamarind2-cli";
  const int raw = std::system(
      ("HOME='" + dir.path() + "' '" + cli + "' reduce " + Q(dir / "a.jpg") + " >/dev/full 2>/dev/null")
          .c_str());
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
}

// A name with a newline would split the one-path-a-line output, one with an
// escape sequence would act on the terminal: such names are quoted as the
// shell reads them, and any other name prints as it is.
TEST(CliReduce, NamesWithControlCharactersArePrintedQuoted) {
  TempDir dir;
  WriteJpeg(dir.path() + "/a\nb.jpg", 20, 20);
  WriteJpeg(dir / "写真 'c'.jpg", 20, 20);
  const CliResult r = RunCli(dir, "reduce \"$NL\" " + Q(dir / "写真 '\\''c'\\''.jpg") + " \"$ESC\"",
                             "NL=\"$(printf '%s/a\\nb.jpg' " + Q(dir.path()) +
                                 ")\"; ESC=\"$(printf '%s/\\033[2J.jpg' " + Q(dir.path()) + ")\"; ");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "'" + dir.path() + "/a'$'\\n''b_x.jpg'\n" + dir / "写真 'c'_x.jpg\n");
  EXPECT_EQ(r.err.find('\033'), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(dir.path() + "/\\033[2J.jpg: "), std::string::npos) << r.err;
}

TEST(CliReduce, FailuresAreReportedPerFileAndSetTheExitStatus) {
  TempDir dir;
  std::filesystem::copy_file(tamtest::TestData("bmpsuite/g/rgb24.bmp"), dir / "wrong.jpg");
  WriteJpeg(dir / "good.jpg", 20, 20);
  const CliResult r = RunCli(dir, "reduce " + Q(dir / "wrong.jpg") + " " + Q(dir / "good.jpg"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, dir / "good_x.jpg\n");
  EXPECT_NE(r.err.find(dir / "wrong.jpg: JPEG エラー #"), std::string::npos) << r.err;
  EXPECT_FALSE(tamtest::Exists(dir / "wrong_x.jpg"));
}

// A photo cut short is an error like any damage: no output, the original
// kept in place (not trashed), a failing exit status.
TEST(CliReduce, APhotoCutShortFailsAndStays) {
  TempDir dir;
  const auto whole = tamtest::ReadBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  const std::vector<std::uint8_t> cut(whole.begin(),
                                      whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * 2 / 3));
  tamtest::WriteBytes(dir / "cut.jpg", cut);
  const CliResult r = RunCli(dir, "reduce --overwrite " + Q(dir / "cut.jpg"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(dir / "cut.jpg: JPEG エラー #"), std::string::npos) << r.err;
  EXPECT_EQ(tamtest::ReadBytes(dir / "cut.jpg"), cut);
  EXPECT_FALSE(tamtest::Exists(dir / ".local/share/Trash/files/cut.jpg"));
}

TEST(CliReduce, AWritePastTheFileSizeLimitFailsThatFileAndTheRunGoesOn) {
  TempDir dir;
  WriteJpeg(dir / "big.jpg", 800, 600);  // its reduction is some tens of KB
  WriteJpeg(dir / "small.jpg", 8, 8);
  // dash counts 512-byte blocks: 4 KiB for every file the run writes.
  const CliResult r =
      RunCli(dir, "reduce " + Q(dir / "big.jpg") + " " + Q(dir / "small.jpg"), "ulimit -f 8; ");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, dir / "small_x.jpg\n");
  EXPECT_NE(r.err.find(dir / "big_x.jpg"), std::string::npos) << r.err;
  EXPECT_FALSE(tamtest::Exists(dir / "big_x.jpg"));
}

TEST(CliReduce, AFifoIsRefusedAtOnceAndTheOtherFilesStillConvert) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((dir / "pipe.bmp").c_str(), 0644), 0);
  WriteJpeg(dir / "good.jpg", 20, 20);
  const CliResult r =
      RunCli(dir, "reduce " + Q(dir / "pipe.jpg") + " " + Q(dir / "pipe.bmp") + " " + Q(dir / "good.jpg"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, dir / "good_x.jpg\n");
  for (const char* name : {"pipe.jpg", "pipe.bmp"}) {
    const std::string path = dir / name;
    EXPECT_NE(r.err.find(path + ": ファイル " + path + " を開けません。通常のファイルではありません"),
              std::string::npos)
        << r.err;
  }
  EXPECT_FALSE(tamtest::Exists(dir / "pipe_x.jpg"));
}

TEST(CliReduce, BadCommandLinesAreUsageErrors) {
  TempDir dir;
  WriteJpeg(dir / "a.jpg", 20, 20);
  const std::string file = Q(dir / "a.jpg");
  const std::vector<std::string> bad = {"reduce --quality 101 " + file,
                                        "reduce --quality x " + file,
                                        "reduce --quality",
                                        "reduce",
                                        "reduce --fast " + file,
                                        "shrink",
                                        ""};
  for (const std::string& args : bad) {
    SCOPED_TRACE(args);
    const CliResult r = RunCli(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  EXPECT_FALSE(tamtest::Exists(dir / "a_x.jpg"));
  const CliResult help = RunCli(dir, "reduce --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--quality"), std::string::npos);
  EXPECT_NE(RunCli(dir, "--help").out.find("reduce"), std::string::npos);
}

}  // namespace
