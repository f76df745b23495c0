// SPDX-License-Identifier: MIT

// Loaded with LD_PRELOAD in front of the OpenMP runtime, so that a test can
// watch what the program asks of the runtime and steer what its region body
// sees. With none of its variables set it only reports; the program still
// runs on the real runtime.
//
// - Every start of a parallel region is reported on standard error with the
//   team size and binding flags the program asked for.
// - SPY_TEAM_SIZE=T and SPY_THREAD_NUM=t make omp_get_num_threads() and
//   omp_get_thread_num() answer T and t. With a real team of one thread
//   (OMP_NUM_THREADS=1) the body then sums exactly thread t's block of a team
//   of T, and the program prints that partial sum.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

using parallel_fn = void (*)(void (*)(void*), void*, unsigned, unsigned);
using query_fn = int (*)();

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "gomp_spy: %s\n", why);
    std::abort();
}

// The runtime's own definition of a symbol, next after this library.
template <typename Fn>
Fn next_definition(const char* name) {
    // dlsym() hands back a function's address as void*; converting it back is
    // the documented way to call the next definition of a symbol.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const auto fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr) {
        fail("the runtime's definition was not found");
    }
    return fn;
}

// The value of a variable that must hold a whole number, or -1 when it is unset.
long setting(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return -1;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > (1L << 30)) {
        fail("a SPY_* variable does not hold a whole number in range");
    }
    return value;
}

}  // namespace

extern "C" int omp_get_num_threads() {
    const long team_size = setting("SPY_TEAM_SIZE");
    return team_size >= 0 ? static_cast<int>(team_size)
                          : next_definition<query_fn>("omp_get_num_threads")();
}

extern "C" int omp_get_thread_num() {
    const long thread_num = setting("SPY_THREAD_NUM");
    return thread_num >= 0 ? static_cast<int>(thread_num)
                           : next_definition<query_fn>("omp_get_thread_num")();
}

extern "C" void GOMP_parallel(void (*body)(void*), void* data, unsigned num_threads,
                              unsigned flags) {
    std::fprintf(stderr, "GOMP_parallel num_threads=%u flags=%u\n", num_threads, flags);
    next_definition<parallel_fn>("GOMP_parallel")(body, data, num_threads, flags);
}
