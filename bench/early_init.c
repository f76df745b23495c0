// SPDX-License-Identifier: MIT

// early_init: loaded with LD_PRELOAD by one of the benchmark's configurations,
// never part of the program. Before main it asks the OpenMP runtime how many
// CPUs it may use. A runtime that initialises itself on first use (LLVM's
// libomp) then does so while the process starts, so that the program's first
// parallel region finds it ready; comparing the two shows what that
// initialisation costs. It is linked against the runtime, so that the
// runtime's own constructors have run when this one asks.

int omp_get_num_procs(void);

__attribute__((constructor)) static void initialise_runtime(void) {
    (void)omp_get_num_procs();
}
