// SPDX-License-Identifier: MIT
#pragma once
// What the file functions share: their error messages, and the rules that
// decide which file a write replaces and what the new file keeps of the old.
#include <sys/stat.h>

#include <string>

namespace tam::fileio {

[[noreturn]] void Fail(const char* before, const std::string& path, const char* after,
                       const std::string& reason);
[[noreturn]] void Fail(const char* before, const std::string& path, const char* after, int err);
[[noreturn]] void FailOpen(const std::string& path, int err);
[[noreturn]] void FailRead(const std::string& path, int err);
[[noreturn]] void FailCreate(const std::string& path, int err);
[[noreturn]] void FailWrite(const std::string& path, int err);

// A path that reaches `name` in the folder held open as `folder` wherever
// that folder is now, for the calls that take only paths; `otherwise`
// where the system shows no /proc.
std::string AtPath(int folder, const std::string& name, const std::string& otherwise);

// The file a write to `path`, whose name lies in `folder`, should replace:
// `path`, or the file its symbolic link leads to (`followed` then set),
// when that link may be followed.
std::string ResolveTarget(int folder, const std::string& path, bool& followed);

// Refuses a file that this user may not write, as an in-place write would.
void CheckWritable(const std::string& path, int folder, const std::string& name);

// Refuses anything but a regular file.
void CheckReplaceable(const std::string& path, const struct stat& st);

// Gives the new file `fd` what the replaced file `target` (`old` its stat)
// had: owner, group, mode, user.* attributes and access list; or refuses.
void KeepWhatTheFileWas(const std::string& path, const std::string& target, int fd, const struct stat& old);

}  // namespace tam::fileio
