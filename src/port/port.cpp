#include "port/port.hpp"

#include "common/debug.hpp"
#include "common/log.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int lock_timeout_seconds = 1;
// Where the kernel's pseudo-terminal slaves live: a link there is one this
// daemon may have published.
constexpr char slave_directory[] = "/dev/pts/";

using path_text = std::array<char, 256>;

// Bounds the walk along a chain of symbolic links.
constexpr int link_hops_max = 8;
constexpr char device_directory[] = "/dev/";

// The path in /dev of the device node that `device` leads to through
// symbolic links, into `kernel`; left empty when `device` is no link, is
// missing, or leads somewhere that has no name of its own in /dev (the
// slave of a pseudo-terminal, /dev/pts/N, keeps the link's name). A lock
// file's name is a device's bare file name, which only in /dev names one
// device: there it is the name every other program locks.
void find_kernel_path(const char *device, std::array<char, 64> &kernel) {
    kernel[0] = '\0';
    path_text at{};
    if (std::snprintf(at.data(), at.size(), "%s", device) >= static_cast<int>(at.size())) {
        return;
    }
    int hops = 0;
    for (; hops < link_hops_max; ++hops) {
        path_text target{};
        const ssize_t n = readlink(at.data(), target.data(), target.size() - 1);
        if (n < 0) {
            break;
        }
        target[static_cast<std::size_t>(n)] = '\0';
        path_text next{};
        const char *slash = std::strrchr(at.data(), '/');
        const int directory = slash == nullptr ? 0 : static_cast<int>(slash - at.data()) + 1;
        const int length = target[0] == '/'
                               ? std::snprintf(next.data(), next.size(), "%s", target.data())
                               : std::snprintf(next.data(), next.size(), "%.*s%s", directory,
                                               at.data(), target.data());
        if (length >= static_cast<int>(next.size())) {
            return;
        }
        at = next;
    }
    const char *name = std::strrchr(at.data(), '/');
    name = name == nullptr ? at.data() : name + 1;
    struct stat linked {};
    struct stat named {};
    if (hops == 0 || *name == '\0' ||
        std::snprintf(kernel.data(), kernel.size(), "%s%s", device_directory, name) >=
            static_cast<int>(kernel.size()) ||
        stat(device, &linked) != 0 || stat(kernel.data(), &named) != 0 ||
        !S_ISCHR(linked.st_mode) || !S_ISCHR(named.st_mode) || linked.st_rdev != named.st_rdev) {
        kernel[0] = '\0';
    }
}

// Where a port is opened and what its lock file is named after.
const char *open_path(const port &p) {
    return p.kernel_path[0] != '\0' ? p.kernel_path.data() : p.device;
}
const char *lock_path(const port &p) {
    return p.kernel_path[0] != '\0' ? p.kernel_path.data() : p.lock;
}

// Opens a port's device for the event loop, which waits with select and so
// cannot watch a descriptor of FD_SETSIZE or more: only inherited
// descriptors push a port this high. Returns -1 with the failure logged.
int open_watchable(const port &p, const char *path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= FD_SETSIZE) {
        close(fd);
        fd = -1;
        errno = EMFILE;
    }
    if (fd < 0) {
        log_failure(LOG_ERR, errno, "cannot %s %s", "open", port_name(p));
    }
    return fd;
}

// Opens the device once its lock file is taken. A modem port must also
// get a flock: programs such as picocom and tio lock a serial device only
// that way. Someone else's flock counts as a held lock, in the same wait.
// Returns the descriptor, or -1 with the failure logged.
int lock_and_open(port &p) {
    lock_wait wait = lock_wait_begin(lock_timeout_seconds);
    do {
        // Again in each attempt: a replug may move the link meanwhile.
        if (p.kind == port_kind::modem) {
            find_kernel_path(p.device, p.kernel_path);
        }
        if (!dev_lock_attempt(lock_path(p))) {
            continue;
        }
        const int fd = open_watchable(p, open_path(p));
        if (fd < 0) {
            dev_unlock(lock_path(p));
            p.kernel_path[0] = '\0';
            return -1;
        }
        // Only EWOULDBLOCK means another holder; a file system without
        // flock leaves the lock file alone to guard the device.
        if (p.kind != port_kind::modem || flock(fd, LOCK_EX | LOCK_NB) == 0 ||
            errno != EWOULDBLOCK) {
            return fd;
        }
        close(fd);
        dev_unlock(lock_path(p));
    } while (lock_wait_next(wait));
    p.kernel_path[0] = '\0';
    log_message(LOG_ERR, "cannot lock %s", port_name(p));
    return -1;
}

// The slave of a Unix98 master, as "/dev/pts/<n>".
bool slave_path(int master, path_text &path) {
    unsigned int number = 0;
    if (ioctl(master, TIOCGPTN, &number) != 0) {
        return false;
    }
    (void)std::snprintf(path.data(), path.size(), "%s%u", slave_directory, number);
    return true;
}

// Whether the entry at `link` is a symbolic link into the slave directory,
// that is, one this daemon may have made; `target` gets where it points.
bool our_link(const char *link, path_text &target) {
    const ssize_t n = readlink(link, target.data(), target.size() - 1);
    if (n < 0) {
        return false;
    }
    target[static_cast<std::size_t>(n)] = '\0';
    return std::strncmp(target.data(), slave_directory, sizeof slave_directory - 1) == 0;
}

