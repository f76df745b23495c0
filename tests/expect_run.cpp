// SPDX-License-Identifier: MIT

// expect_run: runs a program as a child process with a chosen environment, standard input and
// output, and checks its exit status and the exact text it wrote to standard output and error.
//
//   expect_run [options] -- PROGRAM [ARGS...]
//
//   --env NAME=VALUE        add to the child's environment (repeatable)
//   --preload LIBRARY       preload the library (a path to a file, or it is refused: the loader
//                           would only warn) into the child
//   --clear-env             start the child with an empty environment
//   --exec                  run the program in place of expect_run, in that environment, and
//                           check nothing (for gdb, or a program that checks itself)
//   --stdin closed          run with standard input closed
//   --stdout MODE           captured (default), closed, full (/dev/full), broken (a pipe with no
//                           reader, SIGPIPE ignored), gone (the same, SIGPIPE at its default), or
//                           hungup (a terminal whose other side has been closed)
//   --status N, --signal N  the exit status expected (default 0), or the signal that ends it
//   --out LINE, --err LINE  a line expected on standard output, error (repeatable; default none)
//   --out-match RE          standard output must hold a match of RE (POSIX extended), instead;
//   --err-match RE          standard error likewise, without the lines dropped below
//   --err-allow PREFIX      tolerate standard error lines that start with PREFIX, and the empty
//                           line just before each (repeatable)
//   --err-require PREFIX    the same, and at least one such line must be there (repeatable)
//   --repeat N              run N times (N at least 1); every run must pass
//
// Unless --clear-env is given the child inherits this process's environment, without the runtime
// settings (runtime-settings.txt, compiled in as RUNTIME_SETTINGS): tests/README.md says why.

#include <fcntl.h>
#include <fnmatch.h>
#include <regex.h>
#include <sys/mman.h>
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
#include <sstream>
#include <string>
#include <vector>

#include "save_coverage.hpp"

namespace {

enum class OutMode { captured, closed, full, broken, gone, hungup };
const char* const out_modes[] = {"captured", "closed", "full", "broken", "gone", "hungup"};

// What a stream must hold: exactly these lines, or with a pattern, text that matches it.
struct Expected {
    std::string text;
    bool pattern = false;
};

struct Options {
    std::vector<std::string> env;
    bool clear_env = false;
    bool exec = false;
    bool close_stdin = false;
    OutMode out_mode = OutMode::captured;
    int status = 0;
    int signal = 0;
    Expected out;
    Expected err;
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

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "expect_run: %s\nusage: expect_run [options] -- PROGRAM [ARGS...]\n",
                 why.c_str());
    std::exit(2);
}

// The system's own failures (a file, a pipe, a fork, a wait, a pseudo-terminal or /dev/full that
// cannot be had) end here; no case can provoke them, so coverage shows them one way.
[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "expect_run: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

// A whole number of at least `least` (0 or 1); anything else is a usage error.
long to_number(const std::string& text, long least) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < least) {
        usage(least == 0 ? "expected a non-negative number" : "expected a positive number");
    }
    return value;
}

// LD_PRELOAD splits on spaces, so a library goes in by its name alone, found through its directory
// put first on the library path.
void preload(Options& opt, const std::string& library) {
    struct stat file {};
    if (stat(library.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
        usage("no library to preload at " + library);
    }
    const size_t slash = library.rfind('/');
    opt.env.push_back("LD_PRELOAD=" + library.substr(slash + 1));
    opt.env.push_back("LD_LIBRARY_PATH=" +
                      (slash == std::string::npos ? "." : library.substr(0, slash)));
}

// Whether `text` holds a match of `pattern`; a pattern that is none is a usage error.
bool matches(const std::string& pattern, const std::string& text) {
    regex_t compiled{};
    if (regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        usage("not a regular expression: " + pattern);
    }
    const bool found = regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&compiled);
    return found;
}

