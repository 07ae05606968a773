// The presentation server on LibreOffice Impress, driven over UNO through a
// named pipe. Every call into the office runs on the watchdog worker, so a
// dead or hung office turns into an error instead of a frozen program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#pragma GCC visibility push(default)
#include "picture/errno_text.h"
#include "picture/error.h"
#include "picture/unique_fd.h"
#include "presentation/builtin_model.h"
#include "presentation/impress_loader.h"
#pragma GCC visibility pop
#include <com/sun/star/awt/Size.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XMultiPropertySet.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/drawing/XDrawPage.hpp>
#include <com/sun/star/drawing/XDrawPages.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/drawing/XShape.hpp>
#include <com/sun/star/drawing/XShapes.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XLoadable.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/graphic/GraphicProvider.hpp>
#include <com/sun/star/graphic/XGraphic.hpp>
#include <com/sun/star/graphic/XGraphicProvider.hpp>
#include <com/sun/star/io/XInputStream.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/IndexOutOfBoundsException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XMultiComponentFactory.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/presentation/XPresentationPage.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/text/XTextCursor.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/uno/DeploymentException.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/exc_hlp.hxx>
#include <rtl/bootstrap.hxx>
#include <rtl/ustring.hxx>

#include "presentation/impress/uno_worker.h"

extern char** environ;

namespace tam::pres::impress {
namespace {

using namespace com::sun::star;
using rtl::OString;
using rtl::OUString;
using rtl::OUStringToOString;
using uno::Reference;
using uno::UNO_QUERY;
using uno::UNO_QUERY_THROW;

constexpr const char* kProgramDir = "/usr/lib/libreoffice/program";
constexpr const char* kNotesShapeType = "com.sun.star.presentation.NotesShape";
constexpr const char* kPresentationService = "com.sun.star.presentation.PresentationDocument";
// A slide as PowerPoint makes it by default: 10 x 7.5 inches, in 1/100 mm.
constexpr sal_Int32 kPageWidth = 25400;
constexpr sal_Int32 kPageHeight = 19050;

// ---- conversions ----

OUString ToOUString(const std::string& utf8) {
  return OUString(utf8.data(), static_cast<sal_Int32>(utf8.size()), RTL_TEXTENCODING_UTF8);
}
std::string ToUtf8(const OUString& s) {
  return OString(OUStringToOString(s, RTL_TEXTENCODING_UTF8)).getStr();
}

sal_Int32 PointsToHmm(double points) { return static_cast<sal_Int32>(std::lround(points * 2540.0 / 72.0)); }

// A file URL for a byte path: every byte that is not plainly safe is escaped,
// so names that are not UTF-8 reach the office unchanged.
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

// ---- errors ----

std::string Seconds(int ms) { return std::to_string((ms + 999) / 1000); }

// Runs f and turns every UNO exception into the error the user sees, with
// the office's own description.
template <class F>
auto Guarded(F f) {
  return [f = std::move(f)]() mutable -> std::invoke_result_t<F> {
    try {
      return f();
    } catch (const lang::DisposedException&) {
      // What the bridge adds (its source file and line) means nothing to the user.
      throw Error("LibreOffice との接続が切れました (LibreOffice が終了した可能性があります)");
    } catch (const uno::Exception& e) {
      std::string message = ToUtf8(e.Message);
      if (message.empty())
        message = "LibreOffice でエラーが発生しました (" +
                  ToUtf8(cppu::getCaughtException().getValueTypeName()) + ")";
      throw Error(message);
    }
  };
}

// ---- the local UNO environment ----

Reference<uno::XComponentContext> LocalContext() {
  // Made once and kept for the life of the process: the UNO runtime does not
  // like being torn down while bridges may still be around.
  static Reference<uno::XComponentContext>* context = [] {
    const OUString dir = OUString::createFromAscii("file://") + OUString::createFromAscii(kProgramDir);
    rtl::Bootstrap::set("URE_INTERNAL_LIB_DIR", dir);
    rtl::Bootstrap::set("UNO_TYPES", dir + "/types.rdb " + dir + "/types/offapi.rdb");
    rtl::Bootstrap::set("UNO_SERVICES", dir + "/services.rdb");
    return new Reference<uno::XComponentContext>(cppu::defaultBootstrap_InitialComponentContext());
  }();
  return *context;
}

// The office's context behind the pipe, or null when nobody listens there.
Reference<uno::XComponentContext> Resolve(const OUString& url) {
  Reference<bridge::XUnoUrlResolver> resolver = bridge::UnoUrlResolver::create(LocalContext());
  try {
    return Reference<uno::XComponentContext>(resolver->resolve(url), UNO_QUERY_THROW);
  } catch (const connection::NoConnectException&) {
    return {};
  }
}

// ---- the office process ----

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

// The office asks to be started again (after creating a new profile).
constexpr int kRestartExitCode = 81;

bool Headless(const ImpressOptions& options) {
  if (options.headless != ImpressOptions::Headless::kAuto)
    return options.headless == ImpressOptions::Headless::kYes;
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return !(x && *x) && !(w && *w);
}

// A file without a name that takes what a starting office writes on stderr:
// a pipe would break (and end the office) once this program is gone, and the
// office usually outlives it. Its space is freed when both have closed it.
class ScratchFile {
 public:
  ScratchFile() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      std::string name = folder + "/tamarind2-office-XXXXXX";
      fd_ = ::mkostemp(name.data(), O_APPEND | O_CLOEXEC);
      if (fd_ >= 0) ::unlink(name.c_str());
    }
  }
  ~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  int fd() const { return fd_; }

