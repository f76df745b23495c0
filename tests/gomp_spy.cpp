// SPDX-License-Identifier: MIT

// Preloaded in front of the OpenMP runtime: reports on standard error each
// parallel region's start (the team size and flags asked for) and return (the
// team that ran the body), so a case can tell whether its setting took effect.
// With SPY_TEAM_SIZE=T and SPY_THREAD_NUM=t, omp_get_num_threads() and
// omp_get_thread_num() answer T and t: a real team of one thread sums thread
// t's block of a team of T. What it cannot fake it refuses with a line
// "gomp_spy: ..." and status 2, before the program can print a sum.

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "save_coverage.hpp"

namespace {

using parallel_fn = void (*)(void (*)(void*), void*, unsigned, unsigned);
using query_fn = int (*)();

// Reports why and ends the process; of threads that fail at once, one reports
// and the others wait for it to end the process.
[[noreturn]] void fail(const char* why) {
    static std::atomic_flag failing = ATOMIC_FLAG_INIT;
    if (!failing.test_and_set()) {
        std::fprintf(stderr, "gomp_spy: %s\n", why);
        save_coverage();
        std::_Exit(2);
    }
    for (;;) {
        pause();
    }
}

// The runtime's own definition of a symbol, next after this library.
template <typename Fn>
Fn next_definition(const char* name) {
    // dlsym() gives a function's address as void*, to be converted back.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const auto fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr) {  // no case reaches it: a wrong setup, not a call to null
        fail("the runtime's definition was not found");
    }
    return fn;
}

// The value of a variable that must hold a whole number, or -1 when it is unset.
int setting(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return -1;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (std::isdigit(static_cast<unsigned char>(*text)) == 0 || *end != '\0' || value > INT_MAX) {
        fail("SPY_TEAM_SIZE and SPY_THREAD_NUM must be whole numbers");
    }
    return static_cast<int>(value);
}

struct Fake {
    int team_size, thread_num;
};

// The team and thread to tell the body, checked as the library is loaded; -1
// for each when there is none to fake.
Fake read_fake() noexcept {
    const Fake asked{setting("SPY_TEAM_SIZE"), setting("SPY_THREAD_NUM")};
    if ((asked.team_size < 0) != (asked.thread_num < 0)) {
        fail("SPY_TEAM_SIZE and SPY_THREAD_NUM must be set together");
    }
    if (asked.thread_num >= asked.team_size && asked.team_size >= 0) {
        fail("SPY_THREAD_NUM must be below SPY_TEAM_SIZE");
    }
    return asked;
}

const Fake fake = read_fake();

// The runtime's answer to the query `name`, or the faked one (-1: none), which
// is given only to the one thread of a real team of one.
int answer(const char* name, int faked) {
    if (faked >= 0 && next_definition<query_fn>("omp_get_num_threads")() != 1) {
        fail("SPY_TEAM_SIZE needs a real team of one thread (OMP_NUM_THREADS=1)");
    }
    return faked >= 0 ? faked : next_definition<query_fn>(name)();
}

}  // namespace

extern "C" int omp_get_num_threads() {
    return answer("omp_get_num_threads", fake.team_size);
}

extern "C" int omp_get_thread_num() {
    return answer("omp_get_thread_num", fake.thread_num);
}

// The region as the program asked for it, and a count of the threads that ran it.
struct Region {
    void (*body)(void*);
    void* data;
    std::atomic<int> team{0};
};

extern "C" void GOMP_parallel(void (*body)(void*), void* data, unsigned num_threads,
                              unsigned flags) {
    std::fprintf(stderr, "GOMP_parallel num_threads=%u flags=%u\n", num_threads, flags);
    Region region{body, data};
    next_definition<parallel_fn>("GOMP_parallel")(
        [](void* counted) {
            auto* own = static_cast<Region*>(counted);
            ++own->team;
            own->body(own->data);
        },
        &region, num_threads, flags);
    std::fprintf(stderr, "team of %d thread(s)\n", region.team.load());
}
