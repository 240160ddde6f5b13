// ptybridge-demo-launch: runs the sandbox daemon for the demo and plays the
// parts a real system would: it prints what the daemon logs (the capture
// library hands every syslog message over a pipe, so no system logger is
// needed) and gives the client a path to each pseudo-terminal slave.
//
// The daemon's masters are opened through symbolic links to /dev/ptmx, so
// their slaves stay locked and nameless to others. Each time the daemon
// opens one, the launcher takes a duplicate with pidfd_getfd (it is the
// daemon's parent, so it may), unlocks the slave and links RUN/ttyp6 (ctrl)
// or RUN/ttyp7 (audio) to it. SIGTERM, SIGINT or SIGHUP stop the daemon with
// SIGTERM; the launcher exits 0 once the daemon has logged "exit" and ended
// with status 0.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef PTYBRIDGE_SANDBOX_DAEMON
#error "PTYBRIDGE_SANDBOX_DAEMON must name the daemon to run"
#endif
#ifndef PTYBRIDGE_CAPTURE_LIBRARY
#error "PTYBRIDGE_CAPTURE_LIBRARY must name the preload library"
#endif

namespace {

// High enough to leave the daemon's own descriptors where they would be.
constexpr int events_fd_in_daemon = 1000;
constexpr int idle_wait_ms = 5000;

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

void note(const char *format, const char *a, const char *b) {
    std::printf("ptybridge-demo-launch: ");
    std::printf(format, a, b);
    std::printf("\r\n");
    std::fflush(stdout);
}

// Blocked in its main wait: select over FD_SETSIZE descriptors, so every
// port is set up (its flush done) and bytes a client sends now are kept.
bool daemon_idle(pid_t pid) {
    std::ifstream syscall_file("/proc/" + std::to_string(pid) + "/syscall");
    std::string number;
    std::string first;
    syscall_file >> number >> first;
    return first == "0x400";
}

bool link_replace(const std::string &target, const std::string &path) {
    const std::string tmp = path + ".new";
    unlink(tmp.c_str());
    return symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
}

// Makes the slave of the daemon's new master reachable at RUN/<link>.
void expose(launcher &l, int fd_in_daemon, const char *link) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, l.daemon, 0));
    const int master =
        pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd_in_daemon, 0));
    if (pidfd >= 0) {
        close(pidfd);
    }
    if (master < 0) {
        note("cannot take the daemon's master: %s%s", std::strerror(errno), "");
        return;
    }
    int unlock = 0;
    unsigned int index = 0;
    struct stat st {};
    const bool is_master = fstat(master, &st) == 0 && S_ISCHR(st.st_mode) &&
                           major(st.st_rdev) == 5 && minor(st.st_rdev) == 2;
    if (!is_master || ioctl(master, TIOCSPTLCK, &unlock) != 0 ||
        ioctl(master, TIOCGPTN, &index) != 0) {
        note("descriptor is not a usable pseudo-terminal master: %s%s", std::strerror(errno), "");
        close(master);
        return;
    }
    close(master);
    for (int waited = 0; !daemon_idle(l.daemon) && waited < idle_wait_ms; waited += 2) {
        usleep(2000);
    }
    const std::string slave = "/dev/pts/" + std::to_string(index);
    const std::string path = l.opt.dir + "/" + link;
    if (!link_replace(slave, path)) {
        note("cannot link %s: %s", path.c_str(), std::strerror(errno));
    }
}

// One record of the capture library: "S <priority> <usec> <text>" for a
// log message, "O <fd> <usec> <path>" for an open.
void record(launcher &l, const std::string &line) {
    const std::size_t space = line.find(' ', 2);
    const std::size_t time_end = space == std::string::npos ? space : line.find(' ', space + 1);
    if (line.size() < 3 || time_end == std::string::npos) {
        return;
    }
    const int number = static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10));
    const long long usec = std::strtoll(line.c_str() + space + 1, nullptr, 10);
    const std::string text = line.substr(time_end + 1);
    if (line[0] == 'S') {
        say(l, number, readable(text), usec);
        l.saw_exit = l.saw_exit || text == "exit";
    } else if (line[0] == 'O' && number >= 0 && text == "dev/ptyp6") {
        expose(l, number, "ttyp6");
    } else if (line[0] == 'O' && number >= 0 && text == "dev/ptyp7") {
        expose(l, number, "ttyp7");
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

bool start_daemon(launcher &l, const sigset_t &blocked) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const std::string out = l.opt.dir + "/daemon.out";
    const std::string preload = std::string("LD_PRELOAD=") + PTYBRIDGE_CAPTURE_LIBRARY;
    const std::string events = "PTYBRIDGE_TEST_EVENTS_FD=" + std::to_string(events_fd_in_daemon);
    std::string debug = l.opt.debug;
    char *const argv[] = {const_cast<char *>(PTYBRIDGE_SANDBOX_DAEMON), const_cast<char *>("-d"),
                          debug.data(), nullptr};
    // A sanitizer build of the daemon must accept the preload ahead of its
    // runtime.
    char *const envp[] = {const_cast<char *>(preload.c_str()), const_cast<char *>(events.c_str()),
                          const_cast<char *>("ASAN_OPTIONS=verify_asan_link_order=0"),
                          const_cast<char *>("PATH=/usr/bin:/bin"), nullptr};
    l.daemon = fork();
    if (l.daemon < 0) {
        return false;
    }
    if (l.daemon == 0) {
        // Its own session: a Ctrl-C on the demo's terminal must not reach
        // it (SIGINT would end it at once, leaving its lock files).
        setsid();
        const int null_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(l.opt.dir.c_str()) != 0 || null_fd < 0 || out_fd < 0 ||
            dup2(ends[1], events_fd_in_daemon) < 0) {
            _exit(126);
        }
        dup2(null_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(out_fd, STDERR_FILENO);
        umask(022);
        sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
        execve(argv[0], argv, envp);
        _exit(127);
    }
    close(ends[1]);
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
                   "RUN holds dev/ (the daemon's device links) and lock/.\n",
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
    if (signals < 0 || !start_daemon(l, stop_signals)) {
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
    for (const char *link : {"/ttyp6", "/ttyp7"}) {
        unlink((l.opt.dir + link).c_str());
    }
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
