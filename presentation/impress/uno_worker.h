// SPDX-License-Identifier: MIT
#pragma once
// Calls into another process may never come back. The worker makes every such
// call on a thread of its own and waits for it only so long: a call that
// outlives its time limit becomes an error, the worker is marked as hung and
// refuses further calls, and its thread is left behind to finish on its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

#include "picture/error.h"

namespace tam::pres::impress {

class UnoWorker {
 public:
  UnoWorker() : state_(std::make_shared<State>()) {
    thread_ = std::thread([s = state_] { Loop(*s); });
  }
  ~UnoWorker() {
    {
      std::lock_guard lock(state_->mutex);
      state_->stop = true;
    }
    state_->wake.notify_all();
    if (hung_)
      thread_.detach();  // it holds its own share of the state
    else
      thread_.join();
  }
  UnoWorker(const UnoWorker&) = delete;
  UnoWorker& operator=(const UnoWorker&) = delete;

  bool hung() const { return hung_; }

  // How often a caller that waits runs its `waiting`.
  static constexpr std::chrono::milliseconds kWaitingSlice{25};

  // Runs f on the worker and returns its result or rethrows its exception.
  // Whatever f captures must stay valid even when the caller gave up waiting.
  // A call that is not over within a slice runs `waiting` (if any) on the
  // calling thread after every slice, until the call ends or its limit does.
  template <class F>
  std::invoke_result_t<F> Call(F f, std::chrono::milliseconds limit, const std::string& timeout_message,
                               const std::string& hung_message, const std::function<void()>& waiting = {}) {
    using R = std::invoke_result_t<F>;
    if (hung_) throw Error(hung_message);
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
    std::future<R> result = task->get_future();
    {
      std::lock_guard lock(state_->mutex);
      state_->queue.emplace_back([task] { (*task)(); });
    }
    state_->wake.notify_one();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
      const Clock::duration left = deadline - Clock::now();
      const Clock::duration slice = waiting ? std::min<Clock::duration>(left, kWaitingSlice) : left;
      if (result.wait_for(slice) == std::future_status::ready) break;
      if (Clock::now() >= deadline) {
        hung_ = true;
        throw Error(timeout_message);
      }
      if (waiting) waiting();
    }
    return result.get();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool stop = false;
  };

  static void Loop(State& s) {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(s.mutex);
        s.wake.wait(lock, [&] { return s.stop || !s.queue.empty(); });
        if (s.queue.empty()) return;
        job = std::move(s.queue.front());
        s.queue.pop_front();
      }
      job();
    }
  }

  std::shared_ptr<State> state_;
  std::thread thread_;
  std::atomic<bool> hung_{false};
};

}  // namespace tam::pres::impress
