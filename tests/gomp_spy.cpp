// Loaded with LD_PRELOAD in front of libgomp: reports every start of a
// parallel region on standard error, with the team size and binding flags the
// program asked for, then starts the region in the real runtime.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {
using parallel_fn = void (*)(void (*)(void*), void*, unsigned, unsigned);
}  // namespace

extern "C" void GOMP_parallel(void (*body)(void*), void* data, unsigned num_threads,
                              unsigned flags) {
    // dlsym() hands back a function's address as void*; converting it back is
    // the documented way to call the next definition of a symbol.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    static const auto real = reinterpret_cast<parallel_fn>(dlsym(RTLD_NEXT, "GOMP_parallel"));
    std::fprintf(stderr, "GOMP_parallel num_threads=%u flags=%u\n", num_threads, flags);
    if (real == nullptr) {
        std::fputs("gomp_spy: the runtime's GOMP_parallel was not found\n", stderr);
        std::abort();
    }
    real(body, data, num_threads, flags);
}