// Takes the value of one option, or refuses an option it does not know.
void take(Options& opt, const std::string& flag, const std::string& value) {
    if (flag == "--env") {
        opt.env.push_back(value);
    } else if (flag == "--preload") {
        preload(opt, value);
    } else if (flag == "--stdin" && value == "closed") {
        opt.close_stdin = true;
    } else if (flag == "--stdout") {
        const auto* mode = std::find(std::begin(out_modes), std::end(out_modes), value);
        if (mode == std::end(out_modes)) {
            usage("unknown --stdout mode");
        }
        opt.out_mode = static_cast<OutMode>(mode - std::begin(out_modes));
    } else if (flag == "--status") {
        opt.status = static_cast<int>(to_number(value, 0));
    } else if (flag == "--signal") {
        opt.signal = static_cast<int>(to_number(value, 1));
    } else if (flag == "--out" || flag == "--err") {
        (flag == "--out" ? opt.out : opt.err).text += value + "\n";
    } else if (flag == "--out-match" || flag == "--err-match") {
        (flag == "--out-match" ? opt.out : opt.err) = {value, true};
        matches(value, "");  // refused now, not after a run
    } else if (flag == "--err-allow" || flag == "--err-require") {
        (flag == "--err-allow" ? opt.err_allow : opt.err_require).push_back(value);
    } else if (flag == "--repeat") {
        opt.repeat = to_number(value, 1);
    } else {
        usage("unknown option " + flag);
    }
}

Options parse(int argc, char** argv) {
    Options opt;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string flag = argv[i];
        if (flag == "--clear-env" || flag == "--exec") {
            (flag == "--clear-env" ? opt.clear_env : opt.exec) = true;
        } else if (i + 1 >= argc) {
            usage("option needs a value");
        } else {
            take(opt, flag, argv[++i]);
        }
    }
    if (i + 1 >= argc) {
        usage("no program given");
    }
    opt.argv.assign(argv + i + 1, argv + argc);
    opt.argv.push_back(nullptr);
    return opt;
}

// The case's own settings, then the inherited ones but the runtime settings and those the case sets
// itself (getenv() takes the first of two entries with one name). The library directories a case
// names go in front of the inherited library path, in the order given, rather than in its place.
std::vector<std::string> child_environment(const Options& opt) {
    const auto name_of = [](const std::string& var) { return var.substr(0, var.find('=')); };
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
    if (!path.empty()) {
        const char* caller = std::getenv(path_name.c_str());  // NOLINT(concurrency-mt-unsafe)
        const bool after = !opt.clear_env && caller != nullptr && *caller != '\0';
        env.push_back(path_name + "=" + path + (after ? std::string(":") + caller : ""));
    }
    std::istringstream stream(RUNTIME_SETTINGS);
    const std::vector<std::string> settings{std::istream_iterator<std::string>(stream), {}};
    for (char** entry = environ; !opt.clear_env && *entry != nullptr; ++entry) {
        const std::string name = name_of(*entry);
        const auto setting = [&name](const std::string& pattern) {
            return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
        };
        const auto own = [&name, &name_of](const std::string& var) { return name_of(var) == name; };
        if (std::none_of(settings.begin(), settings.end(), setting) &&
            std::none_of(opt.env.begin(), opt.env.end(), own)) {
            env.emplace_back(*entry);
        }
    }
    return env;
}

// A file in memory that holds all the child writes to it, read once the child has ended: no pipe
// to fill up and stall it.
int capture() {
    const int fd = memfd_create("captured", MFD_CLOEXEC);
    if (fd < 0) {
        die("memfd_create");
    }
    return fd;
}

