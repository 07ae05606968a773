// SPDX-License-Identifier: MIT
#pragma once
// A small process that outlives this one only to clean up after it: once
// this program is gone, however it went (an error, Ctrl-C, SIGKILL), it
// stops the offices this program started and removes the folders it named.
#include <sys/types.h>

#include <string>

#include "picture/unique_fd.h"

namespace tam::pres::impress {

class OfficeWatch {
 public:
  // Starts the watching process. keep_fd, when not negative, stays open in
  // it until its work is done (a lock that must outlast the office).
  // Throws tam::Error when it cannot be started.
  explicit OfficeWatch(int keep_fd = -1);
  // Closing the pipe is what ends the watch: it then does its work.
  ~OfficeWatch();
  OfficeWatch(const OfficeWatch&) = delete;
  OfficeWatch& operator=(const OfficeWatch&) = delete;

  // An office started by this program, with its process group: it is
  // stopped once this program is gone, unless it ended before.
  void Office(pid_t pid);
  // An argument that only this program's offices are started with: any
  // process that holds it is stopped too (one started just before this
  // program was killed may not have been named yet).
  void Mark(const std::string& argument);
  // A folder that is removed, with all it holds, once this program and its
  // offices are gone.
  void Folder(const std::string& path);
  void ForgetFolder(const std::string& path);

  pid_t pid() const { return pid_; }

 private:
  void Send(char kind, const std::string& payload);
  int fd_ = -1;
  pid_t pid_ = 0;
};

// A profile folder for a private office that no other office uses now: one
// of a few kept in the user's cache folder (a kept profile starts much faster
// than a new one), held by a lock that lock keeps until it is closed; else,
// when there is no cache folder, a new one in the temporary folder, which
// is_new says then and the caller removes. Empty when neither can be made.
struct OfficeProfile {
  std::string path;
  UniqueFd lock;
  bool is_new = false;
};
OfficeProfile TakeOfficeProfile();

// The start time of a process in clock ticks since boot (field 22 of its
// stat), 0 when it is gone: with the process id it names one process, not
// a later one given the same number. Safe to call after fork().
unsigned long long ProcessStartTime(pid_t pid);

}  // namespace tam::pres::impress
