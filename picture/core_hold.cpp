#include "picture/core_hold.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tam {
namespace {

long InvoluntarySwitches() {
  struct rusage usage {};
  if (::getrusage(RUSAGE_THREAD, &usage) != 0) return -1;
  return usage.ru_nivcsw;
}

// Whether threads other than these two are runnable right now: the
// kernel's count of runnable threads, the fourth field of /proc/loadavg
// ("0.20 0.18 0.12 3/120 4242"), counts the caller and, most likely, the
// producer. Unknown counts as busy.
bool OthersRunnable() {
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char text[128];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return true;
  text[got] = '\0';
  const char* field = text;
  for (int i = 0; i < 3 && field; ++i) {
    field = std::strchr(field, ' ');
    if (field) ++field;
  }
  if (!field) return true;
  char* end = nullptr;
  const long runnable = std::strtol(field, &end, 10);
  return end == field || *end != '/' || runnable > 2;
}

// The time the calling thread has spent runnable but not running, in ns,
// from its schedstat file ("run wait slices"); 0 when unknown.
unsigned long long Waited(int fd) {
  char text[96];
  const ssize_t got = fd < 0 ? -1 : ::pread(fd, text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  text[got] = '\0';
  char* end = nullptr;
  std::strtoull(text, &end, 10);
  return std::strtoull(end, nullptr, 10);
}

// How long a held thread may wait for its core, in all, before it lets go.
constexpr unsigned long long kMostWait = 1'000'000;

}  // namespace

CoreHold::CoreHold() {
  CPU_ZERO(&all_);
  armed_ = ::sched_getaffinity(0, sizeof all_, &all_) == 0 && CPU_COUNT(&all_) >= 2;
}

CoreHold::~CoreHold() {
  Release();
  // The producer's thread is gone by now, perhaps while it held its core.
  for (int& fd : wait_fd_) {
    if (fd >= 0) ::close(fd);
  }
}

void CoreHold::Check(Side side) {
  if (held_[side]) {
    if (let_go_.load(std::memory_order_relaxed)) {
      LetGo(side);
      return;
    }
    // A preemption is cheap to see; only then is the time it cost read.
    const long switches = InvoluntarySwitches();
    if (switches == switches_[side]) return;
    switches_[side] = switches;
    if (wait_fd_[side] < 0 || Waited(wait_fd_[side]) - waited_[side] > kMostWait) LetGo(side);
    return;
  }
  if (done_[side] || !armed_) return;
  if (let_go_.load(std::memory_order_relaxed)) {
    done_[side] = true;
    return;
  }
  const int here = ::sched_getcpu();
  if (side == kProducer) {
    if (OthersRunnable()) {
      let_go_.store(true, std::memory_order_relaxed);
      done_[kProducer] = true;
    } else {
      Take(kProducer, here);
    }
    return;
  }
  const int producer = producer_core_.load(std::memory_order_acquire);
  if (producer < 0) return;  // not yet: asks again at its next call
  if (OthersRunnable()) {
    // A core would have to be shared: the producer lets go too, and the
    // scheduler places both.
    let_go_.store(true, std::memory_order_relaxed);
    done_[kConsumer] = true;
    return;
  }
  int core = here >= 0 && here < CPU_SETSIZE ? here : producer;
  for (int i = 0; core == producer || !CPU_ISSET(core, &all_); ++i) {
    if (i == CPU_SETSIZE) return;
    core = i;
  }
  Take(kConsumer, core);
}

void CoreHold::Take(Side side, int core) {
  done_[side] = true;
  if (core < 0 || core >= CPU_SETSIZE || !CPU_ISSET(core, &all_)) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(core, &one);
  if (::sched_setaffinity(0, sizeof one, &one) != 0) return;
  switches_[side] = InvoluntarySwitches();
  wait_fd_[side] = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  waited_[side] = Waited(wait_fd_[side]);
  held_[side] = true;
  if (side == kProducer) producer_core_.store(core, std::memory_order_release);
}

void CoreHold::Release() {
  let_go_.store(true, std::memory_order_relaxed);
  if (held_[kConsumer]) LetGo(kConsumer);
}

void CoreHold::LetGo(Side side) {
  let_go_.store(true, std::memory_order_relaxed);
  ::sched_setaffinity(0, sizeof all_, &all_);
  held_[side] = false;
  if (wait_fd_[side] >= 0) ::close(wait_fd_[side]);
  wait_fd_[side] = -1;
}

}  // namespace tam
