#include "port/port.hpp"

#include "common/debug.hpp"
#include "common/log.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int lock_timeout_seconds = 1;
constexpr std::int64_t lock_attempt_ms = 100;
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
// descriptors push a port this high. Returns -1 with the failure logged;
// a master's failure only when it is new, so that one that lasts (no
// pseudo-terminal left) is logged once, and its end once. A spare's open
// never ends the failure: spares that come and go at the limit would
// otherwise log each time.
int open_watchable(port &p, const char *path, bool spare = false) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= FD_SETSIZE) {
        close(fd);
        fd = -1;
        errno = EMFILE;
    }
    if (p.kind != port_kind::master) {
        if (fd < 0) {
            log_failure(LOG_ERR, errno, "cannot %s %s", "open", port_name(p));
        }
        return fd;
    }
    if (fd < 0 && errno != p.failing) {
        p.failing = errno;
        log_failure(LOG_ERR, errno, "cannot %s %s", "open", port_name(p));
    } else if (fd >= 0 && p.failing != 0 && !spare) {
        p.failing = 0;
        log_message(LOG_INFO, "%s open again", port_name(p));
    }
    return fd;
}

// Opens the device once its lock file is taken. A modem port must also
// get a flock: programs such as picocom and tio lock a serial device only
// that way. Someone else's flock counts as a held lock, in the same wait.
// One attempt per call: port_waiting while the wait goes on, else the
// descriptor, or -1 with the failure logged.
int lock_and_open(port &p) {
    if (!p.waiting) {
        p.wait = lock_wait_begin(lock_timeout_seconds);
        p.waiting = true;
    } else if (!lock_wait_more(p.wait)) {
        p.waiting = false;
        p.kernel_path[0] = '\0';
        log_message(LOG_ERR, "cannot lock %s", port_name(p));
        return -1;
    }
    // Again in each attempt: a replug may move the link meanwhile.
    if (p.kind == port_kind::modem) {
        find_kernel_path(p.device, p.kernel_path);
    }
    if (dev_lock_attempt(lock_path(p))) {
        const int fd = open_watchable(p, open_path(p));
        if (fd < 0) {
            p.waiting = false;
            dev_unlock(lock_path(p));
            p.kernel_path[0] = '\0';
            return -1;
        }
        // Only EWOULDBLOCK means another holder; a file system without
        // flock leaves the lock file alone to guard the device.
        if (p.kind != port_kind::modem || flock(fd, LOCK_EX | LOCK_NB) == 0 ||
            errno != EWOULDBLOCK) {
            p.waiting = false;
            return fd;
        }
        close(fd);
        dev_unlock(lock_path(p));
    }
    p.attempt_at = monotonic_ms() + lock_attempt_ms;
    return port_waiting;
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

// The link's temporary name, where the next slave waits to be published.
path_text temporary_path(const port &p) {
    path_text temporary{};
    (void)std::snprintf(temporary.data(), temporary.size(), "%s.new", p.link);
    return temporary;
}

// Links a slave under the port's link name plus ".new". One of ours found
// there is what a killed daemon left, or a spare given up.
bool link_temporary(const port &p, const path_text &slave) {
    const path_text temporary = temporary_path(p);
    path_text target{};
    struct stat seen {};
    if (lstat(temporary.data(), &seen) == 0 && S_ISLNK(seen.st_mode) &&
        our_link(temporary.data(), target)) {
        unlink(temporary.data());
    }
    if (symlink(slave.data(), temporary.data()) != 0) {
        log_failure(LOG_ERR, errno, "cannot %s %s", "link", p.link);
        return false;
    }
    return true;
}

// Renames the temporary link over the link: a client that opens the link
// finds either the old slave or the new one, never nothing. Only a link of
// ours is ever replaced.
bool move_temporary(const port &p) {
    const path_text temporary = temporary_path(p);
    path_text target{};
    struct stat seen {};
    int error = EEXIST;
    if (lstat(p.link, &seen) != 0 || (S_ISLNK(seen.st_mode) && our_link(p.link, target))) {
        if (rename(temporary.data(), p.link) == 0) {
            return true;
        }
        error = errno;
    }
    unlink(temporary.data());
    log_failure(LOG_ERR, error, "cannot %s %s", "link", p.link);
    return false;
}

bool publish_link(const port &p, const path_text &slave) {
    return link_temporary(p, slave) && move_temporary(p);
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

// Whether no client has the slave of a master open: the master then
// reports a hang-up (once a client has opened it at all).
bool let_go(int master) {
    pollfd m{master, POLLIN, 0};
    return poll(&m, 1, 0) >= 0 && (m.revents & POLLHUP) != 0;
}

// Whether a master shows a hang-up (`hung_up`), or none, within a few
// milliseconds: a client's open or close is seen a moment before the
// master reflects it.
bool shows_within_grace(int master, bool hung_up) {
    constexpr int looks = 20;
    constexpr timespec pause{0, 100'000}; // 0.1 ms
    for (int look = 0; look < looks; ++look) {
        if (let_go(master) == hung_up) {
            return true;
        }
        nanosleep(&pause, nullptr);
    }
    return false;
}

// Whether a client has opened the slave of a hung-up master again: the
// master then no longer reports the hang-up. A client whose open followed
// the link just before it moved is still on its way to that slave, so the
// question is asked again for a few milliseconds before the master is
// closed under it; that costs only a client's hang-up, never an idle wait.
bool reopened_during_grace(int master) {
    return shows_within_grace(master, false);
}

// The inotify descriptor, made at the first watch. A failure to watch is
// logged when it is new, and the master is then served unwatched, as a
// client's own.
int watcher = -1;
constexpr std::uint32_t watched_events = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

int watch_slave(port &p, const path_text &slave) {
    if (watcher < 0) {
        watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watcher >= FD_SETSIZE) {
            close(watcher);
            watcher = -1;
            errno = EMFILE;
        }
    }
    const int watch = watcher < 0 ? -1 : inotify_add_watch(watcher, slave.data(), watched_events);
    if (watch < 0 && errno != p.watch_failing) {
        p.watch_failing = errno;
        log_failure(LOG_ERR, errno, "cannot %s %s", "watch", port_name(p));
    } else if (watch >= 0) {
        p.watch_failing = 0;
    }
    return watch;
}

void unwatch(int &watch) {
    if (watch >= 0 && watcher >= 0) {
        inotify_rm_watch(watcher, watch);
    }
    watch = -1;
}

// Closes a master that is not (or no longer) the published one.
void close_terminal(const port &p, terminal &t) {
    if (t.fd < 0) {
        return;
    }
    log_debug(DEBUG_PORTS, "%s close, fd=%i", port_name(p), t.fd);
    unwatch(t.watch);
    close(t.fd);
    t = terminal{};
}

// Logs a port's open and puts it in raw mode; a master to publish also has
// its slave granted (`slave` gets its path) and watched, before anyone can
// find it at the link, so that no open of it goes unseen.
bool set_up(port &p, int fd, path_text &slave, int &watch) {
    log_debug(DEBUG_PORTS, "%s open, fd=%i", port_name(p), fd);
    make_raw(p, fd);
    watch = -1;
    if (p.link == nullptr) {
        return true;
    }
    if (!grant_slave(p, fd, slave)) {
        return false;
    }
    watch = watch_slave(p, slave);
    return true;
}

// A fresh master beside the published one: its lock file is the
// channel's, held already. -1 with the failure logged.
int open_fresh(port &p, path_text &slave, int &watch, bool spare) {
    terminal fresh{};
    fresh.fd = open_watchable(p, p.device, spare);
    if (fresh.fd >= 0 && !set_up(p, fresh.fd, slave, fresh.watch)) {
        close_terminal(p, fresh);
    }
    watch = fresh.watch;
    return fresh.fd;
}

// Takes a given-up spare's temporary link away.
void withdraw_temporary(const port &p) {
    const path_text temporary = temporary_path(p);
    path_text target{};
    if (our_link(temporary.data(), target)) {
        unlink(temporary.data());
    }
}

// The next master, linked at the temporary name: only a watched port
// moves its link when a client opens it. Without one the link stays.
void make_spare(port &p) {
    if (p.spare.fd >= 0 || p.watch < 0) {
        return;
    }
    path_text slave{};
    terminal spare{};
    spare.fd = open_fresh(p, slave, spare.watch, true);
    if (spare.fd < 0) {
        return;
    }
    if (spare.watch < 0 || !link_temporary(p, slave)) {
        close_terminal(p, spare);
        return;
    }
    p.spare = spare;
}

// A place for one more client's terminal, or nullptr.
terminal *free_terminal(port &p) {
    auto *const free = std::ranges::find_if(p.clients, [](const terminal &t) { return t.fd < 0; });
    return free != p.clients.end() ? free : nullptr;
}

// A client opened the published slave: the spare takes the link and the
// client keeps its terminal, off the link. Without a spare or a free place
// the link stays, and the published master is served as the client's.
void promote(port &p) {
    terminal *free_place = free_terminal(p);
    make_spare(p);
    if (free_place == nullptr || p.spare.fd < 0 || !move_temporary(p)) {
        if (p.spare.fd >= 0 && free_place != nullptr) {
            close_terminal(p, p.spare); // its temporary link went with the failed move
        }
        p.held = true;
        return;
    }
    *free_place = terminal{p.fd, p.watch, true};
    p.fd = p.spare.fd;
    p.watch = p.spare.watch;
    p.held = false;
    p.spare = terminal{};
    make_spare(p);
}

} // namespace

bool port_published_held(const port &p) {
    return p.fd >= 0 && (p.watch < 0 || p.held);
}

bool port_clients_held(const port &p) {
    return std::ranges::any_of(p.clients, [](const terminal &t) { return t.fd >= 0 && t.held; });
}

int port_watch_fd() {
    return watcher;
}

std::size_t port_watch_read(char *buffer, std::size_t size) {
    if (watcher < 0) {
        return 0;
    }
    const ssize_t n = read(watcher, buffer, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool port_watch_event(port &p, int watch, std::uint32_t mask, bool reopened_later) {
    if (watch < 0 || p.fd < 0) {
        return false;
    }
    const bool opened = (mask & IN_OPEN) != 0;
    const bool gone = (mask & IN_IGNORED) != 0;
    if (watch == p.watch) {
        if (gone) {
            // The slave's node went away under the daemon: served unwatched.
            p.watch = -1;
            log_failure(LOG_ERR, ENOENT, "cannot %s %s", "watch", port_name(p));
        } else if (opened && !p.held) {
            promote(p);
        }
        return false;
    }
    for (terminal &t : p.clients) {
        if (t.fd < 0 || t.watch != watch) {
            continue;
        }
        const bool was_held = t.held;
        if (gone) {
            t.watch = -1;
        } else if (opened) {
            t.held = true;
        } else {
            // A close then an open in one batch is one client leaving and
            // the next arriving: that counts as let go in between. The close
            // is reported as it begins: its hang-up is given a moment.
            t.held = !reopened_later && !port_hangs_up(t);
        }
        return was_held && !t.held && !port_clients_held(p) && !p.held;
    }
    return false;
}

void port_watch_lost(port &p) {
    for (terminal &t : p.clients) {
        if (t.fd >= 0) {
            t.held = !let_go(t.fd);
        }
    }
    // Whether the published slave was opened meanwhile is unknown: it is
    // taken off the link as if it had been.
    if (p.fd >= 0 && p.watch >= 0 && !p.held) {
        promote(p);
    }
}

bool port_hangs_up(const terminal &t) {
    return shows_within_grace(t.fd, true);
}

void port_release(const port &p, terminal &t, bool unless_reopened) {
    if (unless_reopened && reopened_during_grace(t.fd)) {
        t.held = true;
        return;
    }
    close_terminal(p, t);
}

const char *port_name(const port &p) {
    return p.link != nullptr ? p.link : p.device;
}

int port_open(port &p) {
    if (p.fd >= 0) {
        return p.fd;
    }
    const int fd = lock_and_open(p);
    if (fd < 0) {
        return fd;
    }
    p.fd = fd;
    p.held = false;
    // Published only now: a client that opens the link and sends at once
    // must not have its bytes flushed.
    path_text slave{};
    if (!set_up(p, fd, slave, p.watch) || (p.link != nullptr && !publish_link(p, slave))) {
        port_close(p);
        return -1;
    }
    make_spare(p);
    return fd;
}

bool port_replace(port &p, bool unless_reopened) {
    if (p.fd < 0 || p.link == nullptr) {
        port_close(p);
        return true;
    }
    // The lock file stays: it is the channel's, not the master's.
    terminal old{p.fd, p.watch, true};
    if (p.spare.fd >= 0 && move_temporary(p)) {
        p.fd = p.spare.fd;
        p.watch = p.spare.watch;
        p.spare = terminal{};
    } else {
        close_terminal(p, p.spare); // a failed move took its temporary link
        path_text slave{};
        terminal fresh{};
        fresh.fd = open_fresh(p, slave, fresh.watch, false);
        if (fresh.fd < 0 || !publish_link(p, slave)) {
            close_terminal(p, fresh);
            port_close(p);
            return true;
        }
        p.fd = fresh.fd;
        p.watch = fresh.watch;
    }
    p.held = false;
    // A client that opened the old slave since its hang-up was read has it
    // now: the old master no longer reports the hang-up. That client keeps
    // its terminal: off the link where slaves are watched, else the link
    // goes back to it and the fresh master, published for a moment to a
    // client that was not there, is closed.
    if (unless_reopened && reopened_during_grace(old.fd)) {
        terminal *free_place = p.watch >= 0 ? free_terminal(p) : nullptr;
        if (free_place != nullptr) {
            *free_place = old;
            make_spare(p);
            return false;
        }
        path_text old_slave{};
        if (slave_path(old.fd, old_slave) && publish_link(p, old_slave)) {
            terminal fresh{p.fd, p.watch, false};
            close_terminal(p, fresh);
            p.fd = old.fd;
            p.watch = old.watch;
            p.held = true;
            return false;
        }
    }
    close_terminal(p, old);
    make_spare(p);
    return true;
}

void port_close(port &p) {
    if (p.fd < 0) {
        return;
    }
    for (terminal &t : p.clients) {
        close_terminal(p, t);
    }
    if (p.spare.fd >= 0) {
        withdraw_temporary(p);
        close_terminal(p, p.spare);
    }
    log_debug(DEBUG_PORTS, "%s close, fd=%i", port_name(p), p.fd);
    if (p.link != nullptr) {
        withdraw_slave(p);
    }
    unwatch(p.watch);
    close(p.fd);
    p.fd = -1;
    p.held = false;
    dev_unlock(lock_path(p));
    p.kernel_path[0] = '\0';
}
