#pragma once
// Two threads that hand rows to each other, each kept on a core of its own
// while nobody else wants those cores.
//
// Left alone, a kernel that packs work onto few cores puts a thread woken by
// the other on the waker's core, and the two then take turns there while a
// second core idles. Holding them apart lets both work at once. They are
// held only when no other thread is runnable at the time, and once either
// has waited for its core a millisecond in all (something else wants it,
// not just a short errand of the system's), both let go and the scheduler
// places them as it likes from then on.
#include <sched.h>

#include <atomic>

namespace tam {

class CoreHold {
 public:
  enum Side { kConsumer = 0, kProducer = 1 };

  // On the consumer's thread. Holds nothing unless this thread may run on two
  // cores or more.
  CoreHold();
  // Gives the consumer's thread back the cores it had. After the producer's
  // thread has ended.
  ~CoreHold();
  CoreHold(const CoreHold&) = delete;
  CoreHold& operator=(const CoreHold&) = delete;

  // On either thread, between pieces of work. The producer takes the core it
  // is on at its first call, once it has rows to hand over (a progressive
  // source is read whole before, and that may take long); the consumer then
  // takes another. A side lets go once it has waited for its core long
  // enough since it took it, or the other side let go.
  void Check(Side side);
  // On the consumer's thread: lets go for good (before it makes threads of
  // its own, which would inherit its single core).
  void Release();

 private:
  void Take(Side side, int core);
  void LetGo(Side side);

  cpu_set_t all_;
  bool armed_ = false;
  std::atomic<int> producer_core_{-1};  // set by the producer when it holds
  std::atomic<bool> let_go_{false};
  // Each side's own (touched by its thread only):
  bool held_[2] = {false, false};
  bool done_[2] = {false, false};  // took its core, or gave up on it
  long switches_[2] = {0, 0};      // involuntary switches seen so far
  int wait_fd_[2] = {-1, -1};      // its /proc/thread-self/schedstat
  unsigned long long waited_[2] = {0, 0};  // its time on the run queue when it took its core, ns
};

}  // namespace tam
