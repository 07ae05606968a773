#pragma once
// Fresh memory reaches a process one 4 KiB page at a time, each at its first
// write, through a fault of its own that costs one to two microseconds on a
// virtual machine: the file and the row ring of a 20 MP photo alone are some
// 1,500 of them. Asking for a large buffer's pages in one call costs about
// half as much. Only a hint: before Linux 5.14 nothing happens, and a
// failure changes nothing (the pages then come one by one, as before).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace tam {

// Off (pages come one fault at a time): false here.
constexpr bool kAskForPages = true;

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// Where the system offers huge pages on request, the whole 2 MiB pages
// between begin and end come as one each: fewer faults, and cheaper ones.
inline void AdviseHugePages(std::uintptr_t begin, std::uintptr_t end) {
#ifdef MADV_HUGEPAGE
  const std::uintptr_t huge_begin = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t huge_end = end & ~(kHugePage - 1);
  if (huge_end > huge_begin) (void)::madvise(reinterpret_cast<void*>(huge_begin), huge_end - huge_begin, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)end;
#endif
}

inline void PrefaultForWrite(void* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  // Below this a buffer likely comes from memory the allocator already has.
  constexpr std::size_t kWorthAsking = std::size_t{64} << 10;
  if (!kAskForPages || !data || size < kWorthAsking) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  AdviseHugePages(begin, end);
  // The call holds the process's address-space lock for as long as it runs,
  // and any other thread that maps memory meanwhile (the windows' thread, for
  // a window's first paint) waits for it: asked for in slices of a few
  // milliseconds each, a buffer of hundreds of megabytes keeps no one
  // waiting longer than one slice.
  constexpr std::uintptr_t kSlice = std::uintptr_t{8} << 20;
  for (std::uintptr_t at = begin; at < end; at += kSlice) {
    const std::uintptr_t slice = end - at < kSlice ? end - at : kSlice;
    if (::madvise(reinterpret_cast<void*>(at), slice, MADV_POPULATE_WRITE) != 0) return;
  }
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace tam
