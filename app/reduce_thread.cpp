#include "app/reduce_thread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "picture/joined_thread.h"
#include "picture/reduction.h"

namespace tam {
namespace {

// What the two threads hand each other. After each entry the reducing thread
// posts the step between two files to the windows' thread and waits for its
// answer, so that step is the windows' thread's alone, as it was when the
// loop ran there: the progress shown, a pass of the event loop, the abort
// request read. Posted rather than awaited by the caller's frame, the step
// is taken by any event loop that runs, a dialog's nested one too.
class Handover {
 public:
  Handover(const std::function<void(int)>& show, const std::function<bool()>& stop_requested)
      : show_(show), stop_requested_(stop_requested) {}

  // The reducing thread, after an entry: true when the run is to stop.
  bool AfterEntry(int percent) {
    std::unique_lock lock(mutex_);
    answer_.reset();
    const auto step = [this, percent] { Step(percent); };
    QMetaObject::invokeMethod(&context_, step, Qt::QueuedConnection);
    changed_.wait(lock, [this] { return answer_.has_value() || stopping_; });
    return stopping_ || *answer_;
  }
  // The reducing thread, once it has nothing more to do.
  void Finished() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    QMetaObject::invokeMethod(&loop_, &QEventLoop::quit, Qt::QueuedConnection);
  }

  // The windows' thread: runs its event loop until the run is over.
  void WaitUntilFinished() {
    std::unique_lock lock(mutex_);
    // A quit posted after the look at the state below is taken by the loop;
    // one taken elsewhere (a nested loop) left the state for this look to
    // see. A loop that returns for any other reason only looks again; after
    // QCoreApplication::exit no loop starts until the outermost one has
    // ended, and events are waited for without.
    while (!finished_) {
      lock.unlock();
      if (loop_.exec() < 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      lock.lock();
    }
  }
  // The windows' thread leaves the run: the reducing thread stops after the
  // entry it is on.
  void Stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_one();
  }
  // An error of the step between files, read once the reducing thread has
  // ended.
  std::exception_ptr StepError() const { return step_error_; }

 private:
  // The windows' thread, in whatever event loop it is running: the share
  // shown and a pass for paints and timers, then the abort request read in a
  // step of its own, once the loop has taken the input that came meanwhile.
  // The pass takes no input: a click that opened a dialog there would hold
  // the answer until the dialog closed. Nor does the reading step run a
  // pass, so the loop around takes input as it always does (a pass without
  // input, run inside the loop's own dispatch, leaves the rest of that
  // dispatch without input too: run after every file, it would starve it).
  void Step(int percent) {
    try {
      show_(percent);
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    } catch (...) {
      step_error_ = std::current_exception();
      Answer(true);
      return;
    }
    const auto read_stop_request = [this] { ReadStopRequest(); };
    QMetaObject::invokeMethod(&context_, read_stop_request, Qt::QueuedConnection);
  }
  void ReadStopRequest() {
    bool stop = true;
    try {
      stop = stop_requested_();
    } catch (...) {
      step_error_ = std::current_exception();
    }
    Answer(stop);
  }
  void Answer(bool stop) {
    {
      const std::lock_guard lock(mutex_);
      answer_ = stop;
    }
    changed_.notify_one();
  }

  const std::function<void(int)>& show_;
  const std::function<bool()>& stop_requested_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> answer_;  // true: stop
  bool stopping_ = false;
  bool finished_ = false;
  std::exception_ptr step_error_;  // the windows' thread's own
  // Both live on the windows' thread; going, the context takes a step still
  // posted with it.
  QEventLoop loop_;
  QObject context_;
};

}  // namespace

std::vector<std::string> ReduceEntriesBesideEventLoop(const std::vector<std::string>& entries, int quality,
                                                      const ConvertOptions& options,
                                                      const std::function<void(int percent)>& show,
                                                      const std::function<bool()>& stop_requested) {
  Handover handover(show, stop_requested);
  std::vector<std::string> written;
  std::exception_ptr error;
  const auto reduce = [&] {
    try {
      written =
          ReduceEntries(entries, quality, options, [&](int percent) { return handover.AfterEntry(percent); });
    } catch (...) {
      error = std::current_exception();
    }
    handover.Finished();
  };
  std::optional<JoinedThread> worker;
  try {
    // Leaving early tells the reducing thread to stop after its current entry.
    worker.emplace([&handover] { handover.Stop(); }, reduce);
  } catch (const std::system_error&) {
    // No second thread to be had: the loop runs here, and the windows wait
    // for each file; between files a pass of the event loop takes input, the
    // abort click among it.
    return ReduceEntries(entries, quality, options, [&](int percent) {
      show(percent);
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      return stop_requested();
    });
  }
  handover.WaitUntilFinished();
  worker.reset();
  // The reducing thread has ended: what it left is this thread's to read.
  if (error) std::rethrow_exception(error);
  if (const std::exception_ptr step_error = handover.StepError()) std::rethrow_exception(step_error);
  return written;
}

}  // namespace tam
