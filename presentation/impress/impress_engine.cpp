// SPDX-License-Identifier: MIT
// The presentation server on LibreOffice Impress, driven over UNO through a
// named pipe. Every call into the office runs on the watchdog worker, so a
// dead or hung office turns into an error instead of a frozen program.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "presentation/impress/impress_objects.h"
#include "presentation/impress/office_process.h"
#include "presentation/impress/office_watch.h"

namespace tam::pres::impress {
namespace {

// The office one connection attempt started, from its start until it
// answers: restarted when it asks for that, given up when it ends otherwise.
class Launch {
 public:
  using Clock = std::chrono::steady_clock;
  // started_pid: the server's record of the office it started, kept up to date.
  Launch(const ImpressOptions& options, OfficeWatch* watch, long& started_pid)
      : options_(options), watch_(watch), started_pid_(started_pid) {}

  bool started() const { return launcher_ != 0; }
  bool running() const { return launcher_running_; }
  pid_t pid() const { return launcher_; }
  // It handed the request over to an office already running with its profile.
  bool handed_over() const { return handed_over_ != Clock::time_point{}; }

  // The error of a failed start, with what the office said on stderr.
  ServerStartError Failure(const std::string& message) const {
    return ServerStartError(message, errors_ ? errors_->Tail() : std::string());
  }

  // Nobody answered yet: starts the office the first time, then notices
  // how the started one ended.
  void Step() {
    if (!started()) return Start();
    CheckEnded();
    // Right after a restart the new office sometimes hands over to the
    // old one that is just gone, and nobody answers: start it once more.
    // Without a restart, nobody took the request over.
    if (!launcher_running_ && handed_over() && Clock::now() - handed_over_ > std::chrono::seconds(5)) {
      if (retried_hand_over_ || restarts_ == 0)
        throw Failure("LibreOffice が起動の途中で終了しました (終了コード 0)");
      retried_hand_over_ = true;
      handed_over_ = {};
      Start();
    }
  }

  void StopIfRunning() {
    if (!launcher_running_) return;
    StopOffice(launcher_);
    started_pid_ = 0;
  }

 private:
  void Start() {
    if (!errors_) errors_.emplace();
    launcher_ = StartOffice(options_, errors_->fd());
    if (watch_) watch_->Office(launcher_);
    launcher_running_ = true;
    started_pid_ = launcher_;
  }

