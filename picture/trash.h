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
};

// The user's real trash: $XDG_DATA_HOME/Trash (created when missing) for
// files on the home file system, $topdir/.Trash/$uid or $topdir/.Trash-$uid
// for files on other mounts.
class FreedesktopTrash : public Trash {
 public:
  bool MoveToTrash(const std::string& path) override;
};

}  // namespace tam
