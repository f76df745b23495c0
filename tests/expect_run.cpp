// SPDX-License-Identifier: MIT

// expect_run: runs a program as a child process, with a chosen environment and
// a chosen standard input and output, and checks its exit status and the exact
// text it wrote to standard output and standard error.
//
//   expect_run [options] -- PROGRAM [ARGS...]
//
//   --env NAME=VALUE   add to the child's environment (repeatable)
//   --preload LIBRARY  preload the library (a path to a file, or it is refused:
//                      the loader would only warn) into the child, by name,
//                      its directory first on the library path
//   --clear-env        start the child with an empty environment
//   --exec             run the program once in place of expect_run, with the
//                      environment below, and check nothing: the exit status
//                      is the program's (for a program that checks itself)
//   --stdin closed     run with standard input closed
//   --stdout MODE      pipe (default, captured), closed, full (/dev/full),
//                      broken (a pipe with no reader, SIGPIPE ignored), gone
//                      (a pipe with no reader, SIGPIPE at its default), or
//                      hungup (a terminal whose other side has been closed)
//   --status N         expected exit status (default 0)
//   --signal N         expected to be killed by signal N instead
//   --out LINE         expected standard output line (repeatable; default none)
//   --err LINE         expected standard error line (repeatable; default none)
//   --err-allow PREFIX tolerate standard error lines that start with PREFIX,
//                      and the empty line just before each, if there is one
//                      (repeatable)
//   --err-require PREFIX
//                      at least one standard error line must start with PREFIX;
//                      such lines are then tolerated like --err-allow's
//                      (repeatable: each must be found)
//   --repeat N         run N times (N at least 1); every run must pass
//
// Unless --clear-env is given the child inherits this process's environment,
// without the runtime settings a caller may have exported (runtime-settings.txt,
// compiled in as RUNTIME_SETTINGS), so that a case sees only the settings it
// names itself.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "save_coverage.hpp"

namespace {

enum class OutMode { pipe, closed, full, broken, gone, hungup };

struct Options {
    std::vector<std::string> env;
    bool clear_env = false;
    bool exec = false;
    bool close_stdin = false;
    OutMode out_mode = OutMode::pipe;
    int status = 0;
    int signal = 0;
    std::string out;
    std::string err;
    std::vector<std::string> err_allow;
    std::vector<std::string> err_require;
    long repeat = 1;
    std::vector<char*> argv;
};

struct Outcome {
    int wait_status = 0;
    std::string out;
    std::string err;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "expect_run: %s\nusage: expect_run [options] -- PROGRAM [ARGS...]\n", why);
    std::exit(2);
}

// The system's own failures (a pipe, a fork, a poll, a pseudo-terminal or
// /dev/full that cannot be had, a wait interrupted) end here; no case can
// provoke them, so the coverage report shows those decisions taken one way.
[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "expect_run: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

// A whole number of at least `least`; anything else is a usage error.
long to_number(const char* text, long least = 0) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < least) {
        usage(least == 0 ? "expected a non-negative number" : "expected a positive number");
    }
    return value;
}

OutMode out_mode(const std::string& name) {
    const char* modes[] = {"pipe", "closed", "full", "broken", "gone", "hungup"};
    const auto* found = std::find(std::begin(modes), std::end(modes), name);
    if (found == std::end(modes)) {
        usage("unknown --stdout mode");
    }
    return static_cast<OutMode>(found - std::begin(modes));
}

// LD_PRELOAD splits on spaces, so a library goes in by its name alone, found
// through its directory put first on the library path.
void preload(Options& opt, const std::string& library) {
    struct stat file {};
    if (stat(library.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
        usage(("no library to preload at " + library).c_str());
    }
    const size_t slash = library.rfind('/');
    opt.env.push_back("LD_PRELOAD=" + library.substr(slash + 1));
    opt.env.push_back("LD_LIBRARY_PATH=" +
                      (slash == std::string::npos ? "." : library.substr(0, slash)));
}

Options parse(int argc, char** argv) {
    Options opt;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string flag = argv[i];
        if (flag == "--clear-env") {
            opt.clear_env = true;
            continue;
        }
        if (flag == "--exec") {
            opt.exec = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage("option needs a value");
        }
        const char* value = argv[++i];
        const std::string text = value;
        if (flag == "--env") {
            opt.env.push_back(text);
        } else if (flag == "--preload") {
            preload(opt, text);
        } else if (flag == "--stdin" && text == "closed") {
            opt.close_stdin = true;
        } else if (flag == "--stdout") {
            opt.out_mode = out_mode(text);
        } else if (flag == "--status") {
            opt.status = static_cast<int>(to_number(value));
        } else if (flag == "--signal") {
            opt.signal = static_cast<int>(to_number(value, 1));
        } else if (flag == "--out") {
            opt.out += text + "\n";
        } else if (flag == "--err") {
            opt.err += text + "\n";
        } else if (flag == "--err-allow") {
            opt.err_allow.push_back(text);
        } else if (flag == "--err-require") {
            opt.err_require.push_back(text);
        } else if (flag == "--repeat") {
            opt.repeat = to_number(value, 1);
        } else {
            usage(("unknown option " + flag).c_str());
        }
    }
    if (i + 1 >= argc) {
        usage("no program given");
    }
    opt.argv.assign(argv + i + 1, argv + argc);
    opt.argv.push_back(nullptr);
    return opt;
}

