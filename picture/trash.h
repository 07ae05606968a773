// SPDX-License-Identifier: MIT
#pragma once
// Recoverable deletion: the freedesktop.org trash.
#include <string>

namespace tam {

class Trash {
 public:
  virtual ~Trash() = default;
  // Moves one file to the trash, without asking. Returns false when it could
  // not; the file is then left where it was, never deleted for good.
  virtual bool MoveToTrash(const std::string& path) = 0;
  // Why the last MoveToTrash that returned false could not, as the system
  // or the trash says it ("Permission denied"); empty when nothing said why.
  virtual std::string LastError() const { return {}; }
};

// The user's real trash: $XDG_DATA_HOME/Trash (created when missing) for
// files on the same mount, $topdir/.Trash/$uid or $topdir/.Trash-$uid for
// files on other mounts, a bind mount of the home file system among them
// ($topdir its mount point).
class FreedesktopTrash : public Trash {
 public:
  bool MoveToTrash(const std::string& path) override;
  std::string LastError() const override { return last_error_; }

 private:
  std::string last_error_;
};

}  // namespace tam