  // Notices the end of the started office; starts it again when it asked
  // for that (a first start with a new profile does).
  void CheckEnded() {
    siginfo_t info{};
    if (!launcher_running_ ||
        ::waitid(P_PID, static_cast<id_t>(launcher_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid != launcher_)
      return;
    launcher_running_ = false;
    started_pid_ = 0;
    const bool exited = info.si_code == CLD_EXITED;
    if (exited && info.si_status == kRestartExitCode && ++restarts_ <= 3) {
      ::waitpid(launcher_, nullptr, 0);
      Start();
    } else if (exited && info.si_status == 0) {
      // It handed the request over to an office already running with the
      // same profile, which answers on the pipe at once.
      ::waitpid(launcher_, nullptr, 0);
      handed_over_ = Clock::now();
    } else {
      ::kill(-launcher_, SIGKILL);  // whatever it started goes with it
      ::waitpid(launcher_, nullptr, 0);
      throw Failure("LibreOffice が起動の途中で終了しました (" +
                    (exited ? "終了コード " + std::to_string(info.si_status)
                            : "シグナル " + std::to_string(info.si_status)) +
                    ")");
    }
  }

  const ImpressOptions& options_;
  OfficeWatch* watch_;
  long& started_pid_;
  std::optional<ScratchFile> errors_;  // the started office's stderr
  pid_t launcher_ = 0;
  bool launcher_running_ = false;
  int restarts_ = 0;
  bool retried_hand_over_ = false;
  Clock::time_point handed_over_{};
};

class ImpressServer final : public OfficeServer {
 public:
  explicit ImpressServer(const ImpressOptions& options) : options_(options) {
    if (options_.private_office) {
      MakePrivate();
    } else if (options_.pipe_name.empty()) {
      options_.pipe_name = "tamarind2_impress_" + std::to_string(::getuid());
    }
  }
  // A private office goes with its watch, and a new profile with it.
  ~ImpressServer() override {
    session_.reset();
    watch_.reset();
  }

  std::shared_ptr<Application> ConnectApplication() override { return MakeApplication(Connect()); }

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
    return MakeSlide(presentation->session(), presentation->model(), presentation->cache(), page);
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

  void WatchFolder(const std::string& folder, bool watch) override {
    if (!watch_) return;
    if (watch)
      watch_->Folder(folder);
    else
      watch_->ForgetFolder(folder);
  }

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
    // A private office is gone when this returns: nothing else uses it.
    if (options_.private_office && office_ && !office_->WaitEnded(std::chrono::seconds(10))) office_->Stop();
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
    auto session = std::make_shared<Session>(options_, run_, waiting_);
    const auto deadline = Launch::Clock::now() + std::chrono::milliseconds(options_.start_timeout_ms);
    Launch launch(options_, watch_.get(), started_pid_);
    try {
      for (int dropped = 0;;) {
        const Reached reached = TryConnect(*session, launch, dropped);
        if (reached == Reached::kConnected) break;
        // When the office is there but broke off, it is asked again rather
        // than another one started.
        if (reached == Reached::kNobody) launch.Step();
        if (Launch::Clock::now() > deadline)
          throw launch.Failure("LibreOffice が " + Seconds(options_.start_timeout_ms) +
                               " 秒以内に接続を受け付けませんでした");
        Pause(std::chrono::milliseconds(100));
      }
    } catch (...) {
      launch.StopIfRunning();
      throw;
    }
    Adopt(*session, launch);
    session_ = session;
    return session;
  }

  enum class Reached { kConnected, kBrokenOff, kNobody };

  // One attempt to connect to the office on the pipe and reach its desktop.
  // dropped counts the handshakes an office found running broke off.
  Reached TryConnect(Session& session, const Launch& launch, int& dropped) {
    const OUString url =
        ToOUString("uno:pipe,name=" + options_.pipe_name + ";urp;StarOffice.ComponentContext");
    // An office found running is given a short time to answer.
    const int limit =
        !launch.started() ? std::min(options_.call_timeout_ms, kAnswerLimitMs) : options_.call_timeout_ms;
    try {
      session.context = session.Call([url] { return Resolve(url); }, limit);
      if (session.context.is())
        session.desktop = session.Call(
            [context = session.context] {
              Reference<frame::XDesktop2> desktop = frame::Desktop::create(context);
              desktop->getCurrentComponent();
              return desktop;
            },
            limit);
    } catch (const Error&) {
      if (session.worker.hung() && !launch.started()) {
        const pid_t holder = PipeListener(options_.pipe_name);
        throw launch.Failure("接続を待っている LibreOffice" +
                             (holder ? " (プロセス " + std::to_string(holder) + ")" : std::string()) +
                             " が " + Seconds(limit) +
                             " 秒以内に応答しませんでした。止まっている可能性があります。その LibreOffice "
                             "を終了してから、やり直してください");
      }
      // An office we started may drop the first connection when it
      // restarts itself. A busy office, still starting, sometimes drops
      // a second connection too, in the middle of the handshake: that
      // one is tried again a few times before it counts as broken.
      if (session.worker.hung() || (!launch.started() && ++dropped > 3)) throw;
      session.context.clear();
      if (!launch.started()) return Reached::kBrokenOff;
    }
    return session.desktop.is() ? Reached::kConnected : Reached::kNobody;
  }

  // Takes the connected office on: one this server started is watched until
  // it ends; one found running that has no display is refused where the
  // presentations are to be seen.
  void Adopt(Session& session, const Launch& launch) {
    if (launch.running()) office_ = StartedOffice::Watch(launch.pid());
    // Ours unless it handed the request over to an office already running.
    const bool ours = launch.started() && !launch.handed_over();
    session.headless = ours && Headless(options_);
    if (!ours && options_.shown && !Headless(options_)) {
      // An office that runs without a display shows nobody what is made in it.
      if (const pid_t holder = PipeListener(options_.pipe_name); holder && RunsHeadless(holder))
        throw ServerStartError("LibreOffice (プロセス " + std::to_string(holder) +
                                   ") が画面なしで動いているため、プレゼンテーションを表示できません。"
                                   "その LibreOffice が終わってから、やり直してください",
                               {});
    }
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

  // A pipe of this server's own, a profile no other office uses, and the
  // watch that stops the office should this program end without doing so.
  void MakePrivate() {
    static std::atomic<int> servers{0};
    if (options_.pipe_name.empty())
      options_.pipe_name = "tamarind2_run_" + std::to_string(::getpid()) + "_" + std::to_string(++servers);
    OfficeProfile profile;
    if (options_.user_installation.empty()) {
      profile = TakeOfficeProfile();
      if (profile.path.empty()) throw Error("LibreOffice のプロファイル用のフォルダーを作れません");
      options_.user_installation = profile.path;
    }
    profile_lock_ = std::move(profile.lock);
    watch_ = std::make_unique<OfficeWatch>(profile_lock_.get());
    // The profile is this server's alone: whatever runs with it is its office.
    watch_->Mark("-env:UserInstallation=" + FileUrl(options_.user_installation));
    if (profile.is_new) watch_->Folder(profile.path);
  }

  ImpressOptions options_;
  tam::UniqueFd profile_lock_;
  std::unique_ptr<OfficeWatch> watch_;
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