std::string name_of(const std::string& var) {
    return var.substr(0, var.find('='));
}

// Whether a variable is one of the runtime settings no case inherits: a name of
// RUNTIME_SETTINGS, or one starting with a prefix there written with a final *.
bool runtime_setting(const std::string& name) {
    const std::string settings = RUNTIME_SETTINGS;
    size_t start = 0;
    while (start < settings.size()) {
        const size_t end = std::min(settings.find(' ', start), settings.size());
        const std::string entry = settings.substr(start, end - start);
        const bool prefix = entry.back() == '*';
        if (prefix ? name.rfind(entry.substr(0, entry.size() - 1), 0) == 0 : name == entry) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The case's own settings, then the inherited environment without the runtime
// settings and without what the case sets itself (getenv() takes the first of
// two entries with one name). The library directories a case names go in front
// of the inherited library path, in the order given, rather than in its place.
std::vector<std::string> child_environment(const Options& opt) {
    const std::string path_name = "LD_LIBRARY_PATH";
    std::vector<std::string> env;
    std::string path;
    for (const std::string& own : opt.env) {
        if (name_of(own) == path_name) {
            path += (path.empty() ? "" : ":") + own.substr(path_name.size() + 1);
        } else {
            env.push_back(own);
        }
    }
    const char* inherited = std::getenv(path_name.c_str());  // NOLINT(concurrency-mt-unsafe)
    if (!opt.clear_env && inherited != nullptr && *inherited != '\0' && !path.empty()) {
        path += std::string(":") + inherited;
    }
    if (!path.empty()) {
        env.push_back(path_name + "=" + path);
    }
    for (char** entry = environ; !opt.clear_env && *entry != nullptr; ++entry) {
        const std::string var = *entry;
        const std::string name = name_of(var);
        const bool set_by_case =
            std::any_of(opt.env.begin(), opt.env.end(),
                        [&name](const std::string& own) { return name_of(own) == name; });
        if (!set_by_case && !runtime_setting(name)) {
            env.push_back(var);
        }
    }
    return env;
}

// Reads both pipes until the child has closed them, so that neither can fill
// up and stall the child while the other is being read.
void drain(int out_fd, int err_fd, Outcome& outcome) {
    std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}}};
    const std::array<std::string*, 2> sinks{&outcome.out, &outcome.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            die("poll");
        }
        for (size_t k = 0; k < fds.size(); ++k) {
            pollfd& entry = fds.at(k);
            if (entry.fd < 0 || entry.revents == 0) {
                continue;
            }
            std::array<char, 4096> buffer{};
            const ssize_t got = read(entry.fd, buffer.data(), buffer.size());
            if (got > 0) {
                sinks.at(k)->append(buffer.data(), static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(entry.fd);
                entry.fd = -1;
            }
        }
    }
}

// The far side of a pseudo-terminal whose controlling side has already been
// closed, as a terminal is after a hang-up: every write to it fails with EIO.
int hung_up_terminal() {
    const int controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) {
        die("pseudo-terminal");
    }
    const char* name = ptsname(controller);
    const int terminal = name == nullptr ? -1 : open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        die("open the pseudo-terminal");
    }
    close(controller);
    return terminal;
}

