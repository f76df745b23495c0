// SPDX-License-Identifier: MIT

// region_timer: loaded with LD_PRELOAD by the benchmark, never part of the
// program. It wraps the runtime's GOMP_parallel and the region body that the
// program hands it, and reads the monotonic clock when the region is started,
// when each thread enters and leaves the body, and when the region returns.
//
// It is written in C and needs nothing but libc, so that preloading it adds
// no library to a program that otherwise loads only the OpenMP runtime and
// libc. Inside the region it does nothing but read the clock and fill its own
// slot. After the region it formats one line in a fixed buffer and hands it to
// the descriptor named by REGION_TIMER_FD (opened by the benchmark) in one
// write:
//
//   <start> <return> <T> <timed> <enter 0> <leave 0> ... <enter timed-1> <leave timed-1>
//
// start and return in nanoseconds of CLOCK_MONOTONIC, the clock that the
// benchmark reads just before it starts the process and just after it has
// reaped it; enter and leave in nanoseconds since start, or -1 -1 for a
// thread that never ran the body. Threads past the last slot are counted in T
// but not timed, so timed can be less than T. Without REGION_TIMER_FD the
// clock is still read but nothing is written.

#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int omp_get_thread_num(void);
int omp_get_num_threads(void);

typedef void (*parallel_fn)(void (*)(void*), void*, unsigned, unsigned);

// Threads past this many are counted in T but not timed.
enum { max_timed_threads = 4096 };

// Enough for four header numbers and two numbers per slot, each at most 20
// characters and a separator, and the newline.
enum { record_size = (4 + 2 * max_timed_threads) * 21 + 2 };

struct span {
    int64_t enter;
    int64_t leave;
};

// What the team's threads report, and the buffer the record is formatted in.
// Each thread writes only its own slot; the barrier at the end of the region
// orders those writes before GOMP_parallel returns and the record is written.
// An interposer has nowhere else to keep state between the runtime's calls,
// hence the mutable global.
static struct {
    struct span spans[max_timed_threads];
    int team_size;
    char record[record_size];
} timings;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

struct region {
    void (*body)(void*);
    void* data;
};

static int64_t now(void) {
    struct timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return (int64_t)time.tv_sec * 1000000000 + time.tv_nsec;
}

// Runs on every thread of the team in place of the program's body. The runtime
// is asked which thread this is only after the second reading of the clock,
// so that the span covers the body and nothing else.
static void timed_body(void* arg) {
    const int64_t enter = now();
    const struct region* region = (const struct region*)arg;
    region->body(region->data);
    const int64_t leave = now();
    const int thread = omp_get_thread_num();
    if (thread == 0) {
        timings.team_size = omp_get_num_threads();
    }
    if (thread >= 0 && thread < max_timed_threads) {
        timings.spans[thread].enter = enter;
        timings.spans[thread].leave = leave;
    }
}

// Appends a space (unless first) and the decimal digits of value at *at.
static void put_number(size_t* at, int64_t value, int first) {
    char digits[20];
    size_t count = 0;
    uint64_t magnitude = value < 0 ? (uint64_t)0 - (uint64_t)value : (uint64_t)value;
    do {
        digits[count++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (!first) {
        timings.record[(*at)++] = ' ';
    }
    if (value < 0) {
        timings.record[(*at)++] = '-';
    }
    while (count > 0) {
        timings.record[(*at)++] = digits[--count];
    }
}

static void report(const char* message) {
    const ssize_t ignored = write(STDERR_FILENO, message, strlen(message));
    (void)ignored;
}

static void write_record(int64_t start, int64_t done) {
    const char* fd_text = getenv("REGION_TIMER_FD");  // NOLINT(concurrency-mt-unsafe)
    if (fd_text == NULL) {
        return;
    }
    char* end = NULL;
    const long fd = strtol(fd_text, &end, 10);
    if (end == fd_text || *end != '\0' || fd < 0 || fd > 1023) {
        report("region_timer: REGION_TIMER_FD is not a descriptor number\n");
        return;
    }
    const int timed = timings.team_size < max_timed_threads ? timings.team_size : max_timed_threads;
    size_t at = 0;
    put_number(&at, start, 1);
    put_number(&at, done, 0);
    put_number(&at, timings.team_size, 0);
    put_number(&at, timed, 0);
    for (int t = 0; t < timed; ++t) {
        const int64_t enter = timings.spans[t].enter;
        put_number(&at, enter == 0 ? -1 : enter - start, 0);
        put_number(&at, enter == 0 ? -1 : timings.spans[t].leave - start, 0);
    }
    timings.record[at++] = '\n';
    if (write((int)fd, timings.record, at) != (ssize_t)at) {
        report("region_timer: cannot write the record\n");
    }
}

void GOMP_parallel(void (*body)(void*), void* data, unsigned num_threads, unsigned flags) {
    static parallel_fn real = NULL;
    if (real == NULL) {
        // dlsym() hands back a function's address as void*; converting it
        // back is the documented way to call the next definition of a symbol.
        *(void**)(&real) = dlsym(RTLD_NEXT, "GOMP_parallel");
        if (real == NULL) {
            report("region_timer: the runtime's GOMP_parallel was not found\n");
            abort();
        }
    }
    struct region region = {body, data};
    const int64_t start = now();
    real(timed_body, &region, num_threads, flags);
    const int64_t done = now();
    write_record(start, done);
}