  // The last bytes written, on one line: the office's reason comes last.
  std::string Tail() const {
    constexpr off_t kMost = 2000;
    struct stat st = {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size <= 0) return {};
    const off_t from = std::max<off_t>(0, st.st_size - kMost);
    std::string bytes(static_cast<size_t>(st.st_size - from), '\0');
    const ssize_t n = ::pread(fd_, bytes.data(), bytes.size(), from);
    if (n <= 0) return {};
    bytes.resize(static_cast<size_t>(n));
    size_t start = 0;
    if (from > 0)  // begin on a whole character
      while (start < bytes.size() && (static_cast<unsigned char>(bytes[start]) & 0xC0) == 0x80) ++start;
    std::string line;
    for (size_t i = start; i < bytes.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c < 0x20 || c == 0x7F) {
        if (!line.empty() && line.back() != ' ') line += ' ';
      } else {
        line += static_cast<char>(c);
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
  }

 private:
  int fd_ = -1;
};

// stderr_fd: where the office's stderr goes; /dev/null when negative.
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

// Stops an office we started that never answered, with whatever it started
// in its session, and collects it. It gets two seconds to go by itself
// (leaving its profile tidy), then is killed.
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

// An office this program started that went on running after it answered.
// A thread of its own collects it whenever it ends; until then its process
// group may be signalled, and never after, when its number may be somebody
// else's.
class StartedOffice {
 public:
  static std::shared_ptr<StartedOffice> Watch(pid_t pid) {
    auto office = std::shared_ptr<StartedOffice>(new StartedOffice(pid));
    std::thread([office] {
      siginfo_t info{};
      while (::waitid(P_PID, static_cast<id_t>(office->pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
      }
      std::lock_guard lock(office->mutex_);
      ::waitpid(office->pid_, nullptr, 0);
      office->collected_ = true;
      office->ended_.notify_all();
    }).detach();
    return office;
  }

  // Ends an office that no longer answers, with whatever it started: it gets
  // two seconds to go by itself (a stopped one is woken for that), then is killed.
  void Stop() {
    using namespace std::chrono_literals;
    std::unique_lock lock(mutex_);
    if (collected_) return;
    ::kill(-pid_, SIGTERM);
    ::kill(-pid_, SIGCONT);
    if (ended_.wait_for(lock, 2s, [this] { return collected_; })) return;
    ::kill(-pid_, SIGKILL);
    ended_.wait_for(lock, 2s, [this] { return collected_; });
  }

 private:
  explicit StartedOffice(pid_t pid) : pid_(pid) {}
  const pid_t pid_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool collected_ = false;
};

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

// How many connections the office listening on the pipe has accepted (a
// client's end carries no path), or -1 when that cannot be read.
int PipeConnections(const std::string& pipe_name) {
  int connected = 0;
  if (!PipeSockets(pipe_name, [&](const std::string& state, const std::string&) { connected += state == "03"; }))
    return -1;
  return connected;
}

// The process listening on the pipe, among those of this user that may be
// looked into; 0 when none is found.
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

// Whether a process was started as an office without a display.
bool RunsHeadless(pid_t pid) {
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  for (std::string arg; std::getline(cmdline, arg, '\0');)
    if (arg == "--headless" || arg == "-headless") return true;
  return false;
}

// What an office's save leaves beside the file while it writes: its lock
// file, and its temporary file, named from the office's process id, which
// becomes the file at the end. A save cut short by the office's end leaves
// both behind in the user's folder; those that were not there before are
// removed then. Another office's files are never named alike.
class SaveLeftovers {
 public:
  SaveLeftovers(const std::string& path, pid_t office) : office_(office) {
    const size_t slash = path.rfind('/');
    folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    lock_ = folder_ + "/.~lock." + path.substr(slash == std::string::npos ? 0 : slash + 1) + "#";
    struct stat st = {};
    lock_was_there_ = ::lstat(lock_.c_str(), &st) == 0;
    if (office_ > 0) temps_before_ = Temps();
  }

  // Once the office is gone: nothing of it writes there any more.
  void RemoveIfGone() const {
    if (office_ <= 0 || !Gone(office_)) return;
    if (!lock_was_there_) ::unlink(lock_.c_str());
    for (const std::string& name : Temps())
      if (std::find(temps_before_.begin(), temps_before_.end(), name) == temps_before_.end())
        ::unlink((folder_ + "/" + name).c_str());
  }

 private:
  // The office's temporary files in the folder: "lu", its process id, a
  // few letters and digits, ".tmp", regular files of this user.
  std::vector<std::string> Temps() const {
    std::vector<std::string> names;
    const std::string prefix = "lu" + std::to_string(office_);
    const tam::UniqueDir dir(::opendir(folder_.c_str()));
    if (!dir) return names;
    while (dirent* e = ::readdir(dir.get())) {
      const std::string name = e->d_name;
      if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
          name.compare(name.size() - 4, 4, ".tmp") != 0 || std::isdigit(static_cast<unsigned char>(name[prefix.size()])))
        continue;
      struct stat st = {};
      if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
          st.st_uid == ::getuid())
        names.push_back(name);
    }
    return names;
  }

