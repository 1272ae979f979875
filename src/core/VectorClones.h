#pragma once

// For pixel loops: x86-64 builds for the baseline (SSE2) by default; AVX2 and AVX-512
// (x86-64-v4) copies run where the CPU has them. Not under ThreadSanitizer: the clones' resolver
// runs before its runtime is up and crashes. There the loops go uninstrumented instead: they
// touch only buffers their one caller owns, and a check on every pixel made the decoders slow
// enough to starve the program of frames.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define QUORVI_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#elif defined(__SANITIZE_THREAD__)
#define QUORVI_VECTOR_CLONES __attribute__((no_sanitize_thread))
#else
#define QUORVI_VECTOR_CLONES
#endif
