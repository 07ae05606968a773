// SPDX-License-Identifier: MIT
#include "picture/trash.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "picture/error.h"
#include "picture/path.h"
#include "picture/unique_fd.h"

// Follows the freedesktop.org trash layout (version 1.0): the info file is
// written first (it claims the name), then the file is renamed into files/.
// Nothing is ever copied across file systems and nothing is deleted for good.

namespace tam {
namespace {

constexpr std::size_t kNameMax = 255;
constexpr const char kInfoExt[] = ".trashinfo";

// Records why a step failed, for LastError; false, for the step to return.
bool Failed(std::string& why, std::string reason) {
  why = std::move(reason);
  return false;
}
bool Failed(std::string& why, const std::string& path, int err) {
  return Failed(why, path + ": " + SystemReason(err));
}

std::optional<std::string> RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string s(real);
  std::free(real);
  return s;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

// $XDG_DATA_HOME when set to an absolute path, else ~/.local/share.
std::string DataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.local/share";
}

// Creates every missing folder of an absolute path with mode 0700 (the XDG
// base directory rule for the data folder). True when it is a folder at the end.
bool MakeFolders(const std::string& path, std::string& why) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || Failed(why, path, ENOTDIR);
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Failed(why, part, errno);
    if (slash == std::string::npos) break;
  }
  if (::stat(path.c_str(), &st) != 0) return Failed(why, path, errno);
  return S_ISDIR(st.st_mode) || Failed(why, path, ENOTDIR);
}

// A trash folder of ours: a real folder (no link) owned by this user, or
// by `also`, the one owner a file system without owners of its own shows
// for everything on it (see FixedOwner).
bool IsOwnFolder(const std::string& path, uid_t also, std::string& why) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Failed(why, path, errno);
  if (!S_ISDIR(st.st_mode)) return Failed(why, path, ENOTDIR);
  return st.st_uid == ::getuid() || st.st_uid == also ||
         Failed(why, path + ": ほかのユーザーのフォルダーです");
}

// Makes `path` (mode 0700) unless it is there, and checks that it may be used.
bool EnsureOwnFolder(const std::string& path, uid_t also, std::string& why) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return Failed(why, path, errno);
  return IsOwnFolder(path, also, why);
}

bool EnsureTrashFolders(const std::string& trash, std::string& why, uid_t also = ::getuid()) {
  return EnsureOwnFolder(trash, also, why) && EnsureOwnFolder(trash + "/files", also, why) &&
         EnsureOwnFolder(trash + "/info", also, why);
}

// A camera's card (FAT, exFAT) keeps no owners: every file and folder on it,
// one just made too, shows the owner the mount was given, whoever made it.
// A trash folder there is ours if that owner also owns the top of the file
// system and the very file to be trashed: nothing of anyone else's then
// passes to them. Somebody else's folder on a file system that keeps owners,
// made to catch our files, still fails this unless the file was theirs.
uid_t FixedOwner(const std::string& top, const std::string& file) {
  struct stat top_st, file_st;
  if (::stat(top.c_str(), &top_st) != 0 || ::lstat(file.c_str(), &file_st) != 0 ||
      top_st.st_uid != file_st.st_uid)
    return ::getuid();
  return file_st.st_uid;
}

// Where a path lies: its device and, where the kernel says, its mount. A
// bind mount shows part of a file system at another place, and a rename
// cannot cross from one mount to another even on the same device.
struct Place {
  dev_t dev = 0;
  std::uint64_t mount = 0;  // 0 when the kernel does not say
  bool operator==(const Place&) const = default;
};

std::optional<Place> PlaceOf(const std::string& path) {
  struct statx sx;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_MNT_ID, &sx) != 0) return std::nullopt;
  Place place;
  place.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  if (sx.stx_mask & STATX_MNT_ID) place.mount = sx.stx_mnt_id;
  return place;
}

// The place of a path, or of its nearest existing ancestor when it is missing.
std::optional<Place> NearestPlaceOf(std::string path) {
  for (;;) {
    if (const auto place = PlaceOf(path)) return place;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || path.empty() || path == "/") return std::nullopt;
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

// The mount point holding `folder` (an absolute, resolved path): the topmost
// ancestor in the same place.
std::string TopFolder(const std::string& folder, const Place& place) {
  std::string top = folder;
  while (top != "/") {
    const auto slash = top.rfind('/');
    const std::string parent = slash == 0 ? "/" : top.substr(0, slash);
    if (PlaceOf(parent) != place) break;
    top = parent;
  }
  return top;
}

// Path= is a URL-escaped byte string; "/" stays as it is.
std::string EscapePath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : path) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string DeletionDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// Shortens a name so that name + ".trashinfo" fits a folder entry, cutting
// before a UTF-8 continuation byte never, and keeping the extension if it can.
std::string FitName(const std::string& name, std::size_t room) {
  if (name.size() <= room) return name;
  std::string ext = ExtractFileExt(name);
  if (ext.size() > 16 || ext.size() >= room) ext.clear();
  std::string stem = name.substr(0, name.size() - ext.size());
  std::size_t cut = room - ext.size();
  while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
  return stem.substr(0, cut) + ext;
}

