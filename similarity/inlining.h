// Inlining controls for the sample loops.
//
// IMGALIGN_INLINE forces a function or a lambda to be inlined into its callers. Write it
// first in a function's declaration (before static, inline or the return type; a function
// defined outside its class also needs `inline`), and after a lambda's parameter list:
//
//     IMGALIGN_INLINE static float f(float x);
//     template <int N> IMGALIGN_INLINE inline void C::g() { ... }
//     walk(p, [&](const WalkSample& s) IMGALIGN_INLINE { ... });
//
// IMGALIGN_NOINLINE keeps a function out of line (written first as well).
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define IMGALIGN_INLINE __attribute__((always_inline))
#define IMGALIGN_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
// The attribute forms: unlike __forceinline they may also follow a lambda's parameters.
#define IMGALIGN_INLINE [[msvc::forceinline]]
#define IMGALIGN_NOINLINE [[msvc::noinline]]
#else
#define IMGALIGN_INLINE
#define IMGALIGN_NOINLINE
#endif
