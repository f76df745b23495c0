// SPDX-License-Identifier: MIT

// region_timer: loaded with LD_PRELOAD by the benchmark, never part of the
// program. It wraps the runtime's GOMP_parallel and the region body that the
// program hands it, and reads the monotonic clock when the region is started,
// when each thread enters and leaves the body, and when the region returns.
// After the region it appends one line to the file named by REGION_TIMER_FILE:
//
//   <start> <return> <T> <enter of thread 0> <leave of thread 0> ... <leave of thread T-1>
//
// all in nanoseconds of CLOCK_MONOTONIC, the clock that the benchmark reads
// just before it starts the process and just after it has reaped it.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

extern "C" int omp_get_thread_num();
extern "C" int omp_get_num_threads();

namespace {

using parallel_fn = void (*)(void (*)(void*), void*, unsigned, unsigned);

// Threads past this many are counted in T but not timed.
constexpr int max_timed_threads = 4096;

struct Span {
    std::int64_t enter;
    std::int64_t leave;
};

// What the team's threads report. Each thread writes only its own span; the
// barrier at the end of the region orders those writes before GOMP_parallel
// returns and the record is written. An interposer has nowhere else to keep
// state between the runtime's calls, hence the mutable global.
struct Timings {
    std::array<Span, max_timed_threads> spans;
    int team_size;
};
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
Timings timings{};

struct Region {
    void (*body)(void*);
    void* data;
};

std::int64_t now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

// Runs on every thread of the team in place of the program's body. The runtime
// is asked which thread this is only after the second reading of the clock,
// so that the span covers the body and nothing else.
void timed_body(void* arg) {
    const std::int64_t enter = now();
    const auto* region = static_cast<const Region*>(arg);
    region->body(region->data);
    const std::int64_t leave = now();
    const int thread = omp_get_thread_num();
    if (thread == 0) {
        timings.team_size = omp_get_num_threads();
    }
    if (thread < max_timed_threads) {
        timings.spans.at(static_cast<std::size_t>(thread)) = {enter, leave};
    }
}

void write_record(std::int64_t start, std::int64_t done) {
    // Only the thread that started the region runs this, after the region.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* path = std::getenv("REGION_TIMER_FILE");
    if (path == nullptr) {
        return;
    }
    std::string line = std::to_string(start) + ' ' + std::to_string(done) + ' ' +
                       std::to_string(timings.team_size);
    for (int t = 0; t < timings.team_size && t < max_timed_threads; ++t) {
        const Span& span = timings.spans.at(static_cast<std::size_t>(t));
        line += ' ' + std::to_string(span.enter) + ' ' + std::to_string(span.leave);
    }
    line += '\n';
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::perror("region_timer: cannot write the record");
    }
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

extern "C" void GOMP_parallel(void (*body)(void*), void* data, unsigned num_threads,
                              unsigned flags) {
    // dlsym() hands back a function's address as void*; converting it back is
    // the documented way to call the next definition of a symbol.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    static const auto real = reinterpret_cast<parallel_fn>(dlsym(RTLD_NEXT, "GOMP_parallel"));
    if (real == nullptr) {
        std::fputs("region_timer: the runtime's GOMP_parallel was not found\n", stderr);
        std::abort();
    }
    Region region{body, data};
    const std::int64_t start = now();
    real(timed_body, &region, num_threads, flags);
    const std::int64_t done = now();
    write_record(start, done);
}
