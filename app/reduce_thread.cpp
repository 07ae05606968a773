#include "app/reduce_thread.h"

#include <QCoreApplication>
#include <QEventLoop>
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
// waits until the windows' thread has answered whether to go on, so the
// step between two files is the windows' thread's alone, as it was when the
// loop ran there: the progress shown, a pass of the event loop, the abort
// request read.
class Handover {
 public:
  // The reducing thread, after an entry: true when the run is to stop.
  bool AfterEntry(int percent) {
    std::unique_lock lock(mutex_);
    percent_ = percent;
    Wake();
    changed_.wait(lock, [this] { return answer_.has_value() || stopping_; });
    const bool stop = stopping_ || *answer_;
    answer_.reset();
    return stop;
  }
  // The reducing thread, once it has nothing more to do.
  void Finished() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    Wake();
  }

  // The windows' thread: runs its event loop until an entry is done (its
  // percent) or the run is over (nullopt).
  std::optional<int> NextEntry() {
    std::unique_lock lock(mutex_);
    // A wake-up posted after the look at the state below is taken by the
    // loop; one taken elsewhere (a pass run by between_files, a nested loop)
    // left the state for this look to see. A loop that returns for any other
    // reason only looks again; after QCoreApplication::exit no loop starts
    // until the outermost one has ended, and events are waited for without.
    while (!percent_ && !finished_) {
      lock.unlock();
      if (loop_.exec() < 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      lock.lock();
    }
    return std::exchange(percent_, std::nullopt);
  }
  void Answer(bool stop) {
    {
      const std::lock_guard lock(mutex_);
      answer_ = stop;
    }
    changed_.notify_one();
  }
  // The windows' thread leaves the run (an error on its side): the reducing
  // thread stops after the entry it is on.
  void Stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_one();
  }

 private:
  // Posted to the windows' thread; thread-safe.
  void Wake() { QMetaObject::invokeMethod(&loop_, &QEventLoop::quit, Qt::QueuedConnection); }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<int> percent_;  // an entry is done, the answer awaited
  std::optional<bool> answer_;  // true: stop
  bool stopping_ = false;
  bool finished_ = false;
  QEventLoop loop_;  // lives on the windows' thread
};

}  // namespace

std::vector<std::string> ReduceEntriesBesideEventLoop(const std::vector<std::string>& entries, int quality,
                                                      const ConvertOptions& options,
                                                      const std::function<bool(int percent)>& between_files) {
  Handover handover;
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
    // for each file as they wait between files.
    return ReduceEntries(entries, quality, options, between_files);
  }
  while (const std::optional<int> percent = handover.NextEntry()) handover.Answer(between_files(*percent));
  worker.reset();
  // The reducing thread has ended: what it left is this thread's to read.
  if (error) std::rethrow_exception(error);
  return written;
}

}  // namespace tam
