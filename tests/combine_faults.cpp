// SPDX-License-Identifier: MIT

// The program's region written out by hand with the fault COMBINE_FAULT names,
// which count_combines.py must reject; unset, it is right. The faults are
// listed in tests/README.md ("Counting the combines").

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
        // Thread t's block of the static schedule (reduction.py's block()).
        const int team = omp_get_num_threads();
        const int thread = fault == "same_block" ? 0 : omp_get_thread_num();
        const int extra = n % team;
        const int first = thread * (n / team) + (thread < extra ? thread : extra);
        const int end = first + n / team + (thread < extra ? 1 : 0);
        const int start = fault == "off_by_one" && thread == 1 ? first + 1 : first;
        const float partial = block_sum(start, end);
        if (fault == "plain_store") {
            sum += partial;
        } else if (fault == "integer_add") {
#pragma omp atomic
            whole_sum += static_cast<int>(partial);
        } else if (fault == "stale_start" || fault == "gives_up") {
            float expected = -1.0F;
            float desired = expected + partial;
            while (!__atomic_compare_exchange(&sum, &expected, &desired, false, __ATOMIC_SEQ_CST,
                                              __ATOMIC_SEQ_CST) &&
                   fault == "stale_start") {
                desired = expected + partial;
            }
        } else {
            int pieces = fault == "twice" ? 2 : 1;
            pieces = fault == "each_iteration" ? end - start : pieces;
            for (int k = 0; k < pieces; ++k) {
                const int size = end - start;
#pragma omp atomic
                sum += block_sum(start + k * size / pieces, start + (k + 1) * size / pieces);
            }
        }
    }

    // A process a signal kills writes no coverage: selftest.combine.abort, .kill run this.
    if (fault == "abort" || fault == "kill") {
        std::raise(fault == "abort" ? SIGABRT : SIGKILL);
    }

    std::printf("sum = %f\n", static_cast<double>(sum) + whole_sum);
    return 0;
}
