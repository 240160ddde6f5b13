#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef PTYBRIDGE_SANDBOX_DAEMON
#error "PTYBRIDGE_SANDBOX_DAEMON must name the daemon under test"
#endif
#ifndef PTYBRIDGE_CAPTURE_LIBRARY
#error "PTYBRIDGE_CAPTURE_LIBRARY must name the preload library"
#endif

namespace harness {

namespace {

constexpr int events_fd_in_daemon = 1500;

std::string unescape(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char next = s[++i];
        if (next == 'n') {
            out += '\n';
        } else if (next == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "harness: %s failed: %s\n", what, std::strerror(errno));
        std::abort();
    }
}

void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

const char *pty_path(channel c) {
    return c == channel::ctrl ? "dev/ptyp6" : "dev/ptyp7";
}

const char *gsm_path(channel c) {
    return c == channel::ctrl ? "dev/ttyACM12" : "dev/ttyACM11";
}

std::string lock_name(const char *device) {
    return std::string("lock/LCK..") + std::filesystem::path(device).filename().string();
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

std::string lock_text(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

pid_t gone_pid() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

char process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? '\0' : text[end + 2];
}

std::size_t pending(int fd) {
    int n = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

pty::pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    check(master >= 0, "posix_openpt");
    check(grantpt(master) == 0 && unlockpt(master) == 0, "unlockpt");
    char name[64];
    check(ptsname_r(master, name, sizeof name) == 0, "ptsname_r");
    slave = name;
}

pty::~pty() {
    if (master >= 0) {
        close(master);
    }
}

std::string read_for(int fd, std::size_t count, steady::duration limit) {
    std::string got;
    const auto deadline = steady::now() + limit;
    char buffer[8192];
    while (got.size() < count && steady::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // Nobody holds the other side: nothing more can come.
            std::this_thread::sleep_for(5ms);
        }
    }
    return got;
}

std::string read_available(int fd, steady::duration quiet) {
    std::string got;
    char buffer[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ms =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count());
        if (poll(&p, 1, ms) <= 0 || (p.revents & POLLIN) == 0) {
            return got;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

bool write_all(int fd, const std::string &data, steady::duration limit) {
    std::size_t done = 0;
    const auto deadline = steady::now() + limit;
    while (done < data.size()) {
        if (steady::now() > deadline) {
            return false;
        }
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 20);
    }
    return true;
}

std::string pump(int from, int to, const std::string &data, std::size_t window) {
    std::string got;
    std::size_t sent = 0;
    const auto deadline = steady::now() + patience * 2;
    char buffer[8192];
    while (got.size() < data.size() && steady::now() < deadline) {
        if (sent < data.size() && sent - got.size() < window) {
            const std::size_t chunk =
                std::min({data.size() - sent, window - (sent - got.size()), std::size_t{4096}});
            const ssize_t n = write(from, data.data() + sent, chunk);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            }
        }
        pollfd p{to, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(to, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    return got;
}

bridge::bridge(options opts) : opts_(std::move(opts)) {
    raise_descriptor_limit();
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/ptybridge-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    dir_ = pattern;
    std::filesystem::create_directory(dir_ + "/dev");
    std::filesystem::create_directory(dir_ + "/lock");
    if (opts_.link_ctrl_pty) {
        std::filesystem::create_symlink("/dev/ptmx", path(pty_path(channel::ctrl)));
    }
    std::filesystem::create_symlink("/dev/ptmx", path(pty_path(channel::audio)));
    std::filesystem::create_symlink(ctrl_modem_.slave, path(gsm_path(channel::ctrl)));
    std::filesystem::create_symlink(audio_modem_.slave, path(gsm_path(channel::audio)));
    if (opts_.start) {
        start();
    }
}

bridge::~bridge() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (events_read_ >= 0) {
        close(events_read_);
    }
    for (const int fd : masters_) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (std::getenv("PTYBRIDGE_KEEP_SANDBOX") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

void bridge::start() {
    if (reader_.joinable()) {
        reader_.join();
    }
    if (events_read_ >= 0) {
        close(events_read_);
        events_read_ = -1;
    }
    partial_.clear(); // a killed run may have left half a record
    std::array<int, 2> events{};
    check(pipe2(events.data(), O_CLOEXEC) == 0, "pipe2");
    check(fcntl(events[0], F_SETFL, O_NONBLOCK) == 0, "fcntl");

    // Everything the child needs is prepared before fork: other threads
    // may hold locks the child could never take.
    std::vector<std::string> argv_text{PTYBRIDGE_SANDBOX_DAEMON};
    argv_text.insert(argv_text.end(), opts_.args.begin(), opts_.args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_text{
        std::string("LD_PRELOAD=") + PTYBRIDGE_CAPTURE_LIBRARY,
        "PTYBRIDGE_TEST_EVENTS_FD=" + std::to_string(events_fd_in_daemon),
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1:abort_on_error=1",
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1", "PATH=/usr/bin:/bin"};
    env_text.insert(env_text.end(), opts_.env.begin(), opts_.env.end());
    std::vector<char *> env;
    for (auto &e : env_text) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);
    const std::string out = path("stdout");
    const std::string err = path("stderr");

    pid_ = fork();
    check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        if (chdir(dir_.c_str()) != 0 || dup2(events[1], events_fd_in_daemon) < 0) {
            _exit(126);
        }
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        close(out_fd);
        close(err_fd);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
        umask(022);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int sig : {SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGPIPE}) {
            signal(sig, SIG_DFL);
        }
        if (opts_.in_child) {
            opts_.in_child();
        }
        execve(argv[0], argv.data(), env.data());
        _exit(127);
    }
    close(events[1]);
    events_read_ = events[0];
    reader_ = std::thread([this] { reader(); });
    status_.reset();
}

void bridge::reader() {
    // Keeps the pipe from filling while the test looks elsewhere.
    for (;;) {
        pollfd p{events_read_, POLLIN, 0};
        poll(&p, 1, 100);
        std::lock_guard<std::mutex> hold(mutex_);
        if (!drain_locked()) {
            return;
        }
    }
}

bool bridge::drain_locked() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(events_read_, buffer, sizeof buffer);
        if (n > 0) {
            partial_.append(buffer, static_cast<std::size_t>(n));
            parse_locked();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN; // else the daemon is gone
    }
}

// Turns the whole records received so far into entries; the last one may
// still be on its way.
void bridge::parse_locked() {
    std::size_t start = 0;
    for (std::size_t end = partial_.find('\n'); end != std::string::npos;
         start = end + 1, end = partial_.find('\n', start)) {
        const std::string line = partial_.substr(start, end - start);
        const std::size_t space = line.find(' ', 2);
        const std::size_t time_end = line.find(' ', space + 1);
        if (space == std::string::npos || time_end == std::string::npos) {
            continue;
        }
        entries_.push_back({line[0], std::stoi(line.substr(2, space - 2)),
                            std::stoll(line.substr(space + 1, time_end - space - 1)),
                            unescape(line.substr(time_end + 1))});
    }
    partial_.erase(0, start);
}

std::vector<entry> bridge::events() {
    std::lock_guard<std::mutex> hold(mutex_);
    // What the daemon wrote before this moment is in the pipe if the reader
    // has not taken it yet.
    drain_locked();
    return entries_;
}

std::vector<entry> bridge::messages() {
    std::vector<entry> out;
    for (auto &e : events()) {
        if (e.kind == 'S') {
            out.push_back(std::move(e));
        }
    }
    return out;
}

std::vector<std::string> bridge::texts(int priority) {
    std::vector<std::string> out;
    for (auto &e : messages()) {
        if (priority < 0 || e.number == priority) {
            out.push_back(std::move(e.text));
        }
    }
    return out;
}

std::size_t bridge::count(const std::string &text) {
    const auto all = texts();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), text));
}

