// Compile-time rules every translation unit of the core is held to, so that
// each single-precision product and sum is rounded on its own, as the
// results require. Included through core/volume_grid.h, which every core
// source includes before any arithmetic.
#ifndef QUILLMERE_CORE_ARITHMETIC_RULES_H
#define QUILLMERE_CORE_ARITHMETIC_RULES_H

#include <cfloat>

// Single-precision arithmetic carried out in a wider format (x87 on 32-bit
// x86, FLT_EVAL_METHOD 1 or 2, or -1 for "unknown") rounds twice and gives
// other bits. Forcing SSE2 math (-msse2 -mfpmath=sse) makes it 0.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "FLT_EVAL_METHOD != 0: build with -msse2 -mfpmath=sse or for a 64-bit target"
#endif
// MSVC on 32-bit x86 without /arch:SSE2 uses the x87 unit.
#if defined(_MSC_VER) && defined(_M_IX86) && (!defined(_M_IX86_FP) || _M_IX86_FP < 2)
#error "build with /arch:SSE2 or for a 64-bit target: x87 arithmetic rounds twice"
#endif

// Visual Studio 2019 and older contract a*b+c into FMA under /fp:precise
// when the instruction set has it; the pragma forbids it in every version.
#if defined(_MSC_VER) && !defined(__clang__)
#pragma fp_contract(off)
#endif

#endif  // QUILLMERE_CORE_ARITHMETIC_RULES_H