// Candidate names in the trash: "a.jpg", then "a.2.jpg", "a.3.jpg", ...
std::string CandidateName(const std::string& name, int n) {
  const std::size_t room = kNameMax - (sizeof kInfoExt - 1);
  if (n == 1) return FitName(name, room);
  const std::string number = "." + std::to_string(n);
  std::string ext = ExtractFileExt(name);
  // A name such as ".profile" has no stem; a long "extension" is part of it.
  if (ext == name || ext.size() > 16) ext.clear();
  const std::string stem = name.substr(0, name.size() - ext.size());
  return FitName(stem, room - number.size() - ext.size()) + number + ext;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Moves `file` into the trash folder `trash`, recording `recorded` as its
// original path. False when any step fails; the file is then where it was.
bool MoveInto(const std::string& trash, const std::string& file, const std::string& recorded,
              std::string& why) {
  const std::string name = ExtractFileName(file);
  const std::string contents =
      "[Trash Info]\nPath=" + EscapePath(recorded) + "\nDeletionDate=" + DeletionDate() + "\n";
  for (int n = 1; n < 10000; ++n) {
    const std::string candidate = CandidateName(name, n);
    const std::string info = trash + "/info/" + candidate + kInfoExt;
    const std::string target = trash + "/files/" + candidate;
    UniqueFd fd(::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
      if (errno == EEXIST) continue;
      return Failed(why, info, errno);
    }
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {
      // A leftover without its info file: leave it alone and take the next name.
      fd.reset();
      ::unlink(info.c_str());
      continue;
    }
    if (!WriteAll(fd.get(), contents) || fd.close() != 0) {
      const int err = errno;
      fd.reset();
      ::unlink(info.c_str());
      return Failed(why, info, err);
    }
    // What refuses here is the file's own folder (or its file system).
    if (::rename(file.c_str(), target.c_str()) != 0) {
      const int err = errno;
      ::unlink(info.c_str());
      return Failed(why, SystemReason(err));
    }
    return true;
  }
  return Failed(why, trash + ": 同じ名前のファイルが多すぎます");
}

// Whether `file` (its folder resolved) lies in `folder`, however the
// folder's own path is spelt (a link in $XDG_DATA_HOME).
bool IsInside(const std::string& file, const std::string& folder) {
  const std::string real = RealPath(folder).value_or(folder);
  return file.rfind(real + "/", 0) == 0;
}

// $topdir/.Trash/$uid when the administrator prepared $topdir/.Trash (a real
// folder with the sticky bit), otherwise $topdir/.Trash-$uid.
bool MoveToTopTrash(const std::string& top, const std::string& file, std::string& why) {
  const std::string uid = std::to_string(::getuid());
  const std::string prefix = top == "/" ? "/" : top + "/";
  // Paths in a top-folder trash are relative to the top folder, so they stay
  // right when the medium is mounted elsewhere.
  const std::string recorded = file.substr(prefix.size());

  const uid_t also = FixedOwner(top, file);
  struct stat st;
  const std::string shared = prefix + ".Trash";
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    const std::string mine = shared + "/" + uid;
    if (EnsureTrashFolders(mine, why, also) && MoveInto(mine, file, recorded, why)) return true;
  }
  const std::string own = prefix + ".Trash-" + uid;
  return EnsureTrashFolders(own, why, also) && MoveInto(own, file, recorded, why);
}

}  // namespace

bool FreedesktopTrash::MoveToTrash(const std::string& path) {
  std::string& why = last_error_;
  why.clear();
  struct stat st;
  if (path.empty()) return Failed(why, SystemReason(ENOENT));
  if (::lstat(path.c_str(), &st) != 0) return Failed(why, SystemReason(errno));

  // The absolute path with its folder resolved; the name itself is kept, so a
  // symbolic link is trashed as the link.
  const std::string name = ExtractFileName(path);
  if (name.empty() || name == "." || name == "..") return Failed(why, SystemReason(EINVAL));
  std::string folder = ExtractFilePath(path);
  const auto real_folder = RealPath(folder.empty() ? "." : folder);
  if (!real_folder) return Failed(why, SystemReason(errno));
  const std::string file = (*real_folder == "/" ? "/" : *real_folder + "/") + name;
  const auto place = PlaceOf(*real_folder);
  if (!place) return Failed(why, SystemReason(errno));

  const std::string data_home = DataHome();
  if (!data_home.empty() && data_home[0] == '/') {
    const std::string home_trash = data_home + "/Trash";
    if (NearestPlaceOf(home_trash) == place) {
      // The trash must not swallow itself.
      if (IsInside(file, home_trash)) return Failed(why, "ごみ箱の中のファイルです");
      return MakeFolders(data_home, why) && EnsureTrashFolders(home_trash, why) &&
             MoveInto(home_trash, file, file, why);
    }
  }
  const std::string top = TopFolder(*real_folder, *place);
  const std::string prefix = top == "/" ? "/" : top + "/";
  // Spelt as found: the file's folder is resolved, and a trash folder there
  // that is a link is never used.
  if (file.rfind(prefix + ".Trash/", 0) == 0 ||
      file.rfind(prefix + ".Trash-" + std::to_string(::getuid()) + "/", 0) == 0)
    return Failed(why, "ごみ箱の中のファイルです");
  return MoveToTopTrash(top, file, why);
}

}  // namespace tam
