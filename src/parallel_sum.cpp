// SPDX-License-Identifier: MIT

// parallel_sum: adds the whole numbers 0 ... 999 on a team of OpenMP threads,
// accumulating in single precision, and prints the total as one line.
//
// The static schedule gives each of T threads one contiguous block (the first
// 1000 mod T take 1000/T + 1 iterations, the rest 1000/T); the reduction sums
// each block privately and adds it into the total with one compare-and-swap.
// Every partial and running total is a whole number below 2^24, so the total
// is exact whatever T and whatever order the threads finish in. The team size
// and binding are the runtime's defaults and OMP_* variables. How it works,
// step by step: doc/how-it-works.md.

#include <cstdio>

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
        std::perror("parallel_sum: write error");
        return 1;
    }
    return 0;
}
