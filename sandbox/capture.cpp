// Preloaded into the daemon under test: reports every syslog message and
// every open to the test through an inherited pipe, leaving the daemon's
// own calls untouched. Records are lines: "S <priority> <usec> <text>" and
// "O <fd> <usec> <path>", the time read from the monotonic clock, with backslash, newline and
// non-printing bytes escaped as \\, \n and \xHH. The first record,
// "H <pid> <usec> loaded", is sent when the library is loaded, before the
// daemon's main: a test that never gets it knows the library is missing.
//
// Every removal of a file in the lock directory (unlink, remove, or a
// rename onto it) is reported before it is made as "U <pid> <usec> <state>
// <path>": the process ID at the start of the file about to go, and whether
// that process was alive at that moment ("alive", "dead", "self", or "none"
// when the file names no process or cannot be read). Every link into the
// lock directory is reported after it is made as "L <result> <usec> <path>",
// the result 0 or the errno. Every rename outside the lock directory (a
// link published) is reported as "R <result> <usec> <path>".
//
// With PTYBRIDGE_TEST_KILL_AT set, every call that changes the lock
// directory or a file in it (open, write, close, link, unlink, rename and the
// directory scan) is a numbered step, reported as "K <step> <usec> <call>
// <path>" before it is made; the process kills itself with SIGKILL just
// before step PTYBRIDGE_TEST_KILL_AT (0: count only). PTYBRIDGE_TEST_PTMX_OPENS
// and PTYBRIDGE_TEST_WATCH_ERROR make pseudo-terminals and watches fail.

// This library defines open and open64 side by side: with 64-bit file
// offsets on a 32-bit target the headers would turn the first into a
// second open64. Built without them, it catches both kinds of caller.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

// The sandbox daemon's lock directory, relative to its working directory.
constexpr char lock_dir[] = "lock";

