// UUCP lock files in their HDB form: LCK..<device name> in the lock
// directory, holding the owner's process ID as "%10d\n". A lock file is
// written whole under a temporary name of this process, LTMP.<pid>, and
// then linked into place, so that nobody ever finds it empty.

#include "port/lock.hpp"

#include "common/log.hpp"
#include "port/port.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr long attempt_pause_ns = 100'000'000;
constexpr int attempts_per_second = 10;
// A lock file is 11 bytes; this leaves room for generous padding.
constexpr std::size_t owner_text_size = 64;
constexpr char temporary_prefix[] = "LTMP.";
// Bounds the scan for leftover temporary files in a crowded directory.
constexpr int scan_reads = 16;

lock_path make_temporary_path(pid_t pid) {
    lock_path path{};
    (void)std::snprintf(path.data(), path.size(), "%s/%s%d", lock_directory, temporary_prefix,
                        static_cast<int>(pid));
    return path;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The lock files this process has written and not yet given back. Process
// IDs repeat from boot to boot and a lock directory may outlive a reboot,
// so a lock file naming this process is its own only if it is one of
// these; any other was left by an earlier process with the same ID.
struct held_lock {
    lock_path path; // empty while the entry is free
    dev_t device;
    ino_t inode;
};
// One lock per port, four ports: room to spare, and no heap.
constexpr std::size_t held_locks_max = 8;
std::array<held_lock, held_locks_max> held_locks{};

// The entry of `path`; a free entry's path is empty.
held_lock *find_held(const char *path) {
    auto *const h = std::find_if(held_locks.begin(), held_locks.end(), [path](const held_lock &e) {
        return std::strcmp(e.path.data(), path) == 0;
    });
    return h != held_locks.end() ? h : nullptr;
}

// The entry `path` has, or a free one; nullptr when every entry is taken
// by another lock.
held_lock *entry_for(const char *path) {
    held_lock *const h = find_held(path);
    return h != nullptr ? h : find_held("");
}

// Whether `seen`, found at `path`, is the lock file this process wrote there.
bool written_here(const char *path, const struct stat &seen) {
    const held_lock *h = find_held(path);
    return h != nullptr && h->device == seen.st_dev && h->inode == seen.st_ino;
}

// Whether the lock directory's last failure has been reported: once until
// the directory works again, not at every attempt of every wait.
bool directory_failure_reported = false;

void directory_failed(int error) {
    if (!directory_failure_reported) {
        log_failure(LOG_ERR, error, "cannot use lock directory %s", lock_directory);
        directory_failure_reported = true;
    }
}

// Removes a file only while the name still refers to the file that was
// examined, so that one made in the meantime by another process survives.
void remove_if_same(const char *path, const struct stat &examined) {
    struct stat now {};
    if (lstat(path, &now) == 0 && same_file(now, examined)) {
        unlink(path);
    }
}

// Removes a regular file, never what a FIFO, device, directory or symbolic
// link in its place stands for.
void remove_if_regular(const char *path) {
    struct stat seen {};
    if (lstat(path, &seen) == 0 && S_ISREG(seen.st_mode)) {
        remove_if_same(path, seen);
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

// Takes away a lock file whose owner is gone, or which names this process
// but was not written by it.
void remove_if_stale(const char *path) {
    struct stat seen {};
    pid_t owner = 0;
    if (!read_owner(path, seen, owner)) {
        return;
    }
    const bool held = owner == getpid() ? written_here(path, seen) : pid_alive(owner);
    if (!held) {
        remove_if_same(path, seen);
    }
}

// Removes the temporary files of processes that died between creating one
// and giving it up. One of a live process is its own business.
void remove_stale_temporaries() {
    const int dir = open(lock_directory, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (dir < 0) {
        return;
    }
    alignas(dirent64) std::array<char, 2048> entries{};
    for (int reads = 0; reads < scan_reads; ++reads) {
        const ssize_t n = getdents64(dir, entries.data(), entries.size());
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(&entries[at]);
            at += entry->d_reclen;
            const pid_t owner = temporary_owner(entry->d_name);
            if (owner != 0 && owner != getpid() && !pid_alive(owner)) {
                const lock_path path = make_temporary_path(owner);
                remove_if_regular(path.data());
            }
        }
    }
    close(dir);
}

// Creates this process's temporary file. One already at that name is
// a leftover: no other live process can have this process's ID.
int create_temporary(const char *path) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags, 0644);
    if (fd < 0 && errno == EEXIST) {
        remove_if_regular(path);
        fd = open(path, flags, 0644);
    }
    return fd;
}

// Writes all of `text`, going on after a short write; false, with errno
// set, when the rest cannot be written.
bool write_whole(int fd, const char *text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n == 0 ? ENOSPC : errno;
            return false;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the lock file whole under the temporary name, then gives it the
// lock file's name; link() fails when that name exists, which is what makes
// the lock atomic between processes. Any other failure is the directory's.
bool try_create(const char *path) {
    // Never a lock this process could not tell for its own afterwards.
    held_lock *entry = entry_for(path);
    if (entry == nullptr) {
        return false;
    }
    const lock_path temporary = make_temporary_path(getpid());
    const int fd = create_temporary(temporary.data());
    if (fd < 0) {
        directory_failed(errno);
        return false;
    }
    std::array<char, 16> text{};
    (void)std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    struct stat created {};
    const bool known = fstat(fd, &created) == 0;
    bool usable = known && write_whole(fd, text.data(), std::strlen(text.data()));
    int error = usable ? 0 : errno;
    close(fd);
    const bool linked = usable && link(temporary.data(), path) == 0;
    if (usable && !linked && errno != EEXIST) {
        usable = false;
        error = errno;
    }
    if (known) {
        remove_if_same(temporary.data(), created);
    }
    if (!usable) {
        directory_failed(error);
        return false;
    }
    directory_failure_reported = false;
    if (linked) {
        *entry = {{}, created.st_dev, created.st_ino};
        (void)std::snprintf(entry->path.data(), entry->path.size(), "%s", path);
    }
    return linked;
}

} // namespace

lock_path make_lock_path(const char *directory, const char *device) {
    lock_path path{};
    // The GNU basename: it does not modify its argument. A path too long
    // for the buffer is cut short.
    (void)std::snprintf(path.data(), path.size(), "%s/LCK..%s", directory, basename(device));
    return path;
}

pid_t temporary_owner(const char *name) {
    const std::size_t prefix = sizeof temporary_prefix - 1;
    if (std::strncmp(name, temporary_prefix, prefix) != 0 || name[prefix] < '1' ||
        name[prefix] > '9') {
        return 0;
    }
    long long value = 0;
    for (const char *c = name + prefix; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value > INT_MAX / 10) {
            return 0;
        }
        value = value * 10 + (*c - '0');
    }
    return value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

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

lock_wait lock_wait_begin(int timeout) {
    remove_stale_temporaries();
    const std::int64_t start = monotonic_seconds();
    // Without a clock the wait still ends: after as many attempts as the
    // longest wait would make.
    return {start, start + timeout, (timeout + 1) * attempts_per_second};
}

bool dev_lock_attempt(const char *device) {
    const lock_path path = make_lock_path(lock_directory, device);
    remove_if_stale(path.data());
    return try_create(path.data());
}

bool lock_wait_next(lock_wait &wait) {
    const timespec pause{0, attempt_pause_ns};
    nanosleep(&pause, nullptr);
    return lock_wait_more(wait);
}

bool lock_wait_more(lock_wait &wait) {
    const std::int64_t now = monotonic_seconds();
    if (wait.start < 0 || now < 0) {
        return --wait.attempts_left > 0;
    }
    return now <= wait.deadline;
}

bool dev_lock(const char *device, int timeout) {
    lock_wait wait = lock_wait_begin(timeout);
    do {
        if (dev_lock_attempt(device)) {
            return true;
        }
    } while (lock_wait_next(wait));
    return false;
}

void dev_unlock(const char *device) {
    const lock_path path = make_lock_path(lock_directory, device);
    // Only the file this process wrote, while it still names this process:
    // if ours was removed and another process has locked the device since,
    // the lock is theirs.
    struct stat seen {};
    pid_t owner = 0;
    if (read_owner(path.data(), seen, owner) && owner == getpid() &&
        written_here(path.data(), seen)) {
        remove_if_same(path.data(), seen);
    }
    if (held_lock *h = find_held(path.data())) {
        h->path[0] = '\0';
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

std::int64_t monotonic_ms() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}