// What a capture file holds; the file is then closed.
std::string contents(int fd) {
    std::string text;
    std::array<char, 4096> buffer{};
    ssize_t got = 0;
    while ((got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(text.size()))) > 0) {
        text.append(buffer.data(), static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

// The child's standard output if not captured: a pipe whose reader has already gone (the first
// write fails with EPIPE), /dev/full (ENOSPC), the far side of a pseudo-terminal whose controlling
// side is closed, as after a hang-up (EIO), or -1 for none.
int uncaptured(OutMode mode) {
    if (mode == OutMode::broken || mode == OutMode::gone) {
        std::array<int, 2> ends{-1, -1};
        if (pipe2(ends.data(), O_CLOEXEC) != 0) {
            die("pipe");
        }
        close(ends[0]);
        return ends[1];
    }
    const bool hungup = mode == OutMode::hungup;
    const int controller = hungup ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    const char* name = mode == OutMode::full ? "/dev/full" : nullptr;
    if (controller >= 0 && grantpt(controller) == 0 && unlockpt(controller) == 0) {
        name = ptsname(controller);
    }
    const int fd = name == nullptr ? -1 : open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if ((hungup || mode == OutMode::full) && fd < 0) {
        die(hungup ? "pseudo-terminal" : "/dev/full");
    }
    close(controller);  // the hang-up; none to close (EBADF) otherwise
    return fd;
}

Outcome run_once(const Options& opt, char** envp) {
    const int out_file = capture();
    const int err_file = capture();
    const bool captured = opt.out_mode == OutMode::captured;
    const int out = captured ? out_file : uncaptured(opt.out_mode);
    const pid_t pid = fork();
    if (pid < 0) {
        die("fork");
    }
    if (pid == 0) {
        std::signal(SIGPIPE, opt.out_mode == OutMode::broken ? SIG_IGN : SIG_DFL);
        if (opt.close_stdin) {
            close(STDIN_FILENO);
        }
        out < 0 ? close(STDOUT_FILENO) : dup2(out, STDOUT_FILENO);
        dup2(err_file, STDERR_FILENO);
        save_coverage();
        execve(opt.argv[0], opt.argv.data(), envp);
        std::fputs("expect_run: cannot execute the program\n", stderr);  // unbuffered
        _exit(127);
    }
    if (!captured) {
        close(out);  // if there is one
    }
    Outcome outcome;
    if (waitpid(pid, &outcome.wait_status, 0) < 0) {
        die("waitpid");
    }
    outcome.out = contents(out_file);
    outcome.err = contents(err_file);
    return outcome;
}

// Drops from `text` the lines that start with `prefix`, such as the runtime's own warnings about an
// environment variable it cannot use, and tells whether there were any. libgomp starts each
// message with a newline, so an empty line just before a dropped line goes with it.
bool drop_lines(std::string& text, const std::string& prefix) {
    std::string kept;
    for (size_t start = 0, end = 0; start < text.size(); start = end) {
        end = std::min(text.find('\n', start), text.size() - 1) + 1;
        if (text.compare(start, prefix.size(), prefix) != 0) {
            kept.append(text, start, end - start);
        } else if (kept == "\n" || (kept.size() >= 2 && kept.substr(kept.size() - 2) == "\n\n")) {
            kept.pop_back();
        }
    }
    std::swap(kept, text);
    return kept != text;
}

bool check(const Options& opt, const Outcome& got, long run) {
    bool ok = true;
    const auto fail = [&ok, run](const std::string& why) {
        ok = false;
        const std::string line = "run " + std::to_string(run) + ": " + why + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);  // as it is, with any null byte
    };
    const auto quoted = [](const std::string& text) {  // in quotes, each newline written as \n
        std::string shown = "\"";
        for (const char c : text) {
            shown += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        return shown + "\"";
    };
    const auto ending = [](bool signaled, int number) {  // "status 1" or "signal 13"
        return (signaled ? "signal " : "status ") + std::to_string(number);
    };
    const int status = got.wait_status;
    const bool signaled = WIFSIGNALED(status);
    const std::string ended = ending(signaled, signaled ? WTERMSIG(status) : WEXITSTATUS(status));
    const std::string expected = ending(opt.signal != 0, opt.signal != 0 ? opt.signal : opt.status);
    if (ended != expected) {
        fail("ended with " + ended + ", expected " + expected);
    }
    // Standard error is compared, and shown, without the lines allowed.
    const auto compare = [&](const char* stream, const Expected& want, const std::string& text) {
        if (want.pattern ? !matches(want.text, text) : text != want.text) {
            fail(std::string("standard ") + stream +
                 (want.pattern ? " does not match" : " differs") +
                 "\n  expected: " + quoted(want.text) + "\n  got     : " + quoted(text));
        }
    };
    compare("output", opt.out, got.out);
    std::string rest = got.err;
    for (const std::string& prefix : opt.err_require) {
        if (!drop_lines(rest, prefix)) {
            fail("no standard error line starts with \"" + prefix + "\"");
        }
    }
    for (const std::string& prefix : opt.err_allow) {
        drop_lines(rest, prefix);
    }
    compare("error", opt.err, rest);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    // A descriptor below 3 that is closed here would be handed out by memfd_create() and then
    // clobbered in the child when it sets up its own 0, 1 and 2.
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            die("open /dev/null");
        }
    }
    const Options opt = parse(argc, argv);
    std::vector<std::string> env = child_environment(opt);
    std::vector<char*> envp(env.size() + 1, nullptr);  // execve() wants a null at the end
    std::transform(env.begin(), env.end(), envp.begin(), [](auto& var) { return var.data(); });
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
