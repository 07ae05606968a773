// SPDX-License-Identifier: MIT
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
  // The reducing thread, once it has nothing more to do: the end goes to
  // the windows' thread like the steps, taken by whichever event loop runs
  // there.
  void Finished() {
    QMetaObject::invokeMethod(
        &context_, [this] { End(); }, Qt::QueuedConnection);
  }

  // The windows' thread: what to do at the end, set before the run starts.
  void AtEnd(std::function<void()> end) { end_ = std::move(end); }
  // The windows' thread: runs its event loop until the end has been taken.
  // The end quits this loop; taken by a nested loop (a dialog's), it leaves
  // the flag for this look once that loop has returned. After
  // QCoreApplication::exit no loop starts until the outermost one has ended,
  // and events are waited for without.
  void WaitUntilEnded() {
    while (!ended_) {
      if (loop_.exec() < 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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
  // The loop is told first: the end may run a batch's insertion and open
  // boxes, and the caller's frame is to go on as soon as its loop is back.
  void End() {
    ended_ = true;
    loop_.quit();
    end_();
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
  std::exception_ptr step_error_;  // the windows' thread's own
  std::function<void()> end_;      // the windows' thread's own
  bool ended_ = false;             // the windows' thread's own
  // Both live on the windows' thread; going, the context takes a step still
  // posted with it.
  QEventLoop loop_;
  QObject context_;
};

}  // namespace

void ReduceEntriesBesideEventLoop(const std::vector<std::string>& entries, int quality,
                                  const ConvertOptions& options, const std::function<void(int percent)>& show,
                                  const std::function<bool()>& stop_requested,
                                  const std::function<void(ReductionEnd)>& ended) {
  Handover handover(show, stop_requested);
  ReductionEnd result;
  const auto reduce = [&] {
    try {
      result.written =
          ReduceEntries(entries, quality, options, [&](int percent) { return handover.AfterEntry(percent); });
    } catch (...) {
      result.error = std::current_exception();
    }
    handover.Finished();
  };
  std::optional<JoinedThread> worker;
  handover.AtEnd([&] {
    // The reducing thread has ended, or is about to: once joined, what it
    // left is this thread's to read.
    worker.reset();
    if (!result.error) result.error = handover.StepError();
    ended(std::move(result));
  });
  try {
    // Leaving early tells the reducing thread to stop after its current entry.
    worker.emplace([&handover] { handover.Stop(); }, reduce);
  } catch (const std::system_error&) {
    // No second thread to be had: the loop runs here, and the windows wait
    // for each file; between files a pass of the event loop takes input, the
    // abort click among it.
    try {
      result.written = ReduceEntries(entries, quality, options, [&](int percent) {
        show(percent);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return stop_requested();
      });
    } catch (...) {
      result.error = std::current_exception();
    }
    ended(std::move(result));
    return;
  }
  handover.WaitUntilEnded();
}

}  // namespace tam
