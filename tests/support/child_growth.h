// SPDX-License-Identifier: MIT
#pragma once
// How much memory one piece of work takes, measured in a child process so
// that what earlier tests left behind does not count and a runaway cannot
// take the test run with it.
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <fstream>
#include <functional>
#include <string>

namespace tamtest {

// Kilobytes of one "VmRSS:" or "VmHWM:" line of this process's status.
inline long StatusKb(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(key)) return std::stol(line.substr(key.size()));
  return -1;
}

// Runs work in a child given `seconds`: the kilobytes its peak resident set
// grew beyond what the child started with, or -1 when work returned false,
// threw, crashed or ran out of time.
inline long GrowthInChildKb(const std::function<bool()>& work, unsigned seconds = 60) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::alarm(seconds);
    const long before = StatusKb("VmRSS:");
    long grown = -1;
    try {
      if (work()) grown = StatusKb("VmHWM:") - before;
    } catch (const std::exception&) {
    }
    [[maybe_unused]] auto n = ::write(fds[1], &grown, sizeof grown);
    ::_exit(0);
  }
  ::close(fds[1]);
  long grown = -1;
  if (::read(fds[0], &grown, sizeof grown) != static_cast<ssize_t>(sizeof grown)) grown = -1;
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return grown;
}

}  // namespace tamtest
