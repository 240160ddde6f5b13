#pragma once

// What both benchmarks read of a relay's process, and the terminal mode
// both ends use.

#include <array>
#include <sys/types.h>

namespace bench {

// User and system time of a process in clock ticks; {-1, -1} when it is
// gone.
std::array<long, 2> cpu_ticks(pid_t pid);
// The number of a "Key: number" line of /proc/PID/FILE, or -1.
long proc_value(pid_t pid, const char *file, const char *key);
// Raw mode: no echo, no line editing, no translation, every byte as it
// comes, and no modem lines to wait for.
bool set_raw(int fd);

} // namespace bench
