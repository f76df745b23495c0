// SPDX-License-Identifier: MIT

// The serial baseline is the program built without OpenMP, so nothing provides
// the runtime's team queries. Should the program ask for its team itself
// rather than leave that to the compiler's loop, these answer as the runtime
// does outside a parallel region: a team of one, and this is its thread 0.

int omp_get_num_threads(void);
int omp_get_thread_num(void);

int omp_get_num_threads(void) {
    return 1;
}

int omp_get_thread_num(void) {
    return 0;
}
