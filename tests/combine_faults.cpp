// SPDX-License-Identifier: MIT

// The program's region written out by hand, with one fault planted, for the
// cases that show count_combines.py rejects a wrong combine. Each build
// defines one of:
//
//   FAULT_TWICE           each thread adds its block into the total in two halves
//   FAULT_EACH_ITERATION  every iteration is added into the total atomically
//   FAULT_PLAIN_STORE     each thread adds its partial with a plain load and store
//   FAULT_EXTRA_THREAD    the region asks for one thread more than the default team
//   FAULT_OFF_BY_ONE      thread 1's block starts one iteration late
//
// With none defined it is a correct program, which the count accepts.

#include <omp.h>

#include <cstdio>

namespace {

const int n = 1000;

float block_sum(int first, int end) {
    float partial = 0.0F;
    for (int i = first; i < end; ++i) {
        partial += static_cast<float>(i);
    }
    return partial;
}

}  // namespace

int main() {
    float sum = 0.0F;

#if defined(FAULT_EXTRA_THREAD)
#pragma omp parallel default(none) shared(sum) num_threads(omp_get_max_threads() + 1)
#else
#pragma omp parallel default(none) shared(sum)
#endif
    {
        // Thread t's block of the static schedule: the first n mod T threads
        // take one iteration more than the others.
        const int team = omp_get_num_threads();
        const int thread = omp_get_thread_num();
        const int extra = n % team;
        const int first = thread * (n / team) + (thread < extra ? thread : extra);
        const int end = first + n / team + (thread < extra ? 1 : 0);
#if defined(FAULT_OFF_BY_ONE)
        const int start = thread == 1 ? first + 1 : first;
#else
        const int start = first;
#endif
#if defined(FAULT_TWICE)
        const int middle = (start + end) / 2;
#pragma omp atomic
        sum += block_sum(start, middle);
#pragma omp atomic
        sum += block_sum(middle, end);
#elif defined(FAULT_EACH_ITERATION)
        for (int i = start; i < end; ++i) {
#pragma omp atomic
            sum += block_sum(i, i + 1);
        }
#elif defined(FAULT_PLAIN_STORE)
        sum += block_sum(start, end);
#else
#pragma omp atomic
        sum += block_sum(start, end);
#endif
    }

    std::printf("sum = %f\n", static_cast<double>(sum));
    return 0;
}
