// SPDX-License-Identifier: MIT
#include "picture/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "picture/error.h"
#include "support/readonly.h"
#include "support/testdata.h"

namespace tam {
namespace {

using tamtest::ErrorOf;
using tamtest::FolderNames;
using tamtest::ModeOf;
using tamtest::TempDir;

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
  EXPECT_EQ(ErrorOf([&] { ReadWholeFile(missing); }),
            "ファイル " + missing + " を開けません。" + SystemReason(ENOENT));
  EXPECT_EQ(ErrorOf([&] { ReadWholeFile(dir.path()); }),
            "ファイル " + dir.path() + " を開けません。" + SystemReason(EISDIR));
}

// The limit is the largest size read: one byte more is refused, unread.
TEST(ReadWholeFile, AFileLargerThanTheLimitIsRefused) {
  TempDir dir;
  constexpr std::int64_t kMiB = std::int64_t{1} << 20;
  tamtest::WriteBytes(dir / "a.jpg", std::vector<std::uint8_t>(kMiB, 1));
  EXPECT_EQ(ReadWholeFile(dir / "a.jpg", kMiB).size(), static_cast<std::size_t>(kMiB));
  tamtest::WriteBytes(dir / "a.jpg", std::vector<std::uint8_t>(kMiB + 1, 1));
  EXPECT_EQ(ErrorOf([&] { ReadWholeFile(dir / "a.jpg", kMiB); }),
            "ファイル " + dir / "a.jpg" + " を読み込めません。ファイルが大きすぎます (2 MiB、上限 1 MiB)");
}

// A file saved again within the same second at the same size differs from
// the one read only in the fraction of a second of its modification time.
TEST(StillAsSeen, TheFractionOfASecondOfTheModificationTimeCounts) {
  TempDir dir;
  const std::string photo = dir / "a.jpg";
  tamtest::WriteText(photo, "photo");
  struct stat seen;
  ASSERT_EQ(::stat(photo.c_str(), &seen), 0);
  const long other = seen.st_mtim.tv_nsec < 500'000'000 ? 750'000'000 : 250'000'000;
  const struct timespec saved[2] = {{0, UTIME_OMIT}, {seen.st_mtim.tv_sec, other}};
  ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), saved, 0), 0);
  struct stat now;
  ASSERT_EQ(::stat(photo.c_str(), &now), 0);
  if (now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec) GTEST_SKIP() << "whole seconds only on this file system";
  EXPECT_FALSE(StillAsSeen(photo, seen));
  const struct timespec back[2] = {{0, UTIME_OMIT}, seen.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), back, 0), 0);
  EXPECT_TRUE(StillAsSeen(photo, seen));
}

