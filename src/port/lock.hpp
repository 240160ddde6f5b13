#pragma once

// The pieces of the lock files that depend on nothing but their arguments,
// apart from the lock directory itself.

#include <array>
#include <sys/types.h>

// The directory of the UUCP lock files, fixed when the daemon is built: it
// is defined beside main, where the build's paths are.
extern const char lock_directory[];

// Lock paths are built in a 64-byte buffer; a longer one is cut short.
using lock_path = std::array<char, 64>;

// "<directory>/LCK..<base name of the device>".
[[nodiscard]] lock_path make_lock_path(const char *directory, const char *device);

// The process that a temporary file's name belongs to, or 0 for any other
// name: "LTMP." and the decimal digits of a process ID, nothing else.
[[nodiscard]] pid_t temporary_owner(const char *name);
