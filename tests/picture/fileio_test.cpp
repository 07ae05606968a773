#include "picture/fileio.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "picture/error.h"
#include "support/readonly.h"
#include "support/testdata.h"

namespace tam {
namespace {

using tamtest::TempDir;

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "no tam::Error thrown";
  return {};
}

const std::vector<std::uint8_t> kData = {0xFF, 0xD8, 0x00, 0x01, 0x02, 0xFF, 0xD9};

TEST(ReadWholeFile, ReadsEveryByteOfFilesOfAnySize) {
  TempDir dir;
  std::vector<std::uint8_t> big(300000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  tamtest::WriteBytes(dir / "big", big);
  tamtest::WriteBytes(dir / "empty", {});
  EXPECT_EQ(ReadWholeFile(dir / "big"), big);
  EXPECT_TRUE(ReadWholeFile(dir / "empty").empty());
  // Non-UTF-8 names are plain bytes.
  tamtest::WriteBytes(dir / "\xff\xfe.jpg", kData);
  EXPECT_EQ(ReadWholeFile(dir / "\xff\xfe.jpg"), kData);
}

TEST(ReadWholeFile, ErrorsNameTheFileAndTheReason) {
  TempDir dir;
  const std::string missing = dir / "写真.jpg";
  EXPECT_EQ(MessageOf([&] { ReadWholeFile(missing); }),
            "ファイル " + missing + " を開けません。" + SystemReason(ENOENT));
  EXPECT_EQ(MessageOf([&] { ReadWholeFile(dir.path()); }),
            "ファイル " + dir.path() + " を開けません。" + SystemReason(EISDIR));
}

TEST(WriteFileAtomic, NewFileGetsTheUmaskPermissionsAndNoTemporaryIsLeft) {
  TempDir dir;
  const mode_t old_mask = ::umask(027);
  WriteFileAtomic(dir / "a_x.jpg", kData);
  ::umask(old_mask);
  EXPECT_EQ(tamtest::ReadBytes(dir / "a_x.jpg"), kData);
  EXPECT_EQ(ModeOf(dir / "a_x.jpg"), 0640u);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a_x.jpg"});
}

TEST(WriteFileAtomic, ReplacedFileKeepsItsPermissionsAndLinksStayLinks) {
  TempDir dir;
  tamtest::WriteText(dir / "a.jpg", "old contents, longer than the new ones");
  ASSERT_EQ(::chmod((dir / "a.jpg").c_str(), 0604), 0);
  WriteFileAtomic(dir / "a.jpg", kData);
  EXPECT_EQ(tamtest::ReadBytes(dir / "a.jpg"), kData);
  EXPECT_EQ(ModeOf(dir / "a.jpg"), 0604u);

  // Writing through a symbolic link replaces the file it points to.
  ASSERT_EQ(::symlink("a.jpg", (dir / "link.jpg").c_str()), 0);
  const std::vector<std::uint8_t> other = {1, 2, 3};
  WriteFileAtomic(dir / "link.jpg", other);
  struct stat st;
  ASSERT_EQ(::lstat((dir / "link.jpg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(tamtest::ReadBytes(dir / "a.jpg"), other);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"a.jpg", "link.jpg"}));
}

TEST(WriteFileAtomic, FailuresLeaveTheTargetAndTheFolderAsTheyWere) {
  TempDir dir;
  // The target name is taken by a folder.
  ASSERT_EQ(::mkdir((dir / "b.jpg").c_str(), 0755), 0);
  EXPECT_EQ(MessageOf([&] { WriteFileAtomic(dir / "b.jpg", kData); }),
            "ファイル " + dir / "b.jpg" + " を作成できません。" + SystemReason(EISDIR));
  // The folder does not exist.
  const std::string nowhere = dir / "missing/c.jpg";
  EXPECT_EQ(MessageOf([&] { WriteFileAtomic(nowhere, kData); }),
            "ファイル " + nowhere + " を作成できません。" + SystemReason(ENOENT));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"b.jpg"});
}

TEST(WriteFileAtomic, FailureWhileWritingKeepsTheOldFile) {
  TempDir dir;
  const std::string target = dir / "a.jpg";
  tamtest::WriteText(target, "old");
  // A file size limit makes write() fail half way with EFBIG.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::vector<std::uint8_t> big(10000, 0x55);
  const std::string message = MessageOf([&] { WriteFileAtomic(target, big); });
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  EXPECT_EQ(message, "ファイル " + target + " に書き込めません。" + SystemReason(EFBIG));
  EXPECT_EQ(tamtest::ReadBytes(target), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
}

TEST(WriteFileAtomic, ReadOnlyFolderRefusesTheWrite) {
  TempDir dir;
  tamtest::ReadOnlyFolder folder(dir.path());
  if (!folder.ok()) GTEST_SKIP() << "no read-only folder to be had";
  tamtest::WriteText(dir / "a.jpg", "old");
  ASSERT_TRUE(folder.Lock());
  const std::string message = MessageOf([&] { WriteFileAtomic(dir / "a.jpg", kData); });
  EXPECT_EQ(message.rfind("ファイル " + dir / "a.jpg" + " を作成できません。", 0), 0u) << message;
  EXPECT_EQ(tamtest::ReadBytes(dir / "a.jpg"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
}

}  // namespace
}  // namespace tam