// The reasons of file work are Japanese in any locale; anything else is
// still the C library's text rather than nothing.
TEST(SystemReason, FileReasonsAreJapaneseOthersTheCLibrarys) {
  EXPECT_EQ(SystemReason(EACCES), "許可がありません");
  EXPECT_EQ(SystemReason(ENOSPC), "デバイスに空き領域がありません");
  for (int err : {ENOENT,       EACCES, EPERM, ENOSPC, EDQUOT, EISDIR, ENOTDIR,  EROFS,     EEXIST,
                  ENAMETOOLONG, ELOOP,  EIO,   ENOMEM, EXDEV,  EBUSY,  EFBIG,    EMFILE,    ENFILE,
                  ETXTBSY,      EINVAL, ENXIO, ENODEV, EAGAIN, EINTR,  ENOTCONN, ENOMEDIUM, EILSEQ}) {
    const std::string reason = SystemReason(err);
    EXPECT_TRUE(!reason.empty() && static_cast<unsigned char>(reason[0]) >= 0x80) << err << ": " << reason;
  }
  EXPECT_EQ(SystemReason(EHOSTUNREACH), std::strerror(EHOSTUNREACH));
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

// A replaced file keeps who may read it: the group a set-group-ID folder
// would hand the new file is not it, and an access list's mask, which is
// what the mode's group bits show, must not become the group's permission.
TEST(WriteFileAtomic, ReplacedFileKeepsItsGroupAccessListAndTags) {
  TempDir dir;
  const std::string photo = dir / "a.jpg";
  tamtest::WriteText(photo, "old");
  ASSERT_EQ(::chmod(photo.c_str(), 0600), 0);
  constexpr gid_t kFolderGroup = 4321;
  const bool folder_group = ::geteuid() == 0 && ::chown(dir.path().c_str(), -1, kFolderGroup) == 0 &&
                            ::chmod(dir.path().c_str(), 02775) == 0;
  // user 4321 may read; the kernel turns the mask r-- into mode 0640
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  struct {
    std::uint32_t version = 2;
    Entry entries[5] = {{1, 6, ~0u}, {2, 4, 4321}, {4, 0, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
  } acl;
  const bool listed = ::setxattr(photo.c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) == 0;
  if (!folder_group && !listed) GTEST_SKIP() << "neither a foreign group nor access lists to be had";
  struct stat before, after;
  ASSERT_EQ(::stat(photo.c_str(), &before), 0);

  WriteFileAtomic(photo, kData);
  ASSERT_EQ(::stat(photo.c_str(), &after), 0);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  if (!listed) return;
  // and, with the list, the user's own attributes: a file manager's tags
  const bool tagged = ::setxattr(photo.c_str(), "user.xdg.tags", "family", 6, 0) == 0;
  if (tagged) {
    WriteFileAtomic(photo, kData);
    char tags[16] = {};
    EXPECT_EQ(::getxattr(photo.c_str(), "user.xdg.tags", tags, sizeof tags), 6);
    EXPECT_STREQ(tags, "family");
  }
  decltype(acl) now{};
  EXPECT_EQ(::getxattr(photo.c_str(), "system.posix_acl_access", &now, sizeof now), ssize_t{sizeof now});
  EXPECT_EQ(std::memcmp(&now, &acl, sizeof acl), 0);

  // A file without a list gets none from the folder's default one.
  tamtest::WriteText(dir / "b.jpg", "old");
  ASSERT_EQ(::chmod((dir / "b.jpg").c_str(), 0640), 0);
  ASSERT_EQ(::setxattr(dir.path().c_str(), "system.posix_acl_default", &acl, sizeof acl, 0), 0);
  WriteFileAtomic(dir / "b.jpg", kData);
  EXPECT_EQ(ModeOf(dir / "b.jpg"), 0640u);
  EXPECT_LT(::getxattr((dir / "b.jpg").c_str(), "system.posix_acl_access", nullptr, 0), 0);
}

TEST(WriteFileAtomic, FailuresLeaveTheTargetAndTheFolderAsTheyWere) {
  TempDir dir;
  // The target name is taken by a folder.
  ASSERT_EQ(::mkdir((dir / "b.jpg").c_str(), 0755), 0);
  EXPECT_EQ(ErrorOf([&] { WriteFileAtomic(dir / "b.jpg", kData); }),
            "ファイル " + dir / "b.jpg" + " を作成できません。" + SystemReason(EISDIR));
  // The folder does not exist.
  const std::string nowhere = dir / "missing/c.jpg";
  EXPECT_EQ(ErrorOf([&] { WriteFileAtomic(nowhere, kData); }),
            "ファイル " + nowhere + " を作成できません。" + SystemReason(ENOENT));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"b.jpg"});
}

// Only a regular file is replaced: a FIFO under the name, or a link to a
// device, is refused and stays what it was. The device is a node of our own
// (root only), so a regression replaces nothing the system uses.
TEST(WriteFileAtomic, AFifoOrADeviceIsNeverReplaced) {
  TempDir dir;
  const std::string fifo = dir / "out.pptx";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(ErrorOf([&] { WriteFileAtomic(fifo, kData); }),
            "ファイル " + fifo + " を作成できません。通常のファイルではありません");
  struct stat st;
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  if (::mknod((dir / "zero").c_str(), S_IFCHR | 0666, ::makedev(1, 5)) == 0) {
    ASSERT_EQ(::symlink((dir / "zero").c_str(), (dir / "a_x.jpg").c_str()), 0);
    EXPECT_EQ(ErrorOf([&] { WriteFileAtomic(dir / "a_x.jpg", kData); }),
              "ファイル " + dir / "a_x.jpg" + " を作成できません。通常のファイルではありません");
    ASSERT_EQ(::lstat((dir / "zero").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node was replaced";
  }

  // A name that becomes a FIFO while the content is written is not replaced.
  const std::string late = dir / "late.jpg";
  tamtest::WriteText(late, "old");
  EXPECT_NE(ErrorOf([&] {
              SafeFileWriter writer(late);
              writer.Write(kData);
              ASSERT_EQ(::unlink(late.c_str()), 0);
              ASSERT_EQ(::mkfifo(late.c_str(), 0644), 0);
              writer.Commit([](const std::string&) { ADD_FAILURE() << "a FIFO was set aside"; });
            }).find("通常のファイルではありません"),
            std::string::npos);
  ASSERT_EQ(::lstat(late.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  std::vector<std::string> names = FolderNames(dir.path());
  std::erase_if(names, [](const std::string& n) { return n == "zero" || n == "a_x.jpg"; });
  EXPECT_EQ(names, (std::vector<std::string>{"late.jpg", "out.pptx"})) << "no temporary file is left";
}

// A link someone else left under the output name (in a shared folder such as
// /tmp) is not written through: it would let them pick the file replaced.
// A link of the folder's owner is followed, as one of our own is.
TEST(WriteFileAtomic, ALinkOfAnotherUserIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  TempDir dir, elsewhere;
  const std::string victim = elsewhere / "precious.txt";
  tamtest::WriteText(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), (dir / "a_x.jpg").c_str()), 0);
  ASSERT_EQ(::lchown((dir / "a_x.jpg").c_str(), 65534, 65534), 0);
  EXPECT_EQ(
      ErrorOf([&] { WriteFileAtomic(dir / "a_x.jpg", kData); }),
      "ファイル " + dir / "a_x.jpg" + " を作成できません。ほかのユーザーが作ったシンボリックリンクです");
  EXPECT_EQ(tamtest::ReadBytes(victim), std::vector<std::uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  struct stat st;
  ASSERT_EQ(::lstat((dir / "a_x.jpg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a_x.jpg"});

  // The folder's owner may link as we may.
  ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
  WriteFileAtomic(dir / "a_x.jpg", kData);
  EXPECT_EQ(tamtest::ReadBytes(victim), kData);
  ASSERT_EQ(::chown(dir.path().c_str(), 0, 0), 0);
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
  const std::string message = ErrorOf([&] { WriteFileAtomic(target, big); });
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
  const std::string message = ErrorOf([&] { WriteFileAtomic(dir / "a.jpg", kData); });
  EXPECT_EQ(message.rfind("ファイル " + dir / "a.jpg" + " を作成できません。", 0), 0u) << message;
  EXPECT_EQ(tamtest::ReadBytes(dir / "a.jpg"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
}

TEST(WriteFileAtomic, AFileTheUserMayNotWriteIsRefusedAsInPlace) {
  // The rename would replace a write-protected file that an in-place write
  // could not open; the user's protection must hold all the same.
  TempDir dir;
  tamtest::WriteText(dir / "a_x.jpg", "old");
  ASSERT_EQ(::chmod((dir / "a_x.jpg").c_str(), 0444), 0);
  const int result = tamtest::RunUnprivileged(dir.path(), [&] {
    try {
      WriteFileAtomic(dir / "a_x.jpg", kData);
    } catch (const Error& e) {
      return std::string(e.what()) ==
                     "ファイル " + dir / "a_x.jpg" + " を作成できません。" + SystemReason(EACCES)
                 ? 0
                 : 1;
    }
    return 2;
  });
  if (result == tamtest::kNoUnprivilegedUser) GTEST_SKIP() << "no unprivileged user to be had";
  EXPECT_EQ(result, 0) << "1: wrong message, 2: written";
  EXPECT_EQ(tamtest::ReadBytes(dir / "a_x.jpg"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a_x.jpg"});
}

// Somebody else's photo in a folder both may write stays theirs: a new file
// could not be given to them, and the write is refused, touching nothing.
// So does a link of theirs.
TEST(WriteFileAtomic, SomebodyElsesFileInASharedFolderIsNotReplaced) {
  TempDir dir;
  const std::string target = dir / "a.jpg", link = dir / "b.jpg";
  tamtest::WriteText(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0666), 0);  // root's, writable by all
  ASSERT_EQ(::symlink("a.jpg", link.c_str()), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const int result = tamtest::RunAsAnotherUser([&] {
    const auto refused = [](const std::string& path, const char* what, const std::function<void()>& write) {
      try {
        write();
      } catch (const Error& e) {
        return std::string(e.what()).rfind("ファイル " + path + " はほかのユーザーの" + what, 0) == 0;
      }
      return false;
    };
    const bool file = refused(target, "ファイル", [&] { WriteFileAtomic(target, kData); });
    // A link under a name the program chose is replaced itself, never a link of theirs.
    const bool link_kept = refused(link, "シンボリックリンク", [&] {
      SafeFileWriter writer(link, SafeFileWriter::Link::kReplace);
      writer.Commit();
    });
    return (file ? 0 : 1) + (link_kept ? 0 : 2);
  });
  if (result == tamtest::kNoUnprivilegedUser) GTEST_SKIP() << "no second user to be had";
  EXPECT_EQ(result, 0) << "1: the file, 2: the link written or the wrong message";
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(tamtest::ReadBytes(target), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"a.jpg", "b.jpg"}));
}

TEST(SafeFileWriter, SetAsideSeesTheCompleteContentAndMayKeepTheOldFile) {
  TempDir dir;
  const std::string target = dir / "a.jpg";
  tamtest::WriteText(target, "old");
  {
    SafeFileWriter writer(target);
    writer.Write(kData);
    EXPECT_THROW(writer.Commit([&](const std::string& replaced) {
      EXPECT_EQ(replaced, target);
      // The new content is whole under a temporary name before the old file goes.
      const auto names = FolderNames(dir.path());
      ASSERT_EQ(names.size(), 2u);
      EXPECT_EQ(tamtest::ReadBytes(dir / (names[0] == "a.jpg" ? names[1] : names[0])), kData);
      throw Error("kept");
    }),
                 Error);
  }
  EXPECT_EQ(tamtest::ReadBytes(target), std::vector<std::uint8_t>({'o', 'l', 'd'}));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
}

// A file changed or replaced after it was read holds newer work than the
// content made from it: it stays, and nothing is left beside it.
TEST(SafeFileWriter, AFileChangedSinceItWasReadIsNotReplaced) {
  TempDir dir;
  const std::string target = dir / "a.jpg";
  for (const bool renamed : {false, true}) {
    tamtest::WriteText(target, "old");
    struct stat seen;
    ASSERT_EQ(::stat(target.c_str(), &seen), 0);
    bool set_aside = false;
    EXPECT_EQ(ErrorOf([&] {
                SafeFileWriter writer(target);
                writer.ReplaceOnly(seen);
                writer.Write(kData);
                if (renamed) {
                  tamtest::WriteText(dir / "new", "newer work");
                  ASSERT_EQ(::rename((dir / "new").c_str(), target.c_str()), 0);
                } else {
                  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
                  ASSERT_EQ(::write(fd.get(), " more", 5), 5);
                }
                writer.Commit([&](const std::string&) { set_aside = true; });
              }),
              "ファイル " + target + " は読み込んだ後に変更されたため、上書きしませんでした。");
    EXPECT_FALSE(set_aside);
    EXPECT_EQ(tamtest::ReadBytes(target).size(), renamed ? 10u : 8u);
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
  }
}

// A file saved under a name that was free when the write began (or found
// there because the folder was renamed away and another put in its place)
// is somebody's work: it is neither replaced nor set aside.
TEST(SafeFileWriter, AFileThatTookTheNameMeanwhileIsNotReplaced) {
  TempDir dir;
  const std::string target = dir / "b.jpg";
  bool set_aside = false;
  EXPECT_EQ(ErrorOf([&] {
              SafeFileWriter writer(target, SafeFileWriter::Link::kReplace);
              writer.Write(kData);
              tamtest::WriteText(target, "theirs");
              writer.Commit([&](const std::string&) { set_aside = true; });
            }),
            "ファイル " + target + " は書き込みの間にほかで作られたため、上書きしませんでした。");
  EXPECT_FALSE(set_aside);
  EXPECT_EQ(tamtest::ReadBytes(target).size(), 6u);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"b.jpg"});
}

// The folder renamed away while the content was written, and another made
// under its name: the file in either stays as it was, nothing is set aside.
TEST(SafeFileWriter, AFolderRenamedDuringTheWriteGetsNothing) {
  TempDir dir;
  const std::string folder = dir / "photos", moved = dir / "moved";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  tamtest::WriteText(folder + "/b.jpg", "old");
  bool set_aside = false;
  const std::string message = ErrorOf([&] {
    SafeFileWriter writer(folder + "/b.jpg", SafeFileWriter::Link::kReplace);
    writer.Write(kData);
    ASSERT_EQ(::rename(folder.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    tamtest::WriteText(folder + "/b.jpg", "theirs");
    writer.Commit([&](const std::string&) { set_aside = true; });
  });
  EXPECT_EQ(message.rfind("ファイル " + folder + "/b.jpg のフォルダーが書き込みの間に移動した", 0), 0u)
      << message;
  EXPECT_FALSE(set_aside);
  EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"b.jpg"});
  EXPECT_EQ(FolderNames(moved), std::vector<std::string>{"b.jpg"});
  EXPECT_EQ(tamtest::ReadBytes(folder + "/b.jpg").size(), 6u);
  EXPECT_EQ(tamtest::ReadBytes(moved + "/b.jpg").size(), 3u);
}

// Abandoned once its folder was renamed away: the named temporary file goes
// from the folder it was made in, not from whatever now has that name (a
// card pulled out leaves the path leading nowhere in the same way).
TEST(SafeFileWriter, AnAbandonedWriteLeavesNoTemporaryFileInTheRenamedFolder) {
  TempDir dir;
  const std::string folder = dir / "DCIM", moved = dir / "moved";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  tamtest::WriteText(folder + "/b.jpg", "old");
  EXPECT_THROW(
      {
        SafeFileWriter writer(folder + "/b.jpg");
        writer.Write(kData);
        writer.Commit([&](const std::string&) {
          ASSERT_EQ(::rename(folder.c_str(), moved.c_str()), 0);
          throw Error("kept");
        });
      },
      Error);
  EXPECT_EQ(FolderNames(moved), std::vector<std::string>{"b.jpg"});
}

// Runs body in a child process and returns how the child ended.
int ChildStatus(const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(SafeFileWriter, AProgramEndedMidWriteLeavesNoTemporaryFile) {
  TempDir dir;
  tamtest::WriteText(dir / "a.jpg", "old");
  const std::vector<std::uint8_t> big(1 << 20, 0x55);
  // Killed outright while writing: the content has no name yet (where the
  // file system has unnamed files; elsewhere nothing can help).
  const int probe = ::open(dir.path().c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (probe >= 0) {
    ::close(probe);
    const int status = ChildStatus([&] {
      SafeFileWriter writer(dir / "a.jpg");
      writer.Write(big);
      ::raise(SIGKILL);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
  }

  // Terminated while the complete content has its temporary name: the
  // handler removes it and the program still ends by that signal.
  const int status = ChildStatus([&] {
    RemoveTempFilesOnSignals();
    SafeFileWriter writer(dir / "a.jpg");
    writer.Write(big);
    writer.Commit([](const std::string&) { ::raise(SIGTERM); });
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"a.jpg"});
  EXPECT_EQ(tamtest::ReadBytes(dir / "a.jpg"), std::vector<std::uint8_t>({'o', 'l', 'd'}));
}

}  // namespace
}  // namespace tam