Outcome run_once(const Options& opt, char** envp) {
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        die("pipe");
    }
    const bool no_reader = opt.out_mode == OutMode::broken || opt.out_mode == OutMode::gone;
    if (opt.out_mode == OutMode::pipe || no_reader) {
        if (pipe2(out_pipe, O_CLOEXEC) != 0) {
            die("pipe");
        }
    }
    if (no_reader) {
        // No reader from the start: the child's first write fails with EPIPE.
        close(out_pipe[0]);
        out_pipe[0] = -1;
    }

    const int terminal = opt.out_mode == OutMode::hungup ? hung_up_terminal() : -1;

    const pid_t pid = fork();
    if (pid < 0) {
        die("fork");
    }
    if (pid == 0) {
        std::signal(SIGPIPE, opt.out_mode == OutMode::broken ? SIG_IGN : SIG_DFL);
        if (opt.close_stdin) {
            close(STDIN_FILENO);
        }
        switch (opt.out_mode) {
            case OutMode::pipe:
            case OutMode::broken:
            case OutMode::gone:
                dup2(out_pipe[1], STDOUT_FILENO);
                break;
            case OutMode::closed:
                close(STDOUT_FILENO);
                break;
            case OutMode::hungup:
                dup2(terminal, STDOUT_FILENO);
                break;
            case OutMode::full: {
                const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
                if (full < 0 || dup2(full, STDOUT_FILENO) < 0) {
                    _exit(126);
                }
                break;
            }
        }
        dup2(err_pipe[1], STDERR_FILENO);
        save_coverage();
        execve(opt.argv[0], opt.argv.data(), envp);
        const char message[] = "expect_run: cannot execute the program\n";
        const ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        static_cast<void>(ignored);
        _exit(127);
    }

    close(err_pipe[1]);
    if (terminal >= 0) {
        close(terminal);
    }
    if (out_pipe[1] >= 0) {
        close(out_pipe[1]);
    }
    Outcome outcome;
    drain(out_pipe[0], err_pipe[0], outcome);
    while (waitpid(pid, &outcome.wait_status, 0) < 0) {
        if (errno != EINTR) {
            die("waitpid");
        }
    }
    return outcome;
}

// Drops the standard error lines that the option allows, such as the
// runtime's own warnings about an environment variable it cannot use. libgomp
// starts each message with a newline, so an empty line just before an allowed
// line goes with it.
std::string without_allowed_lines(const std::string& text, const std::string& prefix) {
    std::string kept;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(start, prefix.size(), prefix) == 0) {
            const bool after_empty_line =
                kept == "\n" || (kept.size() >= 2 && kept.compare(kept.size() - 2, 2, "\n\n") == 0);
            if (after_empty_line) {
                kept.pop_back();
            }
        } else {
            kept.append(text, start, end - start);
        }
        start = end;
    }
    return kept;
}

void show(const char* label, const std::string& text) {
    std::fprintf(stderr, "  %s: \"", label);
    for (const char c : text) {
        if (c == '\n') {
            std::fputs("\\n", stderr);
        } else {
            std::fputc(c, stderr);
        }
    }
    std::fputs("\"\n", stderr);
}

// "status 1" or "signal 13": how the child ended, or was expected to.
std::string ending(bool signaled, int number) {
    return (signaled ? "signal " : "status ") + std::to_string(number);
}

bool check(const Options& opt, const Outcome& got, long run) {
    bool ok = true;
    const bool signaled = WIFSIGNALED(got.wait_status);
    const int number = signaled ? WTERMSIG(got.wait_status) : WEXITSTATUS(got.wait_status);
    const bool want_signal = opt.signal != 0;
    const int wanted = want_signal ? opt.signal : opt.status;
    if (signaled != want_signal || number != wanted) {
        ok = false;
        std::fprintf(stderr, "run %ld: ended with %s, expected %s\n", run,
                     ending(signaled, number).c_str(), ending(want_signal, wanted).c_str());
    }
    if (got.out != opt.out) {
        ok = false;
        std::fprintf(stderr, "run %ld: standard output differs\n", run);
        show("expected", opt.out);
        show("got     ", got.out);
    }
    std::string rest = got.err;
    for (const std::string& prefix : opt.err_require) {
        const std::string removed = without_allowed_lines(rest, prefix);
        if (removed == rest) {
            ok = false;
            std::fprintf(stderr, "run %ld: no standard error line starts with \"%s\"\n", run,
                         prefix.c_str());
        }
        rest = removed;
    }
    for (const std::string& prefix : opt.err_allow) {
        rest = without_allowed_lines(rest, prefix);
    }
    if (rest != opt.err) {
        ok = false;
        std::fprintf(stderr, "run %ld: standard error differs\n", run);
        show("expected", opt.err);
        show("got     ", got.err);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    // A descriptor below 3 that is closed here would be handed out by pipe2()
    // and then clobbered in the child when it sets up its own 0, 1 and 2.
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            die("open /dev/null");
        }
    }
    const Options opt = parse(argc, argv);
    std::vector<std::string> env = child_environment(opt);
    std::vector<char*> envp(env.size() + 1, nullptr);  // execve() wants a null at the end
    std::transform(env.begin(), env.end(), envp.begin(),
                   [](std::string& var) { return var.data(); });
    if (opt.exec) {
        save_coverage();
        execve(opt.argv[0], opt.argv.data(), envp.data());
        die("cannot execute the program");
    }

    for (long run = 1; run <= opt.repeat; ++run) {
        if (!check(opt, run_once(opt, envp.data()), run)) {
            return 1;
        }
    }
    std::printf("%ld run(s) as expected\n", opt.repeat);
    return 0;
}