  static bool Gone(pid_t pid) {
    // Collected, or dead and not yet collected.
    for (int i = 0; i < 20; ++i) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string line;
      if (!std::getline(stat, line)) return true;
      const auto close = line.rfind(')');
      if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  pid_t office_;
  std::string folder_, lock_;
  bool lock_was_there_ = false;
  std::vector<std::string> temps_before_;
};

// How long an office already listening on the pipe has to answer a new
// connection. One that is running answers within a second or two; one that
// does not within this is stopped or stuck, and waiting the full call limit
// for it would hold up every run.
constexpr int kAnswerLimitMs = 10000;

// ---- one connection to the office ----

struct Session;

// What an insert run holds in the office until it ends: the presentations it
// made, whose views are not redrawn after every change of every slide (the
// office's hidden view of a presentation costs more with every slide).
struct RunState {
  bool active = false;
  struct Held {
    std::weak_ptr<Session> session;
    Reference<frame::XModel> model;
    bool show;  // its window is shown when the run ends
  };
  std::vector<Held> held;
};

struct Session {
  Session(const ImpressOptions& o, std::shared_ptr<RunState> r,
          std::shared_ptr<const std::function<void()>> w)
      : options(o), run(std::move(r)), waiting(std::move(w)) {}
  ImpressOptions options;
  std::shared_ptr<RunState> run;
  // The server's Server::WhileWaiting, run while a call takes its time.
  std::shared_ptr<const std::function<void()>> waiting;
  UnoWorker worker;
  Reference<uno::XComponentContext> context;
  Reference<frame::XDesktop2> desktop;
  std::atomic<bool> visible{false};
  // The office was started here without a display: nobody sees its windows.
  bool headless = false;
  // Made on the worker when the first picture is inserted, then kept: every
  // call into the office is a round trip over the pipe. Calls share it, not
  // the session, which must never end on the worker's own thread.
  std::shared_ptr<Reference<graphic::XGraphicProvider>> graphic_provider =
      std::make_shared<Reference<graphic::XGraphicProvider>>();
  // The office's service manager, asked for by the first picture too.
  std::shared_ptr<Reference<lang::XMultiComponentFactory>> service_manager =
      std::make_shared<Reference<lang::XMultiComponentFactory>>();

  template <class F>
  std::invoke_result_t<F> Call(F f) {
    return Call(std::move(f), options.call_timeout_ms);
  }
  template <class F>
  std::invoke_result_t<F> Call(F f, int limit_ms) {
    const std::function<void()> waiting_now = *waiting;  // may be replaced meanwhile
    return worker.Call(Guarded(std::move(f)), std::chrono::milliseconds(limit_ms),
                       "LibreOffice が " + Seconds(limit_ms) +
                           " 秒以内に応答しませんでした (LibreOffice が応答していない可能性があります)",
                       "LibreOffice が応答していません", waiting_now);
  }
};

// What the slides of one presentation share, found on the worker by the first
// slide that needs it and kept: each is a round trip over the pipe saved on
// every later slide. Only the session's worker touches it, picture_bytes aside.
struct PresentationCache {
  Reference<lang::XMultiServiceFactory> factory;  // the document's, for new shapes
  // The notes page of a slide added here was seen to hold its body second,
  // after the picture of the slide: the office lays out every new notes page
  // of a presentation from the same master.
  bool notes_body_second = false;
  // The bytes of the pictures pasted here, which a save writes again.
  std::atomic<std::uint64_t> picture_bytes{0};
};

const Reference<lang::XMultiServiceFactory>& ShapeFactory(PresentationCache& cache,
                                                          const Reference<frame::XModel>& model) {
  if (!cache.factory.is()) cache.factory.set(model, UNO_QUERY_THROW);
  return cache.factory;
}

// The document's window comes to the front.
void ShowWindow(const Reference<frame::XModel>& model) {
  Reference<frame::XController> controller = model->getCurrentController();
  if (controller.is()) {
    Reference<awt::XWindow> window = controller->getFrame()->getContainerWindow();
    window->setVisible(true);
    window->setFocus();
  }
}

// The presentation document behind a component, or an error.
Reference<frame::XModel> PresentationModel(const Reference<uno::XInterface>& component) {
  Reference<lang::XServiceInfo> info(component, UNO_QUERY);
  if (!info.is() || !info->supportsService(OUString::createFromAscii(kPresentationService))) return {};
  return Reference<frame::XModel>(component, UNO_QUERY);
}

sal_Int16 ImpressLayout(int layout) {
  switch (layout) {
    case 1:
      return 0;  // title slide
    case 2:
      return 1;  // title and content
    case 11:
      return 19;  // title only
    case 12:
      return 20;  // blank
    default:
      throw Error("このスライドのレイアウトは使えません: " + std::to_string(layout));
  }
}

// The shape is asked for at once; the shapes are counted only to say why
// there is none.
Reference<text::XText> ShapeText(const Reference<drawing::XDrawPage>& page, int index) {
  if (index >= 1) {
    try {
      Reference<text::XText> text(page->getByIndex(index - 1), UNO_QUERY);
      if (!text.is()) throw Error("この図形には文字を入れられません: " + std::to_string(index));
      return text;
    } catch (const lang::IndexOutOfBoundsException&) {
    }
  }
  const sal_Int32 count = page->getCount();
  throw Error("図形の番号が範囲外です: " + std::to_string(index) + " (図形は " + std::to_string(count) +
              " 個)");
}

// ---- the object model ----

class ImpressSlide final : public Slide {
 public:
  // page_props: the page's property set where it is already known.
  // page_size: the slide's size in 1/100 mm where the presentation knows it,
  // else zero and read from the page when needed.
  // added: the page was just added to the presentation by this program.
  ImpressSlide(std::shared_ptr<Session> session, Reference<frame::XModel> model,
               std::shared_ptr<PresentationCache> cache, Reference<drawing::XDrawPage> page,
               Reference<beans::XPropertySet> page_props = {}, awt::Size page_size = {}, bool added = false)
      : session_(std::move(session)),
        model_(std::move(model)),
        cache_(std::move(cache)),
        page_(std::move(page)),
        page_props_(std::move(page_props)),
        page_size_(page_size),
        added_(added) {}

