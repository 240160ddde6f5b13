#include "sandbox.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifndef PTYBRIDGE_SANDBOX_DAEMON
#error "PTYBRIDGE_SANDBOX_DAEMON must name the daemon under test"
#endif
#ifndef PTYBRIDGE_CAPTURE_LIBRARY
#error "PTYBRIDGE_CAPTURE_LIBRARY must name the preload library"
#endif

namespace sandbox {

namespace fs = std::filesystem;

namespace {

// Every directory above the file lets others through, and the file lets
// them read and run it.
bool reachable_by_others(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH)) {
        return false;
    }
    for (fs::path dir = fs::path(path).parent_path(); !dir.empty(); dir = dir.parent_path()) {
        if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
            return false;
        }
        if (dir == dir.root_path()) {
            break;
        }
    }
    return true;
}

// Copies of the programs, removed at exit (children leave through exec
// or _exit and so never remove them).
struct staged {
    std::string dir;
    programs paths;
    ~staged() {
        if (!dir.empty()) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    }
};

std::string stage(const std::string &dir, const std::string &file) {
    const std::string copy = dir + "/" + fs::path(file).filename().string();
    std::error_code failed;
    fs::copy_file(file, copy, failed);
    if (failed || chmod(copy.c_str(), 0755) != 0) {
        std::fprintf(stderr, "sandbox: cannot copy %s to %s: %s\n", file.c_str(), copy.c_str(),
                     failed ? failed.message().c_str() : std::strerror(errno));
        return file;
    }
    return copy;
}

const char *syscall_name(long number) {
    switch (number) {
#ifdef SYS_select
    case SYS_select:
        return "select";
#endif
#ifdef SYS__newselect
    case SYS__newselect:
        return "select";
#endif
#ifdef SYS_pselect6
    case SYS_pselect6:
        return "pselect6";
#endif
#ifdef SYS_poll
    case SYS_poll:
        return "poll";
#endif
#ifdef SYS_ppoll
    case SYS_ppoll:
        return "ppoll";
#endif
#ifdef SYS_nanosleep
    case SYS_nanosleep:
        return "nanosleep";
#endif
#ifdef SYS_clock_nanosleep
    case SYS_clock_nanosleep:
        return "clock_nanosleep";
#endif
#ifdef SYS_read
    case SYS_read:
        return "read";
#endif
    default:
        return "?";
    }
}

} // namespace

const programs &sandbox_programs() {
    static const staged copies = [] {
        staged s;
        s.paths = {PTYBRIDGE_SANDBOX_DAEMON, PTYBRIDGE_CAPTURE_LIBRARY};
        if (reachable_by_others(s.paths.daemon) && reachable_by_others(s.paths.capture)) {
            return s;
        }
        s.dir = make_temp_dir("ptybridge-programs");
        if (s.dir.empty() || chmod(s.dir.c_str(), 0755) != 0) {
            return s;
        }
        s.paths = {stage(s.dir, s.paths.daemon), stage(s.dir, s.paths.capture)};
        return s;
    }();
    return copies.paths;
}

