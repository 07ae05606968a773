// SPDX-License-Identifier: MIT
#include "picture/trash.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>

#include "picture/error.h"
#include "support/testdata.h"

namespace tam {
namespace {

using tamtest::ModeOf;
using tamtest::ReadText;
using tamtest::ScopedEnv;
using tamtest::TempDir;

void ExpectTrashInfo(const std::string& info_file, const std::string& escaped_path) {
  const std::string text = ReadText(info_file);
  const std::regex form(
      "\\[Trash Info\\]\nPath=(.*)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, form)) << text;
  EXPECT_EQ(m[1].str(), escaped_path);
}

TEST(FreedesktopTrash, FreshHomeGetsItsDataFolderAndTrashCreated) {
  TempDir home, pics;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  const std::string picture = pics / "b 写真%.bmp";
  tamtest::WriteText(picture, "BM bitmap");

  ASSERT_TRUE(FreedesktopTrash().MoveToTrash(picture));
  EXPECT_FALSE(tamtest::Exists(picture));
  const std::string trash = home / ".local/share/Trash";
  EXPECT_EQ(ReadText(trash + "/files/b 写真%.bmp"), "BM bitmap");
  ExpectTrashInfo(trash + "/info/b 写真%.bmp.trashinfo", pics.path() + "/b%20%E5%86%99%E7%9C%9F%25.bmp");
  // Nothing was made beside the picture, and the new folders are private.
  EXPECT_TRUE(std::filesystem::is_empty(pics.path()));
  EXPECT_EQ(ModeOf(home / ".local"), 0700u);
  EXPECT_EQ(ModeOf(home / ".local/share"), 0700u);
  EXPECT_EQ(ModeOf(trash + "/files"), 0700u);
}

TEST(FreedesktopTrash, SameNamesGetNumberedAndDataHomeIsHonoured) {
  TempDir home, data, one, two, three;
  ScopedEnv h("HOME", home.path().c_str());
  const std::string data_home = data / "xdg";
  ScopedEnv x("XDG_DATA_HOME", data_home.c_str());
  tamtest::WriteText(one / "a.jpg", "one");
  tamtest::WriteText(two / "a.jpg", "two");
  tamtest::WriteText(three / "a.jpg", "three");
  FreedesktopTrash trash;
  ASSERT_TRUE(trash.MoveToTrash(one / "a.jpg"));
  ASSERT_TRUE(trash.MoveToTrash(two / "a.jpg"));
  ASSERT_TRUE(trash.MoveToTrash(three / "a.jpg"));
  const std::string t = data_home + "/Trash";
  EXPECT_EQ(ReadText(t + "/files/a.jpg"), "one");
  EXPECT_EQ(ReadText(t + "/files/a.2.jpg"), "two");
  EXPECT_EQ(ReadText(t + "/files/a.3.jpg"), "three");
  ExpectTrashInfo(t + "/info/a.2.jpg.trashinfo", two.path() + "/a.jpg");
  EXPECT_FALSE(tamtest::Exists(home / ".local"));
  // A second of a name whose last dot starts a long tail still fits.
  const std::string tail = "p." + std::string(243, 'x');
  tamtest::WriteText(one / tail, "one");
  tamtest::WriteText(two / tail, "two");
  ASSERT_TRUE(trash.MoveToTrash(one / tail));
  EXPECT_TRUE(trash.MoveToTrash(two / tail)) << trash.LastError();
}

TEST(FreedesktopTrash, RelativePathsAndOddNamesAreRecordedAbsoluteAndEscaped) {
  TempDir home, pics;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  const std::string name = "\xff\xfe #?.jpg";
  tamtest::WriteText(pics / name, "x");
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(pics.path());
  const bool moved = FreedesktopTrash().MoveToTrash(name);
  std::filesystem::current_path(old_cwd);
  ASSERT_TRUE(moved);
  ExpectTrashInfo(home / ".local/share/Trash/info/" + name + ".trashinfo",
                  pics.path() + "/%FF%FE%20%23%3F.jpg");
}

TEST(FreedesktopTrash, LongestNamesAreShortenedInTheTrashOnly) {
  TempDir home, pics;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  // 255 bytes: too long to take ".trashinfo" as well. The cut must not split
  // a three-byte character.
  std::string name = "ab";
  for (int i = 0; i < 82; ++i) name += "写";
  name += "bbb.bmp";
  ASSERT_EQ(name.size(), 255u);
  tamtest::WriteText(pics / name, "long");
  ASSERT_TRUE(FreedesktopTrash().MoveToTrash(pics / name));
  EXPECT_FALSE(tamtest::Exists(pics / name));
  const std::string trash = home / ".local/share/Trash";
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(trash + "/files"))
    files.push_back(e.path().filename());
  ASSERT_EQ(files.size(), 1u);
  const std::string stored = files[0];
  EXPECT_LE(stored.size() + 10, 255u);
  EXPECT_EQ(stored.substr(stored.size() - 4), ".bmp");
  EXPECT_EQ(name.rfind(stored.substr(0, stored.size() - 4), 0), 0u);
  EXPECT_EQ((stored.size() - 4 - 2) % 3, 0u) << "a character was cut";
  EXPECT_EQ(ReadText(trash + "/files/" + stored), "long");
  const std::string info = ReadText(trash + "/info/" + stored + ".trashinfo");
  EXPECT_NE(info.find("Path=" + pics.path() + "/ab%E5%86%99"), std::string::npos);
  EXPECT_NE(info.find("b.bmp\nDeletionDate="), std::string::npos);
}

TEST(FreedesktopTrash, FailureLeavesTheFileInPlace) {
  TempDir home, pics;
  // A home that cannot hold a trash: HOME names a plain file.
  tamtest::WriteText(home / "not-a-folder", "");
  const std::string bad_home = home / "not-a-folder";
  ScopedEnv h("HOME", bad_home.c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  tamtest::WriteText(pics / "a.bmp", "keep me");
  FreedesktopTrash trash;
  EXPECT_FALSE(trash.MoveToTrash(pics / "a.bmp"));
  EXPECT_EQ(ReadText(pics / "a.bmp"), "keep me");
  // Why travels with the refusal, for the message that says it was kept.
  EXPECT_EQ(trash.LastError(), bad_home + "/.local: " + SystemReason(ENOTDIR));
  EXPECT_FALSE(trash.MoveToTrash(pics / "missing.bmp"));
  EXPECT_EQ(trash.LastError(), SystemReason(ENOENT));
}

// A file system of its own: a private tmpfs when this process may mount one.
class OtherFileSystem {
 public:
  OtherFileSystem() {
    if (::mount("tamarind-test", dir_.path().c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0) mounted_ = true;
  }
  ~OtherFileSystem() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::string operator/(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

// A file already in the trash is refused, also when the data folder is
// reached through a link; a folder whose name merely begins like a trash
// folder's is no trash.
TEST(FreedesktopTrash, WhatIsInTheTrashIsKnownByItsFolder) {
  TempDir home, data;
  ASSERT_EQ(::symlink(data.path().c_str(), (home / "data").c_str()), 0);
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", (home / "data").c_str());
  tamtest::WriteText(home / "a.jpg", "a");
  FreedesktopTrash trash;
  ASSERT_TRUE(trash.MoveToTrash(home / "a.jpg"));
  EXPECT_FALSE(trash.MoveToTrash(data / "Trash/files/a.jpg"));
  EXPECT_EQ(trash.LastError(), "ごみ箱の中のファイルです");
  EXPECT_EQ(ReadText(data / "Trash/files/a.jpg"), "a");

  OtherFileSystem fs;
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  ASSERT_EQ(::mkdir((fs / ".Trashes").c_str(), 0755), 0);
  tamtest::WriteText(fs / ".Trashes/b.jpg", "b");
  EXPECT_TRUE(trash.MoveToTrash(fs / ".Trashes/b.jpg")) << trash.LastError();
  const std::string mine = fs / (".Trash-" + std::to_string(::getuid()));
  EXPECT_FALSE(trash.MoveToTrash(mine + "/files/b.jpg"));
}

TEST(FreedesktopTrash, FileOnAnotherFileSystemGoesToTheTrashAtItsTop) {
  TempDir home;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  OtherFileSystem fs;
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string uid = std::to_string(::getuid());
  ASSERT_EQ(::mkdir((fs / "pics").c_str(), 0755), 0);
  tamtest::WriteText(fs / "pics/a.bmp", "a");
  FreedesktopTrash trash;
  ASSERT_TRUE(trash.MoveToTrash(fs / "pics/a.bmp"));
  EXPECT_EQ(ReadText(fs / (".Trash-" + uid + "/files/a.bmp")), "a");
  // The recorded path is relative to the top of the file system.
  ExpectTrashInfo(fs / (".Trash-" + uid + "/info/a.bmp.trashinfo"), "pics/a.bmp");
  EXPECT_EQ(ModeOf(fs / (".Trash-" + uid)), 0700u);
  EXPECT_FALSE(tamtest::Exists(home / ".local"));

  // A .Trash without the sticky bit is not to be trusted ...
  ASSERT_EQ(::mkdir((fs / ".Trash").c_str(), 0777), 0);
  ASSERT_EQ(::chmod((fs / ".Trash").c_str(), 0777), 0);
  tamtest::WriteText(fs / "b.bmp", "b");
  ASSERT_TRUE(trash.MoveToTrash(fs / "b.bmp"));
  EXPECT_TRUE(tamtest::Exists(fs / (".Trash-" + uid + "/files/b.bmp")));
  // ... a sticky one is the place for every user's own folder.
  ASSERT_EQ(::chmod((fs / ".Trash").c_str(), 01777), 0);
  tamtest::WriteText(fs / "c.bmp", "c");
  ASSERT_TRUE(trash.MoveToTrash(fs / "c.bmp"));
  EXPECT_EQ(ReadText(fs / (".Trash/" + uid + "/files/c.bmp")), "c");
  ExpectTrashInfo(fs / (".Trash/" + uid + "/info/c.bmp.trashinfo"), "c.bmp");
}

// A folder shown elsewhere by a bind mount is on the home trash's device,
// yet no rename reaches the home trash from there: its own top has the trash.
TEST(FreedesktopTrash, FileOnABindMountGoesToTheTrashAtItsMountPoint) {
  TempDir home, shown, mount_point;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  if (::mount(shown.path().c_str(), mount_point.path().c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "cannot bind-mount here";
  const std::unique_ptr<const char, void (*)(const char*)> unmount(
      mount_point.path().c_str(), [](const char* at) { ::umount2(at, MNT_DETACH); });
  tamtest::WriteText(mount_point / "a.jpg", "a");
  FreedesktopTrash trash;
  ASSERT_TRUE(trash.MoveToTrash(mount_point / "a.jpg")) << trash.LastError();
  EXPECT_EQ(ReadText(mount_point / (".Trash-" + std::to_string(::getuid()) + "/files/a.jpg")), "a");
}

// A camera's card keeps no owners: the top, the trash folder just made and
// the photo all show the owner the mount was given, not the user trashing.
// That trash is usable; the same folder does not get a file of the user's own.
TEST(FreedesktopTrash, OnACardShowingOneOwnerTheTopTrashIsUsable) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to give files the card's owner";
  TempDir home;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  OtherFileSystem fs;
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  constexpr uid_t kCardOwner = 4711;
  const std::string trash_folder = fs / ".Trash-0";
  ASSERT_EQ(::mkdir((fs / "DCIM").c_str(), 0755), 0);
  for (const std::string& folder : {trash_folder, trash_folder + "/files", trash_folder + "/info"})
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  tamtest::WriteText(fs / "DCIM/IMG_0001.JPG", "photo");
  for (const std::string& path : {fs / "", fs / "DCIM", fs / "DCIM/IMG_0001.JPG", trash_folder,
                                  trash_folder + "/files", trash_folder + "/info"})
    ASSERT_EQ(::chown(path.c_str(), kCardOwner, kCardOwner), 0) << path;

  FreedesktopTrash trash;
  ASSERT_TRUE(trash.MoveToTrash(fs / "DCIM/IMG_0001.JPG")) << trash.LastError();
  EXPECT_EQ(ReadText(trash_folder + "/files/IMG_0001.JPG"), "photo");
  ExpectTrashInfo(trash_folder + "/info/IMG_0001.JPG.trashinfo", "DCIM/IMG_0001.JPG");

  tamtest::WriteText(fs / "DCIM/mine.jpg", "mine");
  EXPECT_FALSE(trash.MoveToTrash(fs / "DCIM/mine.jpg"));
  EXPECT_EQ(ReadText(fs / "DCIM/mine.jpg"), "mine");
}

TEST(FreedesktopTrash, UnusableTopTrashLeavesTheFileInPlace) {
  TempDir home;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_DATA_HOME", nullptr);
  OtherFileSystem fs;
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  // Someone put a file where the per-user trash folder would go.
  tamtest::WriteText(fs / (".Trash-" + std::to_string(::getuid())), "");
  tamtest::WriteText(fs / "a.bmp", "a");
  EXPECT_FALSE(FreedesktopTrash().MoveToTrash(fs / "a.bmp"));
  EXPECT_EQ(ReadText(fs / "a.bmp"), "a");
  EXPECT_FALSE(tamtest::Exists(home / ".local/share/Trash/files/a.bmp"));
}

}  // namespace
}  // namespace tam