  void AppendNotesText(const std::string& s) override {
    text_.clear();
    const bool first = added_ && !notes_written_;
    session_->Call([page = page_, cache = cache_, added = added_, first, text = ToOUString(s)] {
      Reference<presentation::XPresentationPage> slide(page, UNO_QUERY_THROW);
      Reference<drawing::XDrawPage> notes = slide->getNotesPage();
      Reference<text::XText> body;
      if (added && cache->notes_body_second) {
        try {
          body.set(notes->getByIndex(1), UNO_QUERY);
        } catch (const lang::IndexOutOfBoundsException&) {
        }
      }
      for (sal_Int32 i = 0, n = body.is() ? 0 : notes->getCount(); i < n && !body.is(); ++i) {
        Reference<drawing::XShape> shape(notes->getByIndex(i), UNO_QUERY);
        if (shape.is() && shape->getShapeType().equalsAscii(kNotesShapeType)) {
          body.set(shape, UNO_QUERY_THROW);
          if (added && i == 1) cache->notes_body_second = true;
        }
      }
      if (!body.is()) throw Error("スライドのノートに本文の枠がありません");
      // The notes of a page just added are still empty: the text is all
      // there is, set without asking for where it ends.
      if (first)
        body->setString(text);
      else
        body->insertString(body->getEnd(), text, false);
    });
    notes_written_ = true;
  }

  void AddTextbox(int orientation, float left, float top, float width, float height) override {
    if (orientation != kOrientationHorizontal)
      throw Error("この文字の向きは使えません: " + std::to_string(orientation));
    text_.clear();
    session_->Call([model = model_, cache = cache_, page = page_, left, top, width, height] {
      Reference<drawing::XShape> box(
          ShapeFactory(*cache, model)
              ->createInstance(OUString::createFromAscii("com.sun.star.drawing.TextShape")),
          UNO_QUERY_THROW);
      page->add(box);
      box->setPosition(awt::Point(PointsToHmm(left), PointsToHmm(top)));
      box->setSize(awt::Size(PointsToHmm(width), PointsToHmm(height)));
    });
  }

  // The text set here is the one whose size is set next: it is kept for that.
  void SetShapeText(int index, const std::string& s) override {
    text_.clear();
    text_ = session_->Call([page = page_, index, text = ToOUString(s)] {
      Reference<text::XText> shape_text = ShapeText(page, index);
      shape_text->setString(text);
      return shape_text;
    });
    text_index_ = index;
  }

  void SetShapeFontSize(int index, float points) override {
    Reference<text::XText> known = text_index_ == index ? text_ : Reference<text::XText>();
    text_.clear();
    session_->Call([page = page_, index, points, known] {
      Reference<text::XText> text = known.is() ? known : ShapeText(page, index);
      // The whole text, selected in one call (XText is a range itself).
      const Reference<text::XTextRange> whole(text.get());
      Reference<beans::XMultiPropertySet> all(text->createTextCursorByRange(whole), UNO_QUERY_THROW);
      // Japanese file names are set in the Asian font: its size counts too.
      // The names in the order the office sorts them.
      const OUString names[] = {OUString::createFromAscii("CharHeight"),
                                OUString::createFromAscii("CharHeightAsian"),
                                OUString::createFromAscii("CharHeightComplex")};
      const uno::Any values[] = {uno::Any(points), uno::Any(points), uno::Any(points)};
      all->setPropertyValues(uno::Sequence<OUString>(names, 3), uno::Sequence<uno::Any>(values, 3));
    });
  }

  void SetLayout(int layout) override {
    const sal_Int16 value = ImpressLayout(layout);
    text_.clear();
    session_->Call([page = page_, props = page_props_, value] {
      (props.is() ? props : Reference<beans::XPropertySet>(page, UNO_QUERY_THROW))
          ->setPropertyValue(OUString::createFromAscii("Layout"), uno::Any(value));
    });
  }

  // The office is never handed our clipboard (a paste from another process
  // can deadlock while this thread waits in the call): the picture read from
  // it is inserted as a graphic, on top, centred, at 0.75 pt per pixel,
  // scaled down to fit the slide with its aspect ratio kept.
  void Paste(const std::shared_ptr<const Media>& picture) override {
    if (picture->bytes.size() > std::size_t(SAL_MAX_INT32)) throw Error("図が大きすぎます");
    uno::Sequence<sal_Int8> bytes(reinterpret_cast<const sal_Int8*>(picture->bytes.data()),
                                  static_cast<sal_Int32>(picture->bytes.size()));
    const int width_px = picture->width, height_px = picture->height;
    text_.clear();
    page_size_ = session_->Call([context = session_->context, manager = session_->service_manager,
                                 provider = session_->graphic_provider, model = model_, cache = cache_,
                                 page = page_, page_size = page_size_, bytes, width_px, height_px] {
      // The stream is made in the office, its bytes sent along in the
      // same call. It is handed back as it came: the office asks its own
      // object for the stream's interface, without a round trip.
      if (!manager->is()) *manager = context->getServiceManager();
      const OUString stream_service = OUString::createFromAscii("com.sun.star.io.SequenceInputStream");
      uno::Any argument(bytes);
      Reference<uno::XInterface> stream = (*manager)->createInstanceWithArgumentsAndContext(
          stream_service, uno::Sequence<uno::Any>(&argument, 1), context);
      if (!stream.is())
        throw uno::DeploymentException("component context fails to supply service " + stream_service +
                                           " of type com.sun.star.io.XSeekableInputStream",
                                       context);
      if (!provider->is()) *provider = graphic::GraphicProvider::create(context);
      uno::Sequence<beans::PropertyValue> media(2);
      media.getArray()[0].Name = OUString::createFromAscii("InputStream");
      media.getArray()[0].Value <<= stream;
      media.getArray()[1].Name = OUString::createFromAscii("LazyRead");
      media.getArray()[1].Value <<= true;
      Reference<graphic::XGraphic> graphic = (*provider)->queryGraphic(media);
      if (!graphic.is()) throw Error("LibreOffice がクリップボードの図を読めませんでした");

      awt::Size size = page_size;
      if (size.Width <= 0 || size.Height <= 0) {
        Reference<beans::XPropertySet> page_props(page, UNO_QUERY_THROW);
        page_props->getPropertyValue(OUString::createFromAscii("Width")) >>= size.Width;
        page_props->getPropertyValue(OUString::createFromAscii("Height")) >>= size.Height;
      }
      // Placed as the built-in engine places it, in EMU (360 to 1/100 mm).
      constexpr std::int64_t kEmuPerHmm = 360;
      const Box box = PlacePicture(width_px, height_px, std::int64_t{size.Width} * kEmuPerHmm,
                                   std::int64_t{size.Height} * kEmuPerHmm);
      auto hmm = [](std::int64_t emu) {
        return static_cast<sal_Int32>(std::llround(emu / double(kEmuPerHmm)));
      };

      Reference<drawing::XShape> shape(
          ShapeFactory(*cache, model)
              ->createInstance(OUString::createFromAscii("com.sun.star.drawing.GraphicObjectShape")),
          UNO_QUERY_THROW);
      page->add(shape);
      Reference<beans::XPropertySet>(shape, UNO_QUERY_THROW)
          ->setPropertyValue(OUString::createFromAscii("Graphic"), uno::Any(graphic));
      shape->setSize(awt::Size(hmm(box.cx), hmm(box.cy)));
      shape->setPosition(awt::Point(hmm(box.x), hmm(box.y)));
      return size;
    });
    cache_->picture_bytes += picture->bytes.size();
  }

