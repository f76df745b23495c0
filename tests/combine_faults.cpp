// SPDX-License-Identifier: MIT

// The program's region written out by hand, with one fault planted, for the
// cases that show count_combines.py rejects a wrong combine. COMBINE_FAULT
// names the fault:
//
//   twice           each thread adds its block into the total in two halves
//   each_iteration  every iteration is added into the total atomically
//   plain_store     each thread adds its partial with a plain load and store
//   extra_thread    the region asks for one thread more than the default team
//   off_by_one      thread 1's block starts one iteration late
//   same_block      every thread adds thread 0's block
//   integer_add     each thread adds its partial into a whole-number total
//                   (an atomic add, not a compare-and-swap)
//   stale_start     each thread's first swap expects a value the total never
//                   held; the ones after it are retried as they should be
//   gives_up        each thread makes that one swap and gives up when it fails
//   abort, kill     the program raises SIGABRT (SIGKILL) once the region is done
//
// Unset, it is a correct program, which the count accepts.

#include <omp.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

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
    const char* chosen = std::getenv("COMBINE_FAULT");  // NOLINT(concurrency-mt-unsafe)
    const std::string_view fault = chosen == nullptr ? "" : chosen;
    float sum = 0.0F;
    int whole_sum = 0;

#pragma omp parallel default(none) shared(sum, whole_sum, fault) \
    num_threads(omp_get_max_threads() + (fault == "extra_thread" ? 1 : 0))
    {
        // Thread t's block of the static schedule: the first n mod T threads
        // take one iteration more than the others.
        const int team = omp_get_num_threads();
        const int thread = fault == "same_block" ? 0 : omp_get_thread_num();
        const int extra = n % team;
        const int first = thread * (n / team) + (thread < extra ? thread : extra);
        const int end = first + n / team + (thread < extra ? 1 : 0);
        const int start = fault == "off_by_one" && thread == 1 ? first + 1 : first;
        if (fault == "twice") {
            const int middle = (start + end) / 2;
#pragma omp atomic
            sum += block_sum(start, middle);
#pragma omp atomic
            sum += block_sum(middle, end);
        } else if (fault == "each_iteration") {
            for (int i = start; i < end; ++i) {
#pragma omp atomic
                sum += block_sum(i, i + 1);
            }
        } else if (fault == "plain_store") {
            sum += block_sum(start, end);
        } else if (fault == "integer_add") {
            const auto partial = static_cast<int>(block_sum(start, end));
#pragma omp atomic
            whole_sum += partial;
        } else if (fault == "stale_start" || fault == "gives_up") {
            const float partial = block_sum(start, end);
            float expected = -1.0F;
            float desired = expected + partial;
            while (!__atomic_compare_exchange(&sum, &expected, &desired, false, __ATOMIC_SEQ_CST,
                                              __ATOMIC_SEQ_CST) &&
                   fault == "stale_start") {
                desired = expected + partial;
            }
        } else {
#pragma omp atomic
            sum += block_sum(start, end);
        }
    }

    // Coverage counts cannot show this line run: a process a signal kills
    // writes none. The count's SIGABRT and SIGKILL cases show it.
    if (fault == "abort" || fault == "kill") {
        std::raise(fault == "abort" ? SIGABRT : SIGKILL);
    }

    std::printf("sum = %f\n", static_cast<double>(sum) + whole_sum);
    return 0;
}
