// SPDX-License-Identifier: MIT

// Loaded with LD_PRELOAD in front of the OpenMP runtime, so that a test can
// watch what the program asks of the runtime and steer what its region body
// sees. With none of its variables set it only reports; the program still
// runs on the real runtime.
//
// - Every start of a parallel region is reported on standard error with the
//   team size and binding flags the program asked for, and its return with the
//   team that ran the body ("team of N thread(s)"), so that a case can tell
//   whether the team size it set took effect.
// - SPY_TEAM_SIZE=T and SPY_THREAD_NUM=t make omp_get_num_threads() and
//   omp_get_thread_num() answer T and t. With a real team of one thread
//   (OMP_NUM_THREADS=1) the body then sums exactly thread t's block of a team
//   of T, and the program prints that partial sum.
//
// What it cannot fake it refuses, with one line on standard error starting
// "gomp_spy: " and exit status 2, before the program can print a sum: one of
// the two variables set without the other, a value that is not a whole number,
// t not below T, or a real team of more than one thread (whose members would
// all be told they are thread t).

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

// Reports why and ends the process. Of threads that fail at once, one reports
// and ends it; the others wait for that (in selftest.spy.refuses_real_team,
// only when the second thread fails before the first has ended the process).
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
    // dlsym() hands back a function's address as void*; converting it back is
    // the documented way to call the next definition of a symbol.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const auto fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    // No case reaches this: a program that calls the runtime links it, and
    // the loader binds the program to this library's definitions only when it
    // comes ahead of the runtime. It keeps a wrong setup from calling null.
    if (fn == nullptr) {
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
    int team_size;
    int thread_num;
};

// The team and thread to tell the body, read and checked when the library is
// loaded, before the program runs; -1 for each when there is none to fake.
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

// A faked answer, given only to the one thread of a real team of one.
int faked(int answer) {
    if (next_definition<query_fn>("omp_get_num_threads")() != 1) {
        fail("SPY_TEAM_SIZE needs a real team of one thread (OMP_NUM_THREADS=1)");
    }
    return answer;
}

}  // namespace

extern "C" int omp_get_num_threads() {
    return fake.team_size >= 0 ? faked(fake.team_size)
                               : next_definition<query_fn>("omp_get_num_threads")();
}

extern "C" int omp_get_thread_num() {
    return fake.thread_num >= 0 ? faked(fake.thread_num)
                                : next_definition<query_fn>("omp_get_thread_num")();
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
