#pragma once

// Some library code the window system runs (Qt's start-up among it) leaves the upper halves
// of the AVX registers in use. The kernel then saves and restores them on every switch to
// and from the bridge, and each SSE instruction of the process pays for merging them; for a
// bridge that sleeps and wakes once per piece, that was about 0.3 µs of every piece here.
// Cleared before each sleep; costs about a cycle.
inline void clearUpperVectorState() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) {
        asm volatile("vzeroupper");
    }
#endif
}
