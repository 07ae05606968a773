#include "picture/core_hold.h"

#include <sys/resource.h>

namespace tam {
namespace {

long InvoluntarySwitches() {
  struct rusage usage {};
  if (::getrusage(RUSAGE_THREAD, &usage) != 0) return -1;
  return usage.ru_nivcsw;
}

bool HoldTo(int core) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(core, &one);
  return ::sched_setaffinity(0, sizeof one, &one) == 0;
}

}  // namespace

CoreHold::CoreHold() {
  CPU_ZERO(&all_);
  if (::sched_getaffinity(0, sizeof all_, &all_) != 0 || CPU_COUNT(&all_) < 2) return;
  consumer_start_ = ::sched_getcpu();
  armed_ = consumer_start_ >= 0 && CPU_ISSET(consumer_start_, &all_);
}

CoreHold::~CoreHold() { Release(); }

void CoreHold::EnterProducer() {
  if (!armed_ || let_go_.load(std::memory_order_relaxed)) return;
  tried_[kProducer] = true;
  // The next core the process may use after the consumer's.
  for (int i = 1; i < CPU_SETSIZE; ++i) {
    const int core = (consumer_start_ + i) % CPU_SETSIZE;
    if (!CPU_ISSET(core, &all_)) continue;
    if (!HoldTo(core)) return;
    switches_[kProducer] = InvoluntarySwitches();
    held_[kProducer] = true;
    producer_core_.store(core, std::memory_order_release);
    return;
  }
}

void CoreHold::Check(Side side) {
  if (held_[side]) {
    if (let_go_.load(std::memory_order_relaxed) || InvoluntarySwitches() != switches_[side]) LetGo(side);
    return;
  }
  if (side != kConsumer || tried_[kConsumer] || !armed_) return;
  tried_[kConsumer] = true;
  const int producer = producer_core_.load(std::memory_order_acquire);
  if (producer < 0 || let_go_.load(std::memory_order_relaxed)) return;
  // Where it is now unless that is the producer's core.
  int core = ::sched_getcpu();
  if (core == producer || core < 0 || !CPU_ISSET(core, &all_)) core = consumer_start_;
  if (core == producer || !HoldTo(core)) return;
  switches_[kConsumer] = InvoluntarySwitches();
  held_[kConsumer] = true;
}

void CoreHold::Release() {
  let_go_.store(true, std::memory_order_relaxed);
  if (held_[kConsumer]) LetGo(kConsumer);
}

void CoreHold::LetGo(Side side) {
  let_go_.store(true, std::memory_order_relaxed);
  ::sched_setaffinity(0, sizeof all_, &all_);
  held_[side] = false;
}

}  // namespace tam
