// SPDX-License-Identifier: MIT
#pragma once
// A second thread for one scope, always joined, never detached: leaving the
// scope in any way first calls `stop` (which must make the body return
// soon), then waits for the body to end. A thread that cannot be made
// throws std::system_error from the constructor, before anything runs.
#include <functional>
#include <thread>
#include <utility>

namespace tam {

class JoinedThread {
 public:
  template <class Body>
  JoinedThread(std::function<void()> stop, Body&& body)
      : stop_(std::move(stop)), thread_(std::forward<Body>(body)) {}
  ~JoinedThread() {
    stop_();
    thread_.join();
  }
  JoinedThread(const JoinedThread&) = delete;
  JoinedThread& operator=(const JoinedThread&) = delete;

 private:
  std::function<void()> stop_;
  std::thread thread_;
};

}  // namespace tam
