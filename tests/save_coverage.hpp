// SPDX-License-Identifier: MIT

// The coverage workflow's counts are written when a process exits; one that
// replaces itself with execve() or ends with _Exit() saves them here first.

#pragma once

#ifdef PARALLEL_SUM_COVERAGE
extern "C" void __gcov_dump();  // NOLINT(bugprone-reserved-identifier): libgcov's
inline void save_coverage() {
    __gcov_dump();
}
#else
inline void save_coverage() {}
#endif
