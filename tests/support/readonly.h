// SPDX-License-Identifier: MIT
#pragma once
// A folder that refuses every change, for tests of failed writes. Permissions
// do not bind root, so as root the folder is a tmpfs of its own mounted
// read-only; otherwise its mode is taken away. And a way to run a check as a
// user whom file modes bind.
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace tamtest {

class ReadOnlyFolder {
 public:
  // Fill the folder first; Lock() then makes it read-only. ok() tells
  // whether the folder could be made; tests skip when not.
  explicit ReadOnlyFolder(const std::string& path) : path_(path) {
    if (::geteuid() != 0) {
      ok_ = true;
    } else if (::mount("tamarind-test", path_.c_str(), "tmpfs", 0, "size=4m,mode=0755") == 0) {
      mounted_ = ok_ = true;
    }
  }
  ~ReadOnlyFolder() {
    if (mounted_) {
      ::umount2(path_.c_str(), MNT_DETACH);
    } else {
      ::chmod(path_.c_str(), 0755);
    }
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  bool ok() const { return ok_; }
  bool Lock() {
    if (mounted_) return ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    return ::chmod(path_.c_str(), 0555) == 0;
  }

 private:
  std::string path_;
  bool ok_ = false;
  bool mounted_ = false;
};

// Runs check where file modes bind: as root, in a child process that has
// become the user nobody (65534) after the folder and everything in it were
// handed to that user; otherwise right here. Returns check's result, or
// kNoUnprivilegedUser when no such child could be had (tests skip then).
inline constexpr int kNoUnprivilegedUser = 77;
inline int RunUnprivileged(const std::string& folder, const std::function<int()>& check) {
  if (::geteuid() != 0) return check();
  constexpr uid_t kNobody = 65534;
  if (::lchown(folder.c_str(), kNobody, kNobody) != 0) return kNoUnprivilegedUser;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    if (::lchown(e.path().c_str(), kNobody, kNobody) != 0) return kNoUnprivilegedUser;
  }
  const pid_t child = ::fork();
  if (child < 0) return kNoUnprivilegedUser;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 ||
        ::access(folder.c_str(), W_OK | X_OK) != 0) {
      ::_exit(kNoUnprivilegedUser);
    }
    ::_exit(check());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Runs check as the user nobody in a child process, the files left with
// their owners: somebody else's files, as that user sees them. Only root can
// become another user; elsewhere, and when the change fails, it returns
// kNoUnprivilegedUser (tests skip then).
inline int RunAsAnotherUser(const std::function<int()>& check) {
  if (::geteuid() != 0) return kNoUnprivilegedUser;
  const pid_t child = ::fork();
  if (child < 0) return kNoUnprivilegedUser;
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(kNoUnprivilegedUser);
    }
    ::_exit(check());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace tamtest
