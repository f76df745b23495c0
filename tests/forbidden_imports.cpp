// SPDX-License-Identifier: MIT

// The program's loop, plus one thing that the binary check must refuse, chosen by
// a USE_* macro; with none, it is refused for the flags it is built with or for
// being built without OpenMP (imports_case in CMakeLists.txt). Never run.

#include <omp.h>

#include <cstdio>

#if defined(USE_LONG_DOUBLE)
using Real = long double;  // no single-precision addition
#else
using Real = float;
#endif

int main() {
    Real sum = 0;
#pragma omp parallel for schedule(static) reduction(+ : sum)
    for (int i = 0; i < 1000; ++i) {
        sum += static_cast<Real>(i);
    }
    long double wide = 0.0L;
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
#elif defined(USE_DOUBLE)
        // Double-precision arithmetic beside the single-precision total.
        std::printf("%f\n", static_cast<double>(omp_get_thread_num()) + 0.5);
#endif
    }
#if defined(USE_LOOP)
    // A schedule decided at run time calls into the runtime for every chunk.
#pragma omp parallel for schedule(dynamic)
    for (int i = 0; i < 10; ++i) {
        std::printf("%d\n", i);
    }
#endif
    std::printf("sum = %f %Lf\n", static_cast<double>(sum), wide);
    return 0;
}