// Unlocks the slave of a fresh master and lets the daemon's group use it as
// it would a serial device; `slave` gets its path.
bool grant_slave(const port &p, int master, path_text &slave) {
    int unlock = 0;
    if (ioctl(master, TIOCSPTLCK, &unlock) != 0 || !slave_path(master, slave)) {
        log_failure(LOG_ERR, errno, "cannot %s %s", "unlock", port_name(p));
        return false;
    }
    if (chown(slave.data(), static_cast<uid_t>(-1), getegid()) != 0 ||
        chmod(slave.data(), 0660) != 0) {
        log_failure(LOG_WARNING, errno, "cannot %s %s", "grant", port_name(p));
    }
    return true;
}

// Links a slave under the port's link name plus ".new" and renames that
// over the link: a client that opens the link finds either the old slave
// or the new one, never nothing. Only a link of ours is ever replaced, and
// one at ".new" is what a killed daemon left.
bool publish_link(const port &p, const path_text &slave) {
    path_text temporary{};
    (void)std::snprintf(temporary.data(), temporary.size(), "%s.new", p.link);
    path_text target{};
    struct stat seen {};
    if (lstat(temporary.data(), &seen) == 0 && S_ISLNK(seen.st_mode) &&
        our_link(temporary.data(), target)) {
        unlink(temporary.data());
    }
    if (lstat(p.link, &seen) == 0 && !(S_ISLNK(seen.st_mode) && our_link(p.link, target))) {
        log_failure(LOG_ERR, EEXIST, "cannot %s %s", "link", p.link);
        return false;
    }
    if (symlink(slave.data(), temporary.data()) != 0) {
        log_failure(LOG_ERR, errno, "cannot %s %s", "link", p.link);
        return false;
    }
    if (rename(temporary.data(), p.link) != 0) {
        const int error = errno;
        unlink(temporary.data());
        log_failure(LOG_ERR, error, "cannot %s %s", "link", p.link);
        return false;
    }
    return true;
}

// Takes the port's link away while it still points at this master's slave.
void withdraw_slave(const port &p) {
    path_text slave{};
    path_text target{};
    if (slave_path(p.fd, slave) && our_link(p.link, target) &&
        std::strcmp(slave.data(), target.data()) == 0) {
        unlink(p.link);
    }
}

// Flushes a freshly opened port and puts it into raw mode; failures are
// logged and the port stays open.
void make_raw(const port &p, int fd) {
    if (tcflush(fd, TCIOFLUSH) != 0) {
        log_failure(LOG_WARNING, errno, "cannot %s %s", "flush", port_name(p));
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        log_failure(LOG_ERR, errno, "cannot %s %s attributes", "get", port_name(p));
    }
    cfmakeraw(&settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        log_failure(LOG_ERR, errno, "cannot %s %s attributes", "set", port_name(p));
    }
}

// Whether a client has opened the slave of a hung-up master again: the
// master then no longer reports the hang-up. A client whose open followed
// the link just before it moved is still on its way to that slave, so the
// question is asked again for a few milliseconds before the master is
// closed under it; that costs only a client's hang-up, never an idle wait.
bool reopened_during_grace(int master) {
    constexpr int looks = 20;
    constexpr timespec pause{0, 100'000}; // 0.1 ms
    for (int look = 0; look < looks; ++look) {
        pollfd old{master, POLLIN, 0};
        if (poll(&old, 1, 0) >= 0 && (old.revents & POLLHUP) == 0) {
            return true;
        }
        nanosleep(&pause, nullptr);
    }
    return false;
}

} // namespace

const char *port_name(const port &p) {
    return p.link != nullptr ? p.link : p.device;
}

int port_open(port &p) {
    if (p.fd >= 0) {
        return p.fd;
    }
    const int fd = lock_and_open(p);
    if (fd < 0) {
        return -1;
    }
    p.fd = fd;
    log_debug(DEBUG_PORTS, "%s open, fd=%i", port_name(p), fd);
    make_raw(p, fd);
    // Published only now: a client that opens the link and sends at once
    // must not have its bytes flushed above.
    path_text slave{};
    if (p.link != nullptr && !(grant_slave(p, fd, slave) && publish_link(p, slave))) {
        port_close(p);
        return -1;
    }
    return fd;
}

bool port_replace(port &p, bool unless_reopened) {
    if (p.fd < 0 || p.link == nullptr) {
        port_close(p);
        return true;
    }
    // The lock file stays: it is the channel's, not the master's.
    const int fd = open_watchable(p, p.device);
    if (fd < 0) {
        port_close(p);
        return true;
    }
    log_debug(DEBUG_PORTS, "%s open, fd=%i", port_name(p), fd);
    make_raw(p, fd);
    const auto discard = [&p](int master) {
        log_debug(DEBUG_PORTS, "%s close, fd=%i", port_name(p), master);
        close(master);
    };
    path_text slave{};
    if (!(grant_slave(p, fd, slave) && publish_link(p, slave))) {
        discard(fd);
        port_close(p);
        return true;
    }
    // A client that opened the old slave since its hang-up was read has it
    // now: the old master no longer reports the hang-up. That client keeps
    // its terminal, and the link goes back to it; the fresh master was
    // published for a moment only, to a client that was not there.
    path_text old{};
    if (unless_reopened && reopened_during_grace(p.fd) && slave_path(p.fd, old) &&
        publish_link(p, old)) {
        discard(fd);
        return false;
    }
    discard(p.fd);
    p.fd = fd;
    return true;
}

void port_close(port &p) {
    if (p.fd < 0) {
        return;
    }
    log_debug(DEBUG_PORTS, "%s close, fd=%i", port_name(p), p.fd);
    if (p.link != nullptr) {
        withdraw_slave(p);
    }
    close(p.fd);
    p.fd = -1;
    dev_unlock(lock_path(p));
    p.kernel_path[0] = '\0';
}