 private:
  std::shared_ptr<Session> session_;
  Reference<frame::XModel> model_;
  std::shared_ptr<PresentationCache> cache_;
  Reference<drawing::XDrawPage> page_;
  Reference<beans::XPropertySet> page_props_;
  awt::Size page_size_;
  bool added_;
  bool notes_written_ = false;
  // The text of shape text_index_ as the last call left it, while no other
  // call has come between.
  Reference<text::XText> text_;
  int text_index_ = 0;
};

class ImpressPresentation final : public Presentation {
 public:
  // fresh: the document is new and its one slide is still the office's
  // untouched first page, which the first added slide takes over.
  // page_size: the size its slides were given, zero when unknown.
  ImpressPresentation(std::shared_ptr<Session> session, Reference<frame::XModel> model, bool fresh,
                      awt::Size page_size = {})
      : session_(std::move(session)), model_(std::move(model)), fresh_(fresh), page_size_(page_size) {}

  int SlideCount() override {
    counted_.reset();
    const int count = session_->Call([pages = Pages()] { return static_cast<int>(pages->getCount()); });
    counted_ = count;
    return fresh_ ? count - 1 : count;
  }

  std::shared_ptr<Slide> AddSlide(int index, int layout) override {
    const sal_Int16 value = ImpressLayout(layout);
    const bool reuse = fresh_;
    // A count just read is not read again (the slide goes after the last).
    const std::optional<sal_Int32> counted = std::exchange(counted_, std::nullopt);
    auto [page, props] = session_->Call([pages = Pages(), index, value, reuse, counted] {
      const sal_Int32 count = reuse ? 0 : counted ? *counted : pages->getCount();
      if (index < 1 || index > count + 1)
        throw Error("スライドの位置が範囲外です: " + std::to_string(index) + " (スライドは " +
                    std::to_string(count) + " 枚)");
      Reference<drawing::XDrawPage> page;
      if (reuse)
        page.set(pages->getByIndex(0), UNO_QUERY_THROW);
      else if (index == 1)
        throw Error("先頭にはスライドを追加できません");  // the office adds only after a page
      else
        page = pages->insertNewByIndex(index - 2);  // lands right after page index - 2
      // Kept for the slide's next layout.
      Reference<beans::XPropertySet> props(page, UNO_QUERY_THROW);
      props->setPropertyValue(OUString::createFromAscii("Layout"), uno::Any(value));
      return std::make_pair(page, props);
    });
    fresh_ = false;
    return std::make_shared<ImpressSlide>(session_, model_, cache_, page, props, page_size_, true);
  }

  const Reference<frame::XModel>& model() const { return model_; }
  const std::shared_ptr<Session>& session() const { return session_; }
  const std::shared_ptr<PresentationCache>& cache() const { return cache_; }

 private:
  // The document's slides, asked for once.
  const Reference<drawing::XDrawPages>& Pages() {
    if (!pages_.is())
      pages_ = session_->Call([model = model_] {
        return Reference<drawing::XDrawPagesSupplier>(model, UNO_QUERY_THROW)->getDrawPages();
      });
    return pages_;
  }

  std::shared_ptr<Session> session_;
  Reference<frame::XModel> model_;
  bool fresh_;
  awt::Size page_size_;
  Reference<drawing::XDrawPages> pages_;
  std::shared_ptr<PresentationCache> cache_ = std::make_shared<PresentationCache>();
  // The office's count of slides, read by SlideCount and not yet used by an
  // AddSlide: the next one takes it instead of asking again.
  std::optional<sal_Int32> counted_;
};

class ImpressApplication final : public Application {
 public:
  explicit ImpressApplication(std::shared_ptr<Session> session) : session_(std::move(session)) {}

  void SetVisible(bool visible) override {
    session_->visible = visible;
    session_->Call([desktop = session_->desktop, visible] {
      Reference<frame::XFrame> frame = desktop->getCurrentFrame();
      if (frame.is()) frame->getContainerWindow()->setVisible(visible);
    });
  }

