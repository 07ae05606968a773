// SPDX-License-Identifier: MIT
#pragma once
// Whole-file reads and safe whole-file writes on byte-string paths.
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "picture/limits.h"
#include "picture/unique_fd.h"

namespace tam {

// Whether the file at `path` (a link followed) is still the one `seen`
// describes (a stat taken before it was read): the same file, neither
// grown nor shrunk nor written since. A file gone is not.
bool StillAsSeen(const std::string& path, const struct stat& seen);
// The same for the file `name` in the folder held open as `folder`.
bool StillAsSeen(int folder, const std::string& name, const struct stat& seen);

// The path that reaches, now, the file `path` names in the folder held open
// as `folder`: `path` itself while its folder is still found by it, else
// the folder's present place (the folder was renamed, or another put under
// its name).
std::string PathNow(int folder, const std::string& path);

// Reads a whole regular file of at most `largest` bytes, exactly as large as
// it was when opened. Anything else (a FIFO, a device, a larger file) is
// refused without waiting. Throws tam::Error naming the file and the reason.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::int64_t largest = kLargestFile);
// The same for the file `path` names in the folder held open as `folder`,
// wherever that folder is now.
std::vector<std::uint8_t> ReadWholeFile(int folder, const std::string& path,
                                        std::int64_t largest = kLargestFile);

// The one way this program puts a file in place: the new content is written
// into a file without a name in the target's folder (a named temporary one
// where the file system cannot do that), made durable, and only then given
// the target's name. The target is never seen half written, and a write that
// fails or is abandoned leaves it as it was with no temporary file beside it.
//
// It gives the outcome an in-place write would give: a symbolic link stays a
// link and the file it points to gets the content (a link is followed only
// when this user or the folder's owner made it); an existing file the user
// may not write is refused, and so is anything there that is no regular file
// (a FIFO, a device, also behind a link); a replaced file keeps its
// permission bits, owner and group, access list and user.* attributes (a
// file whose owner the new one could not be given, somebody else's, is
// refused, and so is one whose group it could not be given where that
// group's access differs from everyone's), and a new one gets 0666 less
// the umask. Errors throw tam::Error naming `path` with the system's reason.
class SafeFileWriter {
 public:
  // What a symbolic link at `path` means: the file it leads to, as an
  // in-place write would (a name the user chose), or only itself, for a
  // name the program chose (its own output beside a photo): the link is
  // then replaced, and nothing outside the folder changes.
  enum class Link { kFollow, kReplace };
  explicit SafeFileWriter(const std::string& path, Link link = Link::kFollow);
  // Puts the file in the folder held open as `folder`, under the name that
  // ends `path`, wherever that folder is by then (`path` names it in
  // messages): a folder renamed meanwhile still gets it, and one put in its
  // place gets nothing. A link followed leads into a folder found by name.
  SafeFileWriter(int folder, const std::string& path, Link link = Link::kFollow);
  ~SafeFileWriter();  // abandons the write unless Commit succeeded
  SafeFileWriter(const SafeFileWriter&) = delete;
  SafeFileWriter& operator=(const SafeFileWriter&) = delete;

  // The file whose name the content will take: `path`, or the file its
  // symbolic link points to.
  const std::string& target() const { return target_; }
  // The path that reaches target() now (see PathNow).
  std::string TargetNow() const;
  // Whether target() was reached through a symbolic link at `path`.
  bool through_link() const { return through_link_; }
  // Whether a file is there now and will be replaced.
  bool replaces() const { return replaces_; }
  // Whether a symbolic link is there now and will be replaced (Link::kReplace).
  bool replaces_link() const { return replaces_link_; }
  // Where the content goes, positioned at its start.
  int fd() const { return fd_.get(); }

  // The file to replace must still be `seen` (a stat of it taken before it
  // was read) when the name changes hands: one changed or replaced in the
  // meantime holds somebody's newer work, and Commit fails, leaving it.
  void ReplaceOnly(const struct stat& seen);

  void Write(std::span<const std::uint8_t> data);
  // A failure met by someone else writing through fd(), with its errno.
  [[noreturn]] void FailWrite(int err) const;

  // Makes the content durable and gives it the target's name; a file that
  // took the name after the write began is somebody's and is never
  // replaced (Commit fails, leaving it). set_aside, when given and a file
  // (or a link) is replaced, runs once the content is complete and named,
  // just before the name changes hands, with TargetNow(); it may throw to
  // keep the old file (the write is then abandoned).
  void Commit(const std::function<void(const std::string& target)>& set_aside = {});

 private:
  void Begin(Link link, bool by_name);
  void Name();
  void RemoveTemp();
  std::string path_, target_;
  UniqueFd folder_;   // the folder the target lies in, held while the write lasts
  std::string name_;  // the target's name in folder_
  std::string temp_;  // the temporary file's name in folder_, while it has one
  UniqueFd fd_;
  bool through_link_ = false;
  bool by_name_ = false;  // folder_ was found by its name, and must still be at Commit
  bool unnamed_ = false;
  bool replaces_ = false;
  bool replaces_link_ = false;
  bool named_ = false;  // something had the target's name when the write began
  int slot_ = -1;
  std::optional<struct stat> seen_;         // set by ReplaceOnly
  std::optional<struct stat> folder_seen_;  // the folder when the write began
};

// Writes data in place of `path` with a SafeFileWriter.
void WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data);

// Makes SIGINT, SIGTERM and SIGHUP remove a named temporary file that is in
// flight before the program ends as the signal says, and a write past the
// file size limit fail instead of ending the program (SIGXFSZ ignored).
// Programs call it once at start; a library never installs handlers of its
// own accord.
void RemoveTempFilesOnSignals();

}  // namespace tam
