// SPDX-License-Identifier: MIT

// The program's loop, plus one thing that the binary check must refuse, chosen
// by defining USE_CRITICAL, USE_ATOMIC, USE_LOOP, USE_BARRIER or USE_LOCK (a
// use of the OpenMP runtime), USE_DOUBLE (a second total, in double precision)
// or USE_LONG_DOUBLE (the total in long double: no single-precision addition).
// With none of them, it is refused for the flags it is built with (each removes
// one hardening mark or links one more library) or for being built without
// OpenMP. These programs are inspected, never run.

#include <omp.h>

#include <cstdio>

#if defined(USE_LONG_DOUBLE)
using Real = long double;
#else
using Real = float;
#endif

int main() {
    Real sum = 0;
#pragma omp parallel for schedule(static) reduction(+ : sum)
    for (int i = 0; i < 1000; ++i) {
        sum += static_cast<Real>(i);
    }
#if defined(USE_DOUBLE)
    double total = 0.0;
#pragma omp parallel for schedule(static) reduction(+ : total)
    for (int i = 0; i < 1000; ++i) {
        total += static_cast<double>(i);
    }
    std::printf("%f\n", total);
#endif
    long double wide = 0.0L;
#if defined(USE_LOOP)
    // A schedule decided at run time calls into the runtime for every chunk.
#pragma omp parallel for schedule(dynamic)
    for (int i = 0; i < 10; ++i) {
        std::printf("%d\n", i);
    }
#else
#pragma omp parallel
    {
#if defined(USE_CRITICAL)
#pragma omp critical
        wide += 1.0L;
#elif defined(USE_ATOMIC)
        // No lock-free instruction is this wide, so the runtime takes a lock.
#pragma omp atomic
        wide += 1.0L;
#elif defined(USE_BARRIER)
#pragma omp barrier
#elif defined(USE_LOCK)
        omp_lock_t lock;
        omp_init_lock(&lock);
        omp_destroy_lock(&lock);
#endif
    }
#endif
    std::printf("sum = %f %Lf\n", static_cast<double>(sum), wide);
    return 0;
}
