#pragma once

#include <cstdint>
#include <sys/types.h>

// One device of the bridge. While fd is 0 or more, this process holds the
// device's lock file; fd changes only in port_open and port_close.
struct port {
    int fd;
    const char *device; // fixed path, not owned
};

// Locks and opens the device in raw mode unless it is open already.
// Returns the descriptor, or -1 (the failure is logged).
int port_open(port &p);

// Closes the device and removes its lock file; does nothing on a closed port.
void port_close(port &p);

// UUCP (HDB) lock file of a device: true when this process now holds it.
// Tries every 100 ms for timeout to timeout + 1 whole seconds.
[[nodiscard]] bool dev_lock(const char *device, int timeout);
void dev_unlock(const char *device);

// The process ID at the start of a lock file's text: leading white space and
// a sign are accepted; no number, or one that no process can have, gives 0.
[[nodiscard]] pid_t lock_owner(const char *text);

[[nodiscard]] bool pid_alive(pid_t pid);
// kill(pid, sig), but never for pid 0 or less: those fail with ESRCH.
int pid_kill(pid_t pid, int sig);
// Whole seconds of the monotonic clock, or -1 when it cannot be read.
std::int64_t monotonic_seconds();
