// SPDX-License-Identifier: MIT

// A deliberate data race, for checking that the race detector is awake: two
// OpenMP threads read and write one shared variable with no synchronisation.
// Built only with ThreadSanitizer; the test passes only if TSan reports the race.

#include <cstdio>

int main() {
    int shared = 0;
#pragma omp parallel num_threads(2) default(none) shared(shared)
    { shared = shared + 1; }
    std::printf("shared = %d\n", shared);
    return 0;
}
