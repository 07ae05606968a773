// SPDX-License-Identifier: MIT
#pragma once
// What the processor can do, asked once.

namespace tam {

// The AVX2 kernels of the filter and the colour conversion are used where
// the processor has them. Buys (2026-12-10, 38 bench photos,
// bench/rounds.py): without them a reduction takes 1.6x the CPU time
// (median; 1.9x for baseline photos, 1.3x for progressive ones).
// Off (the plain kernels everywhere): false here.
constexpr bool kUseAvx2 = true;

// AVX2 and FMA in the processor, and their registers saved by the system
// (false where kUseAvx2 is).
bool HasAvx2();

}  // namespace tam
