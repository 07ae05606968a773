// SPDX-License-Identifier: MIT
#include "presentation/impress/office_process.h"

#include <limits.h>
#include <spawn.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace tam::pres::impress {

namespace {

// The office program itself, beside the launcher script: the launcher's own
// helper process can hang when a first start with a new profile restarts
// the office (exit code 81), so that restart is done here instead.
std::string OfficeProgram(const std::string& soffice) {
  char real[PATH_MAX];
  if (!::realpath(soffice.c_str(), real)) return soffice;
  std::string program(real);
  program = program.substr(0, program.rfind('/') + 1) + "soffice.bin";
  return ::access(program.c_str(), X_OK) == 0 ? program : soffice;
}

// Collects the launcher once it ends, whenever that is.
void ReapLater(pid_t pid) {
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
}

// Whether the child has ended; it is left to be collected, so that its
// process group cannot be taken by a new process meanwhile.
bool Ended(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

std::string PipePath(const std::string& pipe_name) {
  return "/tmp/OSL_PIPE_" + std::to_string(::getuid()) + "_" + pipe_name;
}

// The pipe's sockets as the kernel lists them: an accepted connection carries
// the pipe's path and state 03, the listening socket state 01. Calls
// found(state, inode) for each; false when the list cannot be read.
template <class F>
bool PipeSockets(const std::string& pipe_name, F found) {
  std::ifstream list("/proc/net/unix");
  if (!list) return false;
  const std::string path = PipePath(pipe_name);
  std::string line;
  std::getline(list, line);  // the heading
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, name;
    if (fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> name && name == path)
      found(state, inode);
  }
  return true;
}

}  // namespace

std::string FileUrl(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    std::vector<char> cwd(4096);
    if (!::getcwd(cwd.data(), cwd.size())) throw Error("現在のフォルダーがわかりません");
    absolute = std::string(cwd.data()) + "/" + path;
  }
  static const char* hex = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : absolute) {
    if (std::isalnum(c) || std::strchr("/-._~", c)) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += hex[c >> 4];
      url += hex[c & 15];
    }
  }
  return url;
}

bool Headless(const ImpressOptions& options) {
  if (options.headless != ImpressOptions::Headless::kAuto)
    return options.headless == ImpressOptions::Headless::kYes;
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return !(x && *x) && !(w && *w);
}

pid_t StartOffice(const ImpressOptions& options, int stderr_fd) {
  const std::string program = OfficeProgram(options.soffice);
  std::vector<std::string> args = {program,       "--invisible", "--nologo",
                                   "--norestore", "--nodefault", "--nolockcheck"};
  if (Headless(options)) args.emplace_back("--headless");
  if (!options.user_installation.empty())
    args.push_back("-env:UserInstallation=" + FileUrl(options.user_installation));
  args.push_back("--accept=pipe,name=" + options.pipe_name + ";urp;StarOffice.ComponentContext");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // What the launcher script sets up before it starts the program.
  std::vector<std::string> env_strings = {"SAL_ENABLE_FILE_LOCKING=1"};
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "SAL_ENABLE_FILE_LOCKING=", 24) != 0) env_strings.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  if (stderr_fd >= 0)
    posix_spawn_file_actions_adddup2(&files, stderr_fd, 2);
  else
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: the office outlives this program and its terminal,
  // and whatever it starts can be stopped with it as one process group.
  // SIGPIPE goes back to its default, which this program ignores.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &files, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    // picture/error.cpp is not linked here: the table of texts is.
    const char* text = tam::ErrnoText(rc);
    throw Error("LibreOffice を起動できません: " + program + ": " + (text ? text : std::strerror(rc)));
  }
  return pid;
}

void StopOffice(pid_t pid) {
  ::kill(-pid, SIGTERM);
  for (int i = 0; i < 40 && !Ended(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(-pid, SIGKILL);
  for (int i = 0; i < 40; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ReapLater(pid);  // stuck in the kernel: collected when it finally goes
}

int PipeConnections(const std::string& pipe_name) {
  int connected = 0;
  if (!PipeSockets(pipe_name,
                   [&](const std::string& state, const std::string&) { connected += state == "03"; }))
    return -1;
  return connected;
}

pid_t PipeListener(const std::string& pipe_name) {
  std::string socket;
  PipeSockets(pipe_name, [&](const std::string& state, const std::string& inode) {
    if (state == "01") socket = "socket:[" + inode + "]";
  });
  if (socket.empty()) return 0;
  const tam::UniqueDir proc(::opendir("/proc"));
  if (!proc) return 0;
  while (dirent* process = ::readdir(proc.get())) {
    const pid_t pid = static_cast<pid_t>(std::atol(process->d_name));
    if (pid <= 0) continue;
    const std::string fd_folder = "/proc/" + std::string(process->d_name) + "/fd";
    const tam::UniqueDir fds(::opendir(fd_folder.c_str()));
    if (!fds) continue;
    while (dirent* fd = ::readdir(fds.get())) {
      char target[64];
      const ssize_t n = ::readlinkat(::dirfd(fds.get()), fd->d_name, target, sizeof target);
      if (n > 0 && socket.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) return pid;
    }
  }
  return 0;
}

bool RunsHeadless(pid_t pid) {
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  for (std::string arg; std::getline(cmdline, arg, '\0');)
    if (arg == "--headless" || arg == "-headless") return true;
  return false;
}

}  // namespace tam::pres::impress
