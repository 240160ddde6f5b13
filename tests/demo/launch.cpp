// ptybridge-demo-launch: runs the sandbox daemon for the demo and plays the
// part a system logger would: it prints what the daemon logs (the capture
// library hands every syslog message over a pipe).
//
// The daemon runs in link mode, as on a board: it publishes the slaves of
// its masters itself at RUN/run/gsm-ctrl and RUN/run/gsm-audio, where any
// terminal program opens them. SIGTERM, SIGINT or SIGHUP stop the daemon with
// SIGTERM; the launcher exits 0 once the daemon has logged "exit" and ended
// with status 0.

#include "sandbox.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct options {
    std::string dir;
    std::string log;
    std::string debug = "7";
    bool colour = false;
};

struct launcher {
    options opt;
    pid_t daemon = -1;
    int events = -1;
    std::FILE *log = nullptr;
    long long realtime_offset_usec = 0; // wall clock minus monotonic clock
    std::string pending;                // a record not yet ended by its newline
    bool saw_exit = false;
};

long long clock_usec(clockid_t id) {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

const char *priority_name(int priority) {
    static const char *const names[] = {"emerg",   "alert",  "crit", "err",
                                        "warning", "notice", "info", "debug"};
    return priority >= 0 && priority < 8 ? names[priority] : "?";
}

const char *priority_colour(int priority) {
    if (priority <= 3) {
        return "\033[1;31m";
    }
    if (priority <= 5) {
        return "\033[33m";
    }
    return priority == 6 ? "\033[32m" : "\033[2m";
}

// The capture library escapes control bytes as \xHH; CR and TAB read better
// the way C writes them (LF already comes as \n).
std::string readable(const std::string &escaped) {
    std::string out;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped.compare(i, 4, "\\x0d") == 0) {
            out += "\\r";
            i += 3;
        } else if (escaped.compare(i, 4, "\\x09") == 0) {
            out += "\\t";
            i += 3;
        } else if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            out += escaped.substr(i, 2);
            ++i;
        } else {
            out += escaped[i];
        }
    }
    return out;
}

void say(launcher &l, int priority, const std::string &text, long long mono_usec) {
    const long long wall = mono_usec + l.realtime_offset_usec;
    const time_t seconds = static_cast<time_t>(wall / 1000000);
    tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(wall % 1000000 / 1000));
    char head[96];
    std::snprintf(head, sizeof head, "%s ptybridge[%d] %-7s ", stamp, static_cast<int>(l.daemon),
                  priority_name(priority));
    if (l.log != nullptr) {
        std::fprintf(l.log, "%s%s\n", head, text.c_str());
        std::fflush(l.log);
    }
    // CR LF: the terminal may be in raw mode under a terminal program.
    if (l.opt.colour) {
        std::printf("%s%s%s\033[0m\r\n", priority_colour(priority), head, text.c_str());
    } else {
        std::printf("%s%s\r\n", head, text.c_str());
    }
    std::fflush(stdout);
}

// One record of the capture library; a log message's text stays escaped.
void record(launcher &l, const std::string &line) {
    const auto r = sandbox::parse_record_escaped(line);
    if (!r) {
        return;
    }
    if (r->kind == 'S') {
        say(l, r->number, readable(r->text), r->usec);
        l.saw_exit = l.saw_exit || r->text == "exit";
    }
}

// False once the daemon has closed its end (it exited).
bool drain(launcher &l) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(l.events, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 && errno == EAGAIN;
        }
        l.pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end = 0;
        while ((end = l.pending.find('\n')) != std::string::npos) {
            record(l, l.pending.substr(0, end));
            l.pending.erase(0, end + 1);
        }
    }
}

bool start_daemon(launcher &l) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    sandbox::spawn_options run;
    run.argv = {sandbox::sandbox_programs().daemon, "-d", l.opt.debug};
    run.env = sandbox::daemon_environment();
    run.dir = l.opt.dir;
    run.out = l.opt.dir + "/daemon.out";
    run.events = ends[1];
    // Its own session: a Ctrl-C on the demo's terminal must not reach it
    // (SIGINT would end it at once, leaving its lock files).
    run.new_session = true;
    l.daemon = sandbox::spawn(run);
    close(ends[1]);
    if (l.daemon < 0) {
        close(ends[0]);
        return false;
    }
    l.events = ends[0];
    return fcntl(l.events, F_SETFL, O_NONBLOCK) == 0;
}

bool parse(int argc, char **argv, options &opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--colour") {
            opt.colour = true;
        } else if (i + 1 < argc && arg == "--dir") {
            opt.dir = argv[++i];
        } else if (i + 1 < argc && arg == "--log") {
            opt.log = argv[++i];
        } else if (i + 1 < argc && arg == "-d") {
            opt.debug = argv[++i];
        } else {
            return false;
        }
    }
    return !opt.dir.empty();
}

} // namespace

int main(int argc, char **argv) {
    // The daemon gets only what it would get on a board: no descriptor of
    // whatever started the demo.
    close_range(3, ~0U, 0);
    // Should the demo script die without stopping us, stop the daemon in
    // order all the same.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        return 1;
    }
    launcher l;
    if (!parse(argc, argv, l.opt)) {
        std::fputs("usage: ptybridge-demo-launch --dir RUN [--log FILE] [-d MASK] [--colour]\n"
                   "RUN holds dev/ (the daemon's device links), lock/ and run/ (its links).\n",
                   stderr);
        return 2;
    }
    if (!l.opt.log.empty()) {
        l.log = std::fopen(l.opt.log.c_str(), "a");
    }
    l.realtime_offset_usec = clock_usec(CLOCK_REALTIME) - clock_usec(CLOCK_MONOTONIC);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&stop_signals, sig);
    }
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signals = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0 || !start_daemon(l)) {
        std::perror("ptybridge-demo-launch: starting the daemon");
        return 1;
    }
    const std::string pid_file = l.opt.dir + "/daemon.pid";
    std::FILE *pid_out = std::fopen(pid_file.c_str(), "w");
    if (pid_out != nullptr) {
        std::fprintf(pid_out, "%d\n", static_cast<int>(l.daemon));
        std::fclose(pid_out);
    }

    bool stopping = false;
    for (;;) {
        pollfd fds[2] = {{l.events, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (!drain(l)) {
            break; // the daemon is gone: its end of the pipe closed
        }
        signalfd_siginfo info{};
        while (read(signals, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo != SIGCHLD && !stopping) {
                stopping = true;
                kill(l.daemon, SIGTERM);
            }
        }
    }
    int status = 0;
    waitpid(l.daemon, &status, 0);
    const bool clean = stopping && WIFEXITED(status) && WEXITSTATUS(status) == 0 && l.saw_exit;
    if (WIFEXITED(status)) {
        std::printf("ptybridge-demo-launch: ptybridge exited with status %d%s\r\n",
                    WEXITSTATUS(status), clean ? " after an orderly stop" : "");
    } else if (WIFSIGNALED(status)) {
        std::printf("ptybridge-demo-launch: ptybridge ended by signal %d\r\n", WTERMSIG(status));
    }
    std::fflush(stdout);
    return clean ? 0 : 1;
}