  std::shared_ptr<Presentation> AddPresentation(bool with_window) override {
    const bool hold = session_->run->active;
    // An office without a display still paints a visible window (its slide
    // sorter's pictures too) after every change, which costs about half of
    // each slide. Nobody can see that window: within a run it is shown only
    // when the run ends.
    const bool show_at_end = with_window && session_->visible && hold && session_->headless;
    const bool show = with_window && session_->visible && !show_at_end;
    Reference<frame::XModel> model =
        session_->Call([desktop = session_->desktop, context = session_->context, show, hold, show_at_end] {
          Reference<frame::XModel> model;
          if (show_at_end) {
            // Not even a hidden window until the run ends: the office's view
            // of a presentation (its slide sorter among it) follows every
            // new page and layout, and the more pages there are, the more it
            // costs. The document alone is built here; the run's end shows
            // it in a window of its own.
            Reference<frame::XLoadable> doc(context->getServiceManager()->createInstanceWithContext(
                                                OUString::createFromAscii(kPresentationService), context),
                                            UNO_QUERY_THROW);
            doc->initNew();
            model.set(doc, UNO_QUERY_THROW);
          } else {
            uno::Sequence<beans::PropertyValue> args(1);
            args.getArray()[0].Name = OUString::createFromAscii("Hidden");
            args.getArray()[0].Value <<= !show;
            Reference<lang::XComponent> doc =
                Reference<frame::XComponentLoader>(desktop, UNO_QUERY_THROW)
                    ->loadComponentFromURL(OUString::createFromAscii("private:factory/simpress"),
                                           OUString::createFromAscii("_blank"), 0, args);
            model.set(doc, UNO_QUERY_THROW);
          }
          // Slides of the size PowerPoint gives a new presentation, so that
          // pictures fit them alike.
          Reference<drawing::XDrawPages> pages =
              Reference<drawing::XDrawPagesSupplier>(model, UNO_QUERY_THROW)->getDrawPages();
          Reference<beans::XPropertySet> first(pages->getByIndex(0), UNO_QUERY_THROW);
          first->setPropertyValue(OUString::createFromAscii("Width"), uno::Any(kPageWidth));
          first->setPropertyValue(OUString::createFromAscii("Height"), uno::Any(kPageHeight));
          if (show) ShowWindow(model);
          if (hold) model->lockControllers();
          return model;
        });
    if (hold) session_->run->held.push_back({session_, model, show_at_end});
    return std::make_shared<ImpressPresentation>(session_, model, true, awt::Size(kPageWidth, kPageHeight));
  }

 private:
  std::shared_ptr<Session> session_;
};

class ImpressServer final : public OfficeServer {
 public:
  explicit ImpressServer(const ImpressOptions& options) : options_(options) {
    if (options_.pipe_name.empty()) options_.pipe_name = "tamarind2_impress_" + std::to_string(::getuid());
  }

  std::shared_ptr<Application> ConnectApplication() override {
    return std::make_shared<ImpressApplication>(Connect());
  }

  std::shared_ptr<Presentation> ConnectPresentation() override {
    std::shared_ptr<Session> session = Healthy();
    Reference<frame::XModel> model = session->Call([desktop = session->desktop] {
      Reference<frame::XModel> model = PresentationModel(desktop->getCurrentComponent());
      if (model.is()) return model;
      Reference<container::XEnumeration> all = desktop->getComponents()->createEnumeration();
      while (all->hasMoreElements()) {
        model = PresentationModel(Reference<uno::XInterface>(all->nextElement(), UNO_QUERY));
        if (model.is()) return model;
      }
      throw Error("LibreOffice Impress で開いているプレゼンテーションがありません");
    });
    return std::make_shared<ImpressPresentation>(session, model, false);
  }

  std::shared_ptr<Slide> ConnectSlide() override {
    auto presentation = std::static_pointer_cast<ImpressPresentation>(ConnectPresentation());
    Reference<drawing::XDrawPage> page = presentation->session()->Call([model = presentation->model()] {
      Reference<drawing::XDrawPages> pages =
          Reference<drawing::XDrawPagesSupplier>(model, UNO_QUERY_THROW)->getDrawPages();
      if (pages->getCount() == 0) throw Error("プレゼンテーションにスライドがありません");
      return Reference<drawing::XDrawPage>(pages->getByIndex(0), UNO_QUERY_THROW);
    });
    return std::make_shared<ImpressSlide>(presentation->session(), presentation->model(),
                                          presentation->cache(), page);
  }

  void StorePresentation(Presentation& presentation, const std::string& path,
                         const std::string& filter) override {
    auto* mine = dynamic_cast<ImpressPresentation*>(&presentation);
    if (!mine) throw Error("このプレゼンテーションは LibreOffice Impress のものではありません");
    const OUString url = ToOUString(FileUrl(path));
    // A save writes every picture again: a long presentation is given a
    // second more for each megabyte of them, far slower than any disk, so
    // that a save still under way is not taken for a hung office (which
    // the tool would then end, the save with it).
    const std::uint64_t extra_ms = mine->cache()->picture_bytes / 1000;
    const int limit = static_cast<int>(
        std::min<std::uint64_t>(INT_MAX, static_cast<std::uint64_t>(options_.call_timeout_ms) + extra_ms));
    const SaveLeftovers leftovers(path, PipeListener(options_.pipe_name));
    try {
      mine->session()->Call(
          [model = mine->model(), url, filter = ToOUString(filter)] {
            uno::Sequence<beans::PropertyValue> args(2);
            args.getArray()[0].Name = OUString::createFromAscii("FilterName");
            args.getArray()[0].Value <<= filter;
            args.getArray()[1].Name = OUString::createFromAscii("Overwrite");
            args.getArray()[1].Value <<= true;
            Reference<frame::XStorable>(model, UNO_QUERY_THROW)->storeToURL(url, args);
          },
          limit);
    } catch (const Error&) {
      leftovers.RemoveIfGone();
      throw;
    }
  }

