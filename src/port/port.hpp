#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

enum class port_kind : std::uint8_t {
    modem,  // a serial device other programs may open too
    master, // a pseudo-terminal master, opened only by this daemon
};

// A pseudo-terminal master whose slave a client has opened. Its link has
// moved on to a fresh slave, so the next client gets a terminal of its own,
// while this one is served until its client lets go of it.
struct terminal {
    int fd = -1;
    int watch = -1;    // inotify watch of its slave, or -1
    bool held = false; // a client has the slave open, as far as the daemon knows
};

// Clients of one channel served at once; beyond that they share the last
// published terminal.
constexpr std::size_t terminals_max = 8;

// A wait for a lock file that another process holds.
struct lock_wait {
    std::int64_t start;    // monotonic seconds, or -1 without a clock
    std::int64_t deadline; // start + timeout
    int attempts_left;     // bounds the wait when the clock fails
};

// One device of the bridge. While fd is 0 or more, this process holds the
// lock file named after `lock`; fd changes only in port_open and port_close.
struct port {
    int fd;
    const char *device;                // fixed path, not owned
    port_kind kind = port_kind::modem; // a modem port is also flock()ed while open
    const char *lock = device;         // the name its lock file is named after
    // A Unix98 master only: where its slave is published as a symbolic
    // link while the master is open; nullptr for no link.
    const char *link = nullptr;
    // A modem port whose device is a symbolic link (a udev name) to a
    // device in /dev: that device's path, found when the port is opened.
    // The port is opened at this path and its lock file named after it, so
    // that it excludes programs that open the device by its kernel name.
    // Empty otherwise, and while the port is closed.
    std::array<char, 64> kernel_path{};
    // A published master whose slave is watched (inotify): the watch; held
    // once a client opened it and it could not be moved off the link. An
    // unwatched published master counts as held: it is served as the
    // client's own.
    int watch = -1;
    bool held = false;
    // The next master to publish: set up, granted and linked at the link's
    // temporary name, so that moving the link costs one rename.
    terminal spare{};
    std::array<terminal, terminals_max> clients{};
    // The errno of the last failed open of a master and of a watch, so that
    // a failure that lasts is logged once; 0 while they succeed.
    int failing = 0;
    int watch_failing = 0;
    // While another process holds its lock file, the port's open goes on
    // in the event loop: the next attempt is due at `attempt_at`.
    bool waiting = false;
    lock_wait wait{};
    std::int64_t attempt_at = 0; // monotonic ms
};

// How messages name a port: a published master by its link, which tells
// the channels apart where both masters are one multiplexer device.
[[nodiscard]] const char *port_name(const port &p);

// Locks and opens the device in raw mode unless it is open already.
// Returns the descriptor, or -1 (the failure is logged), or port_waiting
// while another process holds the lock file: call it again once
// monotonic_ms() reaches p.attempt_at (100 ms on). The wait ends, with
// "cannot lock", after one to two seconds, as dev_lock's does.
constexpr int port_waiting = -2;
int port_open(port &p);

// Closes the device and removes its lock file (and link); does nothing on a
// closed port.
void port_close(port &p);

// Closes a port while the daemon runs. A master published at a link is
// replaced instead: a fresh master is opened, set up and published by
// renaming its link over the old one before the old master is closed, so
// that the link never goes missing; its lock file stays held. Returns
// false, having changed nothing, when `unless_reopened` is set and a
// client has opened the old master's slave again since its hang-up: that
// client keeps its terminal. Without a fresh master it falls back to
// port_close, and the event loop opens one later.
[[nodiscard]] bool port_replace(port &p, bool unless_reopened);

// Whether modem bytes go to a port's published master: always, unless the
// master is watched and no client has opened it.
[[nodiscard]] bool port_published_held(const port &p);
// Whether a client still holds any terminal of the port.
[[nodiscard]] bool port_clients_held(const port &p);

// The inotify descriptor through which the slaves are watched, or -1.
[[nodiscard]] int port_watch_fd();
// Reads the waiting slave events into `buffer`; returns the byte count, or
// 0 when there are none. Handle them with port_watch_event in order.
[[nodiscard]] std::size_t port_watch_read(char *buffer, std::size_t size);
// One event of a watched slave: a client that opens the published slave
// moves the link to the spare, and a close marks a terminal let go. True
// when the last client of the port's terminals let go with this event:
// its channel's session is over. `reopened_later` tells that the same
// slave is opened again further on in this batch.
[[nodiscard]] bool port_watch_event(port &p, int watch, std::uint32_t mask, bool reopened_later);
// All events lost (queue overflow): every terminal is looked at afresh.
void port_watch_lost(port &p);
// Whether a terminal whose client closed it shows the hang-up within a few
// milliseconds: the close is reported as it begins.
[[nodiscard]] bool port_hangs_up(const terminal &t);
// A client's terminal after its read failed or a write to it failed: it is
// closed, unless `unless_reopened` and a client opened it again at once.
void port_release(const port &p, terminal &t, bool unless_reopened);

// UUCP (HDB) lock file of a device: true when this process now holds it.
// Tries every 100 ms for timeout to timeout + 1 whole seconds.
[[nodiscard]] bool dev_lock(const char *device, int timeout);
// Removes the device's lock file while it still names this process.
void dev_unlock(const char *device);

// The pieces of dev_lock, for callers that must test more than the lock
// file in each attempt of the same wait.
// Starts a wait; also clears the temporary files that processes which
// died while taking a lock left in the lock directory.
[[nodiscard]] lock_wait lock_wait_begin(int timeout);
// One attempt at the lock file: true when this process now holds it.
[[nodiscard]] bool dev_lock_attempt(const char *device);
// Pauses 100 ms after a failed attempt; false once the wait is over.
[[nodiscard]] bool lock_wait_next(lock_wait &wait);
// The same without the pause, for a caller that waited on its own.
[[nodiscard]] bool lock_wait_more(lock_wait &wait);

// The process ID at the start of a lock file's text: leading white space
// and a sign are accepted; no number, or one outside the range of int,
// gives 0. Reads up to the first character that is not part of the number.
[[nodiscard]] pid_t lock_owner(const char *text);

[[nodiscard]] bool pid_alive(pid_t pid);
// kill(pid, sig), but never for pid 0 or less: those fail with ESRCH.
int pid_kill(pid_t pid, int sig);
// Whole seconds of the monotonic clock, or -1 when it cannot be read.
std::int64_t monotonic_seconds();
// Milliseconds of the monotonic clock (0 when it cannot be read).
std::int64_t monotonic_ms();
