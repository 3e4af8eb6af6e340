#pragma once

// The one CPU-variant policy of the element loops, chosen once at load time: a loop
// marked CORVANTILE_CLONES is built for x86-64-v4 (AVX-512), x86-64-v3 (AVX2) and the
// baseline. The results are the same in every variant: IEEE operations only, no
// contraction into fused multiply-add (-ffp-contract=off).

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CORVANTILE_CLONES [[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
#else
#define CORVANTILE_CLONES
#endif

// For loops bound by the divider (division, square root): AVX2 at most. Its 512-bit forms
// do no more a cycle than the 256-bit ones and lower the clock (on one AVX-512 Xeon,
// square roots 8% and divisions 3% slower).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CORVANTILE_CLONES_NARROW [[gnu::target_clones("arch=x86-64-v3", "default")]]
#else
#define CORVANTILE_CLONES_NARROW
#endif

// For loops over memory past the caches (loops::run_sized): AVX-512's instructions in
// vectors of 256 bits, run only where the CPU has them; elsewhere the caller's
// own variant runs, whose vectors are no wider.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define CORVANTILE_FAR_TARGET [[gnu::target("arch=x86-64-v4,prefer-vector-width=256")]]
#define CORVANTILE_FAR_CPU __builtin_cpu_supports("x86-64-v4")
#else
#define CORVANTILE_FAR_TARGET
#define CORVANTILE_FAR_CPU false
#endif

// For the small helpers a cloned loop calls, so that they are built for its variant.
#define CORVANTILE_INLINE [[gnu::always_inline]] inline
// The same for a lambda (after its parameters): a lambda a cloned loop calls with a
// generic parameter is otherwise built once, for the baseline, and called.
#define CORVANTILE_INLINE_LAMBDA __attribute__((always_inline))