  void ClosePresentation(Presentation& presentation) override {
    auto* mine = dynamic_cast<ImpressPresentation*>(&presentation);
    if (!mine) throw Error("このプレゼンテーションは LibreOffice Impress のものではありません");
    mine->session()->Call(
        [model = mine->model()] { Reference<util::XCloseable>(model, UNO_QUERY_THROW)->close(true); });
  }

  long StartedProcess() const override { return started_pid_; }

  bool Redrawing(Presentation& presentation) override {
    auto* mine = dynamic_cast<ImpressPresentation*>(&presentation);
    if (!mine) throw Error("このプレゼンテーションは LibreOffice Impress のものではありません");
    return mine->session()->Call([model = mine->model()] { return !model->hasControllersLocked(); });
  }

  void WhileWaiting(std::function<void()> waiting) override { *waiting_ = std::move(waiting); }

  void BeginRun() override {
    in_run_ = true;
    run_failure_ = nullptr;
    run_->active = true;
  }
  // The presentations of the run show their slides again. An office that
  // went away or hangs has nothing left to show.
  void EndRun() override {
    in_run_ = false;
    run_failure_ = nullptr;
    run_->active = false;
    for (auto& held : run_->held) {
      std::shared_ptr<Session> session = held.session.lock();
      if (!session || session->worker.hung()) continue;
      try {
        session->Call(
            [desktop = session->desktop, model = held.model, show = held.show] {
              model->unlockControllers();
              // A presentation built without a view gets its window now.
              if (show && !model->getCurrentController().is()) {
                uno::Sequence<beans::PropertyValue> args(1);
                args.getArray()[0].Name = OUString::createFromAscii("Model");
                args.getArray()[0].Value <<= model;
                Reference<frame::XComponentLoader>(desktop, UNO_QUERY_THROW)
                    ->loadComponentFromURL(OUString::createFromAscii("private:object"),
                                           OUString::createFromAscii("_blank"), 0, args);
              }
              if (show) ShowWindow(model);
            },
            std::min(options_.call_timeout_ms, 5000));
      } catch (const Error&) {
      }
    }
    run_->held.clear();
  }

  // An office with unsaved documents and windows asks the user first; this
  // does not wait for that answer longer than a few seconds.
  // The office on the pipe is shared: another run of this program or the
  // window may be connected to it, building a presentation, and anybody may
  // have a document open in it, which would go with the office. It is left
  // running while it holds any document or another connection.
  // An office this server started that stopped answering (before or at
  // this request) is of no use to anybody and holds the pipe from every later
  // run: unless a new connection shows it was only slow, it is ended. An
  // office somebody else started is never ended here.
  void TerminateOffice() override {
    if (!session_) return;
    if (!session_->worker.hung()) {
      if (PipeConnections(options_.pipe_name) > 1) {
        session_.reset();
        return;
      }
      try {
        session_->Call(
            [desktop = session_->desktop] {
              if (desktop->getComponents()->createEnumeration()->hasMoreElements()) return;
              try {
                desktop->terminate();
              } catch (const lang::DisposedException&) {
                // The office went away while answering: that is what was asked for.
              }
            },
            std::min(options_.call_timeout_ms, 5000));
      } catch (const Error&) {
      }
    }
    if (session_->worker.hung() && office_ && !Answers()) office_->Stop();
    session_.reset();
  }

 private:
  // The current connection, or a new one when there is none or it is broken.
  std::shared_ptr<Session> Healthy() {
    if (session_ && !session_->worker.hung()) {
      try {
        session_->Call([desktop = session_->desktop] { desktop->getCurrentComponent(); });
        return session_;
      } catch (const Error&) {
      }
    }
    return Connect();
  }

  // Whether the office on the pipe takes a new connection and answers on it
  // within the short limit.
  bool Answers() {
    auto probe = std::make_shared<Session>(options_, run_, waiting_);
    const OUString url =
        ToOUString("uno:pipe,name=" + options_.pipe_name + ";urp;StarOffice.ComponentContext");
    const int limit = std::min(options_.call_timeout_ms, kAnswerLimitMs);
    try {
      probe->context = probe->Call([url] { return Resolve(url); }, limit);
      if (!probe->context.is()) return false;
      probe->Call([context = probe->context] { frame::Desktop::create(context)->getCurrentComponent(); },
                  limit);
      return true;
    } catch (const Error&) {
      return false;
    }
  }

  // A new connection, unless one already failed in this run: then that
  // failure again at once, instead of one more office started.
  std::shared_ptr<Session> Connect() {
    if (run_failure_) std::rethrow_exception(run_failure_);
    try {
      return Attach();
    } catch (...) {
      if (in_run_) run_failure_ = std::current_exception();
      throw;
    }
  }

