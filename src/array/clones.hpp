#pragma once

// The one CPU-variant policy of the element loops, chosen once at load time. A loop that
// reads (a fold) is marked CORVANTILE_CLONES: built for x86-64-v4 (AVX-512), x86-64-v3
// (AVX2) and the baseline. A loop that writes a result stream is marked
// CORVANTILE_STREAM_CLONES: built for x86-64-v3 and the baseline only, because 512-bit
// stores into a fresh buffer measured slower than 256-bit ones on AVX-512 machines.
// The results are the same in every variant: IEEE operations only, no contraction into
// fused multiply-add (-ffp-contract=off).

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CORVANTILE_CLONES [[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
#define CORVANTILE_STREAM_CLONES [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define CORVANTILE_CLONES
#define CORVANTILE_STREAM_CLONES
#endif

// For the small helpers a cloned loop calls, so that they are built for its variant.
#define CORVANTILE_INLINE [[gnu::always_inline]] inline
