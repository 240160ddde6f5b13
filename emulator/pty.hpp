#pragma once

#include <string>
#include <string_view>

// One pseudo-terminal pair. The emulator keeps the slave open itself, so the
// master never sees a hang-up when the client closes its side.
struct pty_pair {
    int master = -1; // non-blocking
    int slave = -1;
    std::string slave_path; // /dev/pts/N
};

// New pair with the slave in raw mode. Returns false (logged) on failure,
// with nothing left open.
bool pty_create(pty_pair &p);
void pty_close(pty_pair &p);

// An existing serial device in the place of a pair: the emulator reads and
// writes `master`, opened non-blocking on path in raw mode; `slave` stays
// -1. Returns false, with nothing left open, when it cannot be opened;
// errors are logged only when `quiet` is false.
bool device_open(pty_pair &p, const char *path, bool quiet);

// Makes path a symlink to target, atomically replacing whatever is there.
bool link_replace(const std::string &target, const char *path);

// Removes path only while it is still our symlink to target.
void link_remove(const char *path, const std::string &target);

// Writes a file atomically: a temporary file beside it, then rename.
bool write_file_atomic(const char *path, std::string_view content);
