// SPDX-License-Identifier: MIT

// parallel_sum: adds the whole numbers 0 ... n-1 on a team of OpenMP threads,
// accumulating in single precision, and prints the total as one line.
//
// The loop is an OpenMP parallel loop with the static schedule and no chunk
// size, so each thread takes one contiguous block of the iterations: with T
// threads the first n mod T threads take n/T + 1 iterations and the rest take
// n/T, in thread order. Each thread sums its block into a private partial and
// the reduction adds every partial into the shared total with one lock-free
// compare-and-swap. No clause sets the team size or the binding: the runtime's
// defaults and the standard OMP_* environment variables decide both.
//
// Every partial and every intermediate total is a whole number below 2^24, so
// each single-precision addition is exact and the total is the same for any
// team size and any order in which the threads finish.

#include <cerrno>
#include <cstdio>
#include <cstring>

int main() {
    const int n = 1000;
    float sum = 0.0F;

#pragma omp parallel for schedule(static) reduction(+ : sum)
    for (int i = 0; i < n; ++i) {
        sum += static_cast<float>(i);
    }

    // The line counts as written only once it has reached the file: stdout
    // is fully buffered when it is not a terminal, so a full disk, a closed
    // descriptor or a broken pipe shows up at the flush, not at the printf.
    if (std::printf("sum = %f\n", static_cast<double>(sum)) < 0 || std::fflush(stdout) != 0) {
        const int error = errno;
        // The runtime's idle worker threads may still exist, but they run
        // none of this program's code: this is the only call of strerror, so
        // nothing can overwrite its buffer before the message is written.
        // NOLINTNEXTLINE(concurrency-mt-unsafe)
        std::fprintf(stderr, "parallel_sum: write error: %s\n", std::strerror(error));
        return 1;
    }
    return 0;
}