  // Attaches to the office listening on our pipe, or starts one and waits
  // until it answers there. An office we started that ends before answering
  // fails the attempt at once; one that stays silent is waited for up to the
  // start limit. Either way nothing of it is left running.
  std::shared_ptr<Session> Attach() {
    using Clock = std::chrono::steady_clock;
    auto session = std::make_shared<Session>(options_, run_, waiting_);
    const OUString url =
        ToOUString("uno:pipe,name=" + options_.pipe_name + ";urp;StarOffice.ComponentContext");
    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.start_timeout_ms);
    std::optional<ScratchFile> errors;  // the started office's stderr
    pid_t launcher = 0;
    bool launcher_running = false;
    int restarts = 0;
    bool retried_hand_over = false;
    int dropped = 0;  // handshakes the office broke off
    Clock::time_point handed_over{};
    auto start = [&] {
      if (!errors) errors.emplace();
      launcher = StartOffice(options_, errors->fd());
      launcher_running = true;
      started_pid_ = launcher;
    };
    auto failure = [&](const std::string& message) {
      return ServerStartError(message, errors ? errors->Tail() : std::string());
    };
    // Notices the end of the started office; starts it again when it asked
    // for that (a first start with a new profile does).
    auto check_ended = [&] {
      siginfo_t info{};
      if (!launcher_running ||
          ::waitid(P_PID, static_cast<id_t>(launcher), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          info.si_pid != launcher)
        return;
      launcher_running = false;
      started_pid_ = 0;
      const bool exited = info.si_code == CLD_EXITED;
      if (exited && info.si_status == kRestartExitCode && ++restarts <= 3) {
        ::waitpid(launcher, nullptr, 0);
        start();
      } else if (exited && info.si_status == 0) {
        // It handed the request over to an office already running with the
        // same profile, which answers on the pipe at once.
        ::waitpid(launcher, nullptr, 0);
        handed_over = Clock::now();
      } else {
        ::kill(-launcher, SIGKILL);  // whatever it started goes with it
        ::waitpid(launcher, nullptr, 0);
        throw failure("LibreOffice が起動の途中で終了しました (" +
                      (exited ? "終了コード " + std::to_string(info.si_status)
                              : "シグナル " + std::to_string(info.si_status)) +
                      ")");
      }
    };
    try {
      for (;;) {
        bool broken_off = false;
        // An office found running is given a short time to answer.
        const int limit = launcher == 0 ? std::min(options_.call_timeout_ms, kAnswerLimitMs)
                                        : options_.call_timeout_ms;
        try {
          session->context = session->Call([url] { return Resolve(url); }, limit);
          if (session->context.is())
            session->desktop = session->Call(
                [context = session->context] {
                  Reference<frame::XDesktop2> desktop = frame::Desktop::create(context);
                  desktop->getCurrentComponent();
                  return desktop;
                },
                limit);
        } catch (const Error&) {
          if (session->worker.hung() && launcher == 0) {
            const pid_t holder = PipeListener(options_.pipe_name);
            throw failure("接続を待っている LibreOffice" +
                          (holder ? " (プロセス " + std::to_string(holder) + ")" : std::string()) + " が " +
                          Seconds(limit) +
                          " 秒以内に応答しませんでした。止まっている可能性があります。その LibreOffice "
                          "を終了してから、やり直してください");
          }
          // An office we started may drop the first connection when it
          // restarts itself. A busy office, still starting, sometimes drops
          // a second connection too, in the middle of the handshake: that
          // one is tried again a few times before it counts as broken.
          if (session->worker.hung() || (launcher == 0 && ++dropped > 3)) throw;
          session->context.clear();
          broken_off = launcher == 0;
        }
        if (session->desktop.is()) break;
        if (broken_off) {
          // the office is there: ask it again rather than start another
        } else if (launcher == 0) {
          start();
        } else {
          check_ended();
          // Right after a restart the new office sometimes hands over to the
          // old one that is just gone, and nobody answers: start it once more.
          // Without a restart, nobody took the request over.
          if (!launcher_running && handed_over != Clock::time_point{} &&
              Clock::now() - handed_over > std::chrono::seconds(5)) {
            if (retried_hand_over || restarts == 0)
              throw failure("LibreOffice が起動の途中で終了しました (終了コード 0)");
            retried_hand_over = true;
            handed_over = {};
            start();
          }
        }
        if (Clock::now() > deadline)
          throw failure("LibreOffice が " + Seconds(options_.start_timeout_ms) +
                        " 秒以内に接続を受け付けませんでした");
        Pause(std::chrono::milliseconds(100));
      }
    } catch (...) {
      if (launcher_running) {
        StopOffice(launcher);
        started_pid_ = 0;
      }
      throw;
    }
    if (launcher_running) office_ = StartedOffice::Watch(launcher);
    // Ours unless it handed the request over to an office already running.
    const bool ours = launcher != 0 && handed_over == Clock::time_point{};
    session->headless = ours && Headless(options_);
    if (!ours && options_.shown && !Headless(options_)) {
      // An office that runs without a display shows nobody what is made in it.
      if (const pid_t holder = PipeListener(options_.pipe_name); holder && RunsHeadless(holder))
        throw ServerStartError("LibreOffice (プロセス " + std::to_string(holder) +
                                   ") が画面なしで動いているため、プレゼンテーションを表示できません。"
                                   "その LibreOffice が終わってから、やり直してください",
                               {});
    }
    session_ = session;
    return session;
  }

  // Sleeps between two attempts to reach a starting office, the caller's
  // windows repainting meanwhile (WhileWaiting).
  void Pause(std::chrono::milliseconds time) const {
    const auto until = std::chrono::steady_clock::now() + time;
    for (;;) {
      if (*waiting_) (*waiting_)();
      const auto left = until - std::chrono::steady_clock::now();
      if (left <= decltype(left)::zero()) return;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(left, UnoWorker::kWaitingSlice));
    }
  }

  ImpressOptions options_;
  std::shared_ptr<std::function<void()>> waiting_ = std::make_shared<std::function<void()>>();
  std::shared_ptr<Session> session_;
  long started_pid_ = 0;
  std::shared_ptr<StartedOffice> office_;  // the office this server started last
  bool in_run_ = false;
  std::shared_ptr<RunState> run_ = std::make_shared<RunState>();
  std::exception_ptr run_failure_;  // the first failed connection of this run
};

}  // namespace
}  // namespace tam::pres::impress

extern "C" __attribute__((visibility("default"))) tam::pres::OfficeServer* tam_create_impress_server(
    const tam::pres::ImpressOptions* options) {
  // A write to an office that has just died must be an error, not the end
  // of this program.
  struct sigaction pipe_action = {};
  if (::sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler == SIG_DFL)
    ::signal(SIGPIPE, SIG_IGN);
  return new tam::pres::impress::ImpressServer(options ? *options : tam::pres::ImpressOptions{});
}
