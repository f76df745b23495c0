// SPDX-License-Identifier: MIT

// A deliberate data race, which ThreadSanitizer must report (tests/README.md, "Data races").

#include <cstdio>

int main() {
    int shared = 0;
#pragma omp parallel num_threads(2) default(none) shared(shared)
    { shared = shared + 1; }
    std::printf("shared = %d\n", shared);
    return 0;
}
