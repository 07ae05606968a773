#pragma once
// What the processor can do, asked once.

namespace tam {

// AVX2 and FMA in the processor, and their registers saved by the system.
bool HasAvx2();

}  // namespace tam
