#pragma once
// A folder that refuses every change, for tests of failed writes. Permissions
// do not bind root, so as root the folder is a tmpfs of its own mounted
// read-only; otherwise its mode is taken away.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace tamtest
