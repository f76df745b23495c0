// SPDX-License-Identifier: MIT

// The program's loop, plus one use of the OpenMP runtime that the binary check
// must refuse, chosen by defining USE_CRITICAL, USE_ATOMIC, USE_LOOP,
// USE_BARRIER or USE_LOCK. These programs are inspected, never run.

#include <omp.h>

#include <cstdio>

int main() {
    float sum = 0.0F;
#pragma omp parallel for schedule(static) reduction(+ : sum)
    for (int i = 0; i < 1000; ++i) {
        sum += static_cast<float>(i);
    }
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
