// SPDX-License-Identifier: MIT
// The watchdog that every call into the office goes through.
#include "presentation/impress/uno_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using tam::pres::impress::UnoWorker;

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const tam::Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(UnoWorker, ReturnsResultsAndPassesErrorsOn) {
  UnoWorker worker;
  EXPECT_EQ(worker.Call([] { return 42; }, 1s, "slow", "hung"), 42);
  EXPECT_EQ(
      Message([&] { worker.Call([]() -> int { throw tam::Error("office says no"); }, 1s, "slow", "hung"); }),
      "office says no");
  EXPECT_THROW(worker.Call([] { throw std::logic_error("other"); }, 1s, "slow", "hung"), std::logic_error);
  EXPECT_FALSE(worker.hung()) << "an error is an answer";
  // Calls run one after another on the same thread.
  const auto id = worker.Call([] { return std::this_thread::get_id(); }, 1s, "slow", "hung");
  EXPECT_NE(id, std::this_thread::get_id());
  EXPECT_EQ(worker.Call([] { return std::this_thread::get_id(); }, 1s, "slow", "hung"), id);
}

TEST(UnoWorker, ACallPastItsLimitIsAnErrorAndTheWorkerRefusesMore) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const auto start = std::chrono::steady_clock::now();
  {
    UnoWorker worker;
    EXPECT_EQ(Message([&] { worker.Call([released] { released.wait(); }, 200ms, "too slow", "hung"); }),
              "too slow");
    EXPECT_TRUE(worker.hung());
    bool ran = false;
    EXPECT_EQ(Message([&] { worker.Call([&] { ran = true; }, 1s, "too slow", "still hung"); }), "still hung");
    EXPECT_FALSE(ran);
  }  // the blocked thread is left behind, not waited for
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  release.set_value();  // lets the abandoned call finish on its own
}

// A caller kept waiting (an office that is starting) runs its `waiting` on
// its own thread, so its windows repaint; the limit stays what it was.
TEST(UnoWorker, ACallerKeptWaitingRunsItsWaitingMeanwhile) {
  UnoWorker worker;
  int waits = 0;
  bool elsewhere = false;
  const std::thread::id caller = std::this_thread::get_id();
  const auto on_caller = [&] {
    ++waits;
    elsewhere |= std::this_thread::get_id() != caller;
  };
  EXPECT_EQ(worker.Call(
                [] {
                  std::this_thread::sleep_for(400ms);
                  return 2;
                },
                5s, "slow", "hung", on_caller),
            2);
  EXPECT_GE(waits, 4) << "waiting ran too seldom over 400 ms";
  EXPECT_FALSE(elsewhere) << "waiting ran on another thread";

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  waits = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      Message([&] { worker.Call([released] { released.wait(); }, 300ms, "too slow", "hung", on_caller); }),
      "too slow");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_GE(waits, 3);
  release.set_value();
}

}  // namespace
