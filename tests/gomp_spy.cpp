// SPDX-License-Identifier: MIT

// The interposer, preloaded in front of the OpenMP runtime; what it reports,
// fakes and refuses: tests/README.md ("What each group proves").

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
    while (failing.test_and_set()) {
        pause();
    }
    std::fprintf(stderr, "gomp_spy: %s\n", why);
    save_coverage();
    std::_Exit(2);
}

// The runtime's own definition of a symbol, next after this library.
template <typename Fn>
Fn next_definition(const char* name) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym() gives void*
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// The value of a variable that must hold a whole number, or -1 when it is unset.
int setting(const char* name) noexcept {
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

// SPY_THREAD_NUM, checked against SPY_TEAM_SIZE as the library is loaded.
int checked_thread_num(int team_size) noexcept {
    const int thread_num = setting("SPY_THREAD_NUM");
    if ((team_size < 0) != (thread_num < 0)) {
        fail("SPY_TEAM_SIZE and SPY_THREAD_NUM must be set together");
    }
    if (thread_num >= team_size && team_size >= 0) {
        fail("SPY_THREAD_NUM must be below SPY_TEAM_SIZE");
    }
    return thread_num;
}

// The team and thread to tell the body; -1 for each when there is none to fake.
const int fake_team_size = setting("SPY_TEAM_SIZE");
const int fake_thread_num = checked_thread_num(fake_team_size);

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
    return answer("omp_get_num_threads", fake_team_size);
}

extern "C" int omp_get_thread_num() {
    return answer("omp_get_thread_num", fake_thread_num);
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