std::string temp_dir() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string make_temp_dir(const std::string &prefix) {
    std::string pattern = temp_dir() + "/" + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

bool poll_until(const std::function<bool()> &done, steady::duration limit) {
    const auto deadline = steady::now() + limit;
    for (;;) {
        if (done()) {
            return true;
        }
        if (steady::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::vector<std::string> daemon_environment() {
    return {"LD_PRELOAD=" + sandbox_programs().capture,
            "PTYBRIDGE_TEST_EVENTS_FD=" + std::to_string(events_fd_in_daemon),
            // A sanitizer build must accept the preload ahead of its runtime.
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1",
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1", "PATH=/usr/bin:/bin"};
}

pid_t spawn(const spawn_options &opts) {
    std::vector<std::string> argv_text = opts.argv;
    std::vector<std::string> env_text = opts.env;
    std::vector<char *> argv;
    for (auto &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char *> env;
    for (auto &e : env_text) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);

    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    if (opts.new_session) {
        setsid();
    }
    if (!opts.dir.empty() && chdir(opts.dir.c_str()) != 0) {
        _exit(126);
    }
    if (opts.events >= 0 && dup2(opts.events, events_fd_in_daemon) < 0) {
        _exit(126);
    }
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out_fd = ::open(opts.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd =
        opts.err.empty() ? out_fd
                         : ::open(opts.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (null_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 ||
        dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0) {
        _exit(126);
    }
    umask(022);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int sig : {SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) {
        signal(sig, SIG_DFL);
    }
    if (opts.in_child) {
        opts.in_child();
    }
    execve(argv[0], argv.data(), env.data());
    _exit(127);
}

std::string unescape(const std::string &escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\' || i + 1 >= escaped.size()) {
            out += escaped[i];
            continue;
        }
        const char next = escaped[++i];
        if (next == 'n') {
            out += '\n';
        } else if (next == 'x' && i + 2 < escaped.size()) {
            const std::string hex = escaped.substr(i + 1, 2);
            out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

std::optional<record> parse_record_escaped(const std::string &line) {
    const std::size_t space = line.size() < 3 ? std::string::npos : line.find(' ', 2);
    const std::size_t time_end = space == std::string::npos ? space : line.find(' ', space + 1);
    if (time_end == std::string::npos) {
        return std::nullopt;
    }
    return record{line[0], static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10)),
                  std::strtoll(line.c_str() + space + 1, nullptr, 10), line.substr(time_end + 1)};
}

void take_records(std::string &received, std::vector<record> &out) {
    std::size_t start = 0;
    for (std::size_t end = received.find('\n'); end != std::string::npos;
         start = end + 1, end = received.find('\n', start)) {
        if (auto r = parse_record_escaped(received.substr(start, end - start))) {
            r->text = unescape(r->text);
            out.push_back(std::move(*r));
        }
    }
    received.erase(0, start);
}

int take_master(pid_t pid, int fd) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        return -1;
    }
    const int master = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    close(pidfd);
    if (master < 0) {
        return -1;
    }
    // /dev/ptmx, character device 5:2.
    struct stat st {};
    if (fstat(master, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != 5 ||
        minor(st.st_rdev) != 2) {
        close(master);
        errno = ENOTTY;
        return -1;
    }
    return master;
}

int unlock_slave(int master) {
    int unlock = 0;
    unsigned int index = 0;
    if (ioctl(master, TIOCSPTLCK, &unlock) != 0 || ioctl(master, TIOCGPTN, &index) != 0) {
        return -1;
    }
    return static_cast<int>(index);
}

int open_slave(int master, int flags) {
    return unlock_slave(master) < 0 ? -1 : ioctl(master, TIOCGPTPEER, flags);
}

wait_probe probe_wait(pid_t pid) {
    wait_probe p;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream wchan_file(proc + "/wchan");
    std::string wchan;
    wchan_file >> wchan;
    std::ifstream syscall_file(proc + "/syscall");
    std::string number;
    std::string first;
    syscall_file >> number >> first;
    if (number.empty()) {
        p.seen = "no process " + std::to_string(pid);
        return p;
    }
    if (number == "running") {
        p.seen = "running";
        return p;
    }
    const long n = std::strtol(number.c_str(), nullptr, 10);
    p.blocked =
        wchan.find("poll") != std::string::npos || wchan.find("select") != std::string::npos;
    // The main wait watches FD_SETSIZE (1024) descriptors; the daemon's
    // other waits (its 1-second pause between attempts) do not.
    p.main_wait = p.blocked && first == "0x400";
    p.seen = n < 0 ? "blocked outside a system call"
                   : "syscall " + number + " (" + syscall_name(n) + "), first argument " + first;
    p.seen += ", in kernel function " + (wchan.empty() ? std::string("?") : wchan);
    return p;
}

std::string not_idle_reason(const wait_probe &last) {
    return "the daemon never reached its main wait (select over 1024 descriptors: first "
           "argument 0x400, in a poll or select kernel function); last seen: " +
           last.seen;
}

std::string file_text(const std::string &path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[256];
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        close(fd);
    }
    return text;
}

bool write_file(const std::string &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string find_program(const std::string &name) {
    for (const char *dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

} // namespace sandbox