namespace {

int events_fd() {
    static const int fd = [] {
        const char *value = std::getenv("PTYBRIDGE_TEST_EVENTS_FD");
        return value != nullptr ? std::atoi(value) : -1;
    }();
    return fd;
}

void emit(char kind, int number, const char *text, std::size_t length) {
    const int fd = events_fd();
    if (fd < 0) {
        return;
    }
    const int saved_errno = errno;
    std::string line;
    line.reserve(length + 32);
    line += kind;
    line += ' ';
    line += std::to_string(number);
    line += ' ';
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    line += std::to_string(static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
    line += ' ';
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            line += "\\\\";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            line += hex;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    const char *data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    errno = saved_errno;
}

// A number from the environment, or -1.
long number_from(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? std::atol(value) : -1L;
}

long kill_at() {
    static const long at = number_from("PTYBRIDGE_TEST_KILL_AT");
    return at;
}

// PTYBRIDGE_TEST_PTMX_OPENS=N: at most N masters of the pseudo-terminal
// multiplexer open at once; one more fails with ENOSPC, as at the kernel's
// limit.
std::array<bool, 1024> ptmx_fds{};
int ptmx_open = 0;

bool is_ptmx(const char *path) {
    const std::size_t n = std::strlen(path);
    return n >= 4 && std::strcmp(path + n - 4, "ptmx") == 0;
}

bool ptmx_exhausted(const char *path) {
    static const long allowed = number_from("PTYBRIDGE_TEST_PTMX_OPENS");
    return allowed >= 0 && is_ptmx(path) && ptmx_open >= allowed;
}

void track_ptmx(long fd, bool open) {
    if (fd >= 0 && fd < static_cast<long>(ptmx_fds.size()) &&
        ptmx_fds[static_cast<std::size_t>(fd)] != open) {
        ptmx_fds[static_cast<std::size_t>(fd)] = open;
        ptmx_open += open ? 1 : -1;
    }
}

bool in_lock_dir(const char *path) {
    const std::size_t n = sizeof lock_dir - 1;
    return path != nullptr && std::strncmp(path, lock_dir, n) == 0 &&
           (path[n] == '\0' || path[n] == '/');
}

// Descriptors open on the lock directory or a file in it.
std::array<int, 16> lock_fds{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

bool is_lock_fd(int fd) {
    for (const int f : lock_fds) {
        if (f == fd && fd >= 0) {
            return true;
        }
    }
    return false;
}

void track_lock_fd(int fd, bool open) {
    for (int &f : lock_fds) {
        if (open ? f < 0 : f == fd) {
            f = open ? fd : -1;
            return;
        }
    }
}

void step(const char *call, const char *path) {
    if (kill_at() < 0) {
        return;
    }
    static long steps = 0;
    ++steps;
    std::string text = call;
    text += ' ';
    text += path;
    emit('K', static_cast<int>(steps), text.c_str(), text.size());
    if (steps == kill_at()) {
        kill(getpid(), SIGKILL);
    }
}

void fd_step(const char *call, int fd) {
    if (is_lock_fd(fd)) {
        step(call, std::to_string(fd).c_str());
    }
}

// The owner named by a file about to be removed, and whether it lives, read
// without following a link and without showing up as an open.
void report_removal(const char *path) {
    std::array<char, 64> text{};
    const long fd = syscall(SYS_openat, AT_FDCWD, path,
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        (void)syscall(SYS_read, fd, text.data(), text.size() - 1);
        syscall(SYS_close, fd);
    }
    const char *c = text.data();
    while (*c == ' ' || (*c >= '\t' && *c <= '\r')) {
        ++c;
    }
    long pid = 0;
    for (; *c >= '0' && *c <= '9' && pid < 1'000'000'000; ++c) {
        pid = pid * 10 + (*c - '0');
    }
    const char *state = "none";
    if (pid > 0 && pid == getpid()) {
        state = "self";
    } else if (pid > 0) {
        state = kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH ? "alive" : "dead";
    }
    std::string line = state;
    line += ' ';
    line += path;
    emit('U', static_cast<int>(pid), line.c_str(), line.size());
}

void emit_message(int priority, const char *format, va_list args) {
    char text[16384];
    if (std::vsnprintf(text, sizeof text, format, args) < 0) {
        text[0] = '\0';
    }
    emit('S', priority & 7, text, std::strlen(text));
}

bool takes_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int open_file(const char *path, int flags, mode_t mode) {
    const bool lock_file = in_lock_dir(path);
    if (lock_file) {
        step("open", path);
    }
    const long fd = ptmx_exhausted(path) ? (errno = ENOSPC, -1L)
                                         : syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    const int saved_errno = errno;
    if (lock_file && fd >= 0) {
        track_lock_fd(static_cast<int>(fd), true);
    }
    if (is_ptmx(path)) {
        track_ptmx(fd, true);
    }
    emit('O', static_cast<int>(fd), path, std::strlen(path));
    errno = saved_errno;
    return static_cast<int>(fd);
}

// Runs as the library is loaded.
__attribute__((constructor)) void say_loaded() {
    constexpr char text[] = "loaded";
    emit('H', static_cast<int>(getpid()), text, sizeof text - 1);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void vsyslog(int priority, const char *format,
                                                    va_list args) {
    emit_message(priority, format, args);
}

__attribute__((visibility("default"))) void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    emit_message(priority, format, args);
    va_end(args);
}

__attribute__((visibility("default"))) void __syslog_chk(int priority, int, const char *format,
                                                         ...) {
    va_list args;
    va_start(args, format);
    emit_message(priority, format, args);
    va_end(args);
}

__attribute__((visibility("default"))) void __vsyslog_chk(int priority, int, const char *format,
                                                          va_list args) {
    emit_message(priority, format, args);
}

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return open_file(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return open_file(path, flags | O_LARGEFILE, mode);
}

__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    return open_file(path, flags, 0);
}

__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    return open_file(path, flags | O_LARGEFILE, 0);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *data, size_t size) {
    fd_step("write", fd);
    return syscall(SYS_write, fd, data, size);
}

__attribute__((visibility("default"))) int close(int fd) {
    fd_step("close", fd);
    if (is_lock_fd(fd)) {
        track_lock_fd(fd, false);
    }
    track_ptmx(fd, false);
    return static_cast<int>(syscall(SYS_close, fd));
}

__attribute__((visibility("default"))) int link(const char *from, const char *to) {
    const bool lock_file = in_lock_dir(to);
    if (lock_file) {
        step("link", to);
    }
    const int result = static_cast<int>(syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
    if (lock_file) {
        const int saved_errno = errno;
        emit('L', result == 0 ? 0 : saved_errno, to, std::strlen(to));
        errno = saved_errno;
    }
    return result;
}

__attribute__((visibility("default"))) int unlink(const char *path) {
    if (in_lock_dir(path)) {
        step("unlink", path);
        report_removal(path);
    }
    return static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

__attribute__((visibility("default"))) int remove(const char *path) {
    if (in_lock_dir(path)) {
        step("unlink", path);
        report_removal(path);
    }
    const int result = static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
    if (result != 0 && errno == EISDIR) {
        return static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, AT_REMOVEDIR));
    }
    return result;
}

__attribute__((visibility("default"))) int rename(const char *from, const char *to) {
    const bool lock_file = in_lock_dir(to);
    if (lock_file) {
        step("rename", to);
        report_removal(to);
    }
    const int result = static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
    if (!lock_file) {
        const int saved_errno = errno;
        emit('R', result == 0 ? 0 : saved_errno, to, std::strlen(to));
        errno = saved_errno;
    }
    return result;
}

// PTYBRIDGE_TEST_WATCH_ERROR=<errno>: no slave can be watched.
__attribute__((visibility("default"))) int inotify_add_watch(int fd, const char *path,
                                                             uint32_t mask) {
    static const long error = number_from("PTYBRIDGE_TEST_WATCH_ERROR");
    if (error > 0) {
        errno = static_cast<int>(error);
        return -1;
    }
    return static_cast<int>(syscall(SYS_inotify_add_watch, fd, path, mask));
}

__attribute__((visibility("default"))) ssize_t getdents64(int fd, void *entries, size_t size) {
    fd_step("scan", fd);
    return syscall(SYS_getdents64, fd, entries, size);
}

} // extern "C"
