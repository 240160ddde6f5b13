// UUCP lock files in their HDB form: LCK..<device name> in the lock
// directory, holding the owner's process ID as "%10d\n".

#include "port/port.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef PTYBRIDGE_LOCK_DIR
#error "PTYBRIDGE_LOCK_DIR must name the lock directory"
#endif

namespace {

constexpr long attempt_pause_ns = 100'000'000;
constexpr int attempts_per_second = 10;
// A lock file is 11 bytes; this leaves room for generous padding.
constexpr std::size_t owner_text_size = 64;

using lock_path = std::array<char, 64>;

lock_path make_lock_path(const char *device) {
    lock_path path{};
    // The GNU basename: it does not modify its argument. A path too long
    // for the buffer is cut short.
    (void)std::snprintf(path.data(), path.size(), "%s/LCK..%s", PTYBRIDGE_LOCK_DIR,
                        basename(device));
    return path;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the lock file only while the name still refers to the file that
// was examined, so that a lock taken in the meantime by another process
// survives.
void remove_if_same(const char *path, const struct stat &examined) {
    struct stat now {};
    if (lstat(path, &now) == 0 && same_file(now, examined)) {
        unlink(path);
    }
}

// The process ID at the start of a lock file, read only from a regular
// file: a FIFO, a device, a directory or a symbolic link in its place counts
// as held by someone else and is left alone. `seen` is the file read.
bool read_owner(const char *path, struct stat &seen, pid_t &owner) {
    if (lstat(path, &seen) != 0 || !S_ISREG(seen.st_mode)) {
        return false;
    }
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::array<char, owner_text_size> text{};
    const ssize_t n = fstat(fd, &seen) == 0 && S_ISREG(seen.st_mode)
                          ? read(fd, text.data(), text.size() - 1)
                          : -1;
    close(fd);
    if (n < 0) {
        return false;
    }
    owner = lock_owner(text.data());
    return true;
}

// Takes away a lock file whose owner is gone.
void remove_if_stale(const char *path) {
    struct stat seen {};
    pid_t owner = 0;
    if (read_owner(path, seen, owner) && !pid_alive(owner)) {
        remove_if_same(path, seen);
    }
}

bool try_create(const char *path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::array<char, 16> text{};
    (void)std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    const std::size_t length = std::strlen(text.data());
    const bool whole = write(fd, text.data(), length) == static_cast<ssize_t>(length);
    if (!whole) {
        // A lock file without a whole process ID must not stay behind:
        // others would take it for stale while this process believed it held.
        struct stat created {};
        if (fstat(fd, &created) == 0) {
            remove_if_same(path, created);
        }
    }
    close(fd);
    return whole;
}

} // namespace

pid_t lock_owner(const char *text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT_MAX) {
            return 0;
        }
    }
    return static_cast<pid_t>(negative ? -value : value);
}

bool dev_lock(const char *device, int timeout) {
    const lock_path path = make_lock_path(device);
    const std::int64_t start = monotonic_seconds();
    const std::int64_t deadline = start + timeout;
    // Without a clock the wait still ends: after as many attempts as the
    // longest wait would make.
    int attempts_left = (timeout + 1) * attempts_per_second;
    for (;;) {
        remove_if_stale(path.data());
        if (try_create(path.data())) {
            return true;
        }
        const timespec pause{0, attempt_pause_ns};
        nanosleep(&pause, nullptr);
        const std::int64_t now = monotonic_seconds();
        if (start < 0 || now < 0) {
            if (--attempts_left <= 0) {
                return false;
            }
        } else if (now > deadline) {
            return false;
        }
    }
}

void dev_unlock(const char *device) {
    const lock_path path = make_lock_path(device);
    // Only while the file still names this process: if ours was removed
    // and another process has locked the device since, the lock is theirs.
    struct stat seen {};
    pid_t owner = 0;
    if (read_owner(path.data(), seen, owner) && owner == getpid()) {
        remove_if_same(path.data(), seen);
    }
}

bool pid_alive(pid_t pid) {
    return pid_kill(pid, 0) == 0 || errno != ESRCH;
}

int pid_kill(pid_t pid, int sig) {
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return kill(pid, sig);
}

std::int64_t monotonic_seconds() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(now.tv_sec);
}