long bridge::index_of(const std::string &text, std::size_t from) {
    const auto all = texts();
    for (std::size_t i = from; i < all.size(); ++i) {
        if (all[i] == text) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool bridge::wait_message(const std::string &text, steady::duration limit) {
    return wait_count(text, 1, limit);
}

bool bridge::wait_count(const std::string &text, std::size_t n, steady::duration limit) {
    return poll_until([&] { return count(text) >= n; }, limit);
}

std::size_t bridge::opens(const char *device) {
    std::size_t n = 0;
    for (const auto &e : events()) {
        if (e.kind == 'O' && e.number >= 0 && e.text == device) {
            ++n;
        }
    }
    return n;
}

int bridge::attach(channel c, std::size_t seen) {
    const char *device = pty_path(c);
    if (!poll_until([&] { return opens(device) > seen; })) {
        return -1;
    }
    int fd = -1;
    for (const auto &e : events()) {
        if (e.kind == 'O' && e.number >= 0 && e.text == device) {
            fd = e.number;
        }
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    check(pidfd >= 0, "pidfd_open");
    const int master = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    close(pidfd);
    check(master >= 0, "pidfd_getfd");
    struct stat st {};
    check(fstat(master, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 5 &&
              minor(st.st_rdev) == 2,
          "a pseudo-terminal master in the daemon");
    int unlock = 0;
    check(ioctl(master, TIOCSPTLCK, &unlock) == 0, "unlocking the pseudo-terminal");
    const int slave = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    check(slave >= 0, "TIOCGPTPEER");
    int &kept = masters_[static_cast<std::size_t>(c)];
    if (kept >= 0) {
        close(kept);
    }
    kept = master;
    // Wait until the daemon is back in its wait for input, its flush and
    // settings of the new port done, so nothing the test sends is flushed.
    check(poll_until([&] { return idle(); }), "daemon idle after attach");
    return slave;
}

std::size_t bridge::unread_from_client(channel c) {
    return pending(masters_[static_cast<std::size_t>(c)]);
}

std::string bridge::take_from_client(channel c, std::size_t count) {
    return read_for(masters_[static_cast<std::size_t>(c)], count);
}

std::size_t bridge::unread_from_modem(channel c) {
    const int slave = ::open(modem(c).slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const std::size_t n = pending(slave);
    close(slave);
    return n;
}

std::optional<entry> bridge::find(const std::string &text) {
    for (auto &e : messages()) {
        if (e.text == text) {
            return e;
        }
    }
    return std::nullopt;
}

bool bridge::idle() {
    std::ifstream wchan("/proc/" + std::to_string(pid_) + "/wchan");
    std::string where;
    wchan >> where;
    if (where.find("poll") == std::string::npos && where.find("select") == std::string::npos) {
        return false;
    }
    // The main wait watches 1024 descriptors; the 1-second pause does not.
    std::ifstream syscall_file("/proc/" + std::to_string(pid_) + "/syscall");
    std::string number;
    std::string first;
    syscall_file >> number >> first;
    return first == "0x400";
}

std::optional<int> bridge::stop(int sig, steady::duration limit) {
    if (status_) {
        return status_;
    }
    kill(pid_, sig);
    return wait_exit(limit);
}

std::optional<int> bridge::wait_exit(steady::duration limit) {
    int status = 0;
    if (!status_ && poll_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) {
        status_ = status;
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    return status_;
}

bool bridge::running() {
    return !wait_exit(0ms).has_value();
}

bool bridge::lock_exists(const char *device) const {
    struct stat st {};
    return lstat(path(lock_name(device)).c_str(), &st) == 0;
}

} // namespace harness
