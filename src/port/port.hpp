#pragma once

#include <array>
#include <cstdint>
#include <sys/types.h>

enum class port_kind : std::uint8_t {
    modem,  // a serial device other programs may open too
    master, // a pseudo-terminal master, opened only by this daemon
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
};

// How messages name a port: a published master by its link, which tells
// the channels apart where both masters are one multiplexer device.
[[nodiscard]] const char *port_name(const port &p);

// Locks and opens the device in raw mode unless it is open already.
// Returns the descriptor, or -1 (the failure is logged).
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

// UUCP (HDB) lock file of a device: true when this process now holds it.
// Tries every 100 ms for timeout to timeout + 1 whole seconds.
[[nodiscard]] bool dev_lock(const char *device, int timeout);
// Removes the device's lock file while it still names this process.
void dev_unlock(const char *device);

// The pieces of dev_lock, for callers that must test more than the lock
// file in each attempt of the same wait.
struct lock_wait {
    std::int64_t start;    // monotonic seconds, or -1 without a clock
    std::int64_t deadline; // start + timeout
    int attempts_left;     // bounds the wait when the clock fails
};
// Starts a wait; also clears the temporary files that processes which
// died while taking a lock left in the lock directory.
[[nodiscard]] lock_wait lock_wait_begin(int timeout);
// One attempt at the lock file: true when this process now holds it.
[[nodiscard]] bool dev_lock_attempt(const char *device);
// Pauses 100 ms after a failed attempt; false once the wait is over.
[[nodiscard]] bool lock_wait_next(lock_wait &wait);

// The process ID at the start of a lock file's text: leading white space
// and a sign are accepted; no number, or one outside the range of int,
// gives 0. Reads up to the first character that is not part of the number.
[[nodiscard]] pid_t lock_owner(const char *text);

[[nodiscard]] bool pid_alive(pid_t pid);
// kill(pid, sig), but never for pid 0 or less: those fail with ESRCH.
int pid_kill(pid_t pid, int sig);
// Whole seconds of the monotonic clock, or -1 when it cannot be read.
std::int64_t monotonic_seconds();
