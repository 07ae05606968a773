// SPDX-License-Identifier: MIT
#include "picture/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tam {

#if defined(__x86_64__) || defined(__i386__)
bool HasAvx2() {
  static const bool has = [] {
    if (!kUseAvx2) return false;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX) || !(c & bit_FMA))
      return false;
    unsigned saved = 0, high = 0;
    __asm__("xgetbv" : "=a"(saved), "=d"(high) : "c"(0));
    if ((saved & 6) != 6) return false;  // XMM and YMM state
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) != 0;
  }();
  return has;
}
#else
bool HasAvx2() { return false; }
#endif

}  // namespace tam
