#pragma once

// What the benchmark measures on a contender: throughput of paced,
// checked transfers; round trips of an AT exchange; system calls while idle.

#include "contenders.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// Windows of bytes in flight, tried from small to large until one loses
// data. A relay without a queue can lose once a window exceeds what the
// destination pseudo-terminal takes before its reader runs (8 KiB of
// flip buffers on Linux, plus what the line discipline has already taken).
constexpr std::array<std::size_t, 5> windows{4096, 8192, 12288, 16384, 32768};
constexpr std::array<std::size_t, 3> chunk_sizes{64, 1024, 4095};

struct stream {
    int from;
    int to;
    std::size_t sent = 0;
    std::size_t received = 0;
    bool intact = true;
};

struct transfer {
    double bytes = 0;
    double seconds = 0;
    bool lossless = false;
};

enum class pattern_kind { one_way, both_ways, both_channels };

std::vector<stream> streams_for(const contender &c, pattern_kind p);
// Sends chunks on every stream for `seconds`, never more than `window`
// bytes in flight per stream, then waits for the last byte. Lossless only
// when every byte arrived, in order and unchanged.
transfer move(std::vector<stream> &streams, std::size_t chunk, std::size_t window, double seconds);

// AT CR from the client; the modem answers CR LF OK CR LF as soon as it has
// the whole command. Returns the round trips in microseconds.
std::vector<double> exchanges(const channel_ends &e, int count);

double percentile(std::vector<double> v, double q);
// Of the values that are not -1 (not measured); -1 when none is.
double median(std::vector<double> v);

// System calls the processes make while idle: counted by the kernel's
// tracepoint (perf), which leaves the processes alone; strace is the
// fallback, and its attach itself restarts a waiting call. The tool, or
// "" when neither is installed.
std::string idle_tool();
// The command that writes the count to `file`, or "".
std::string idle_count_command(const std::vector<pid_t> &pids, int seconds,
                               const std::string &file);
// The count that command wrote, or -1.
long idle_count(const std::string &file, const std::string &tool);

// Runs a shell command and returns its standard output.
std::string run_output(const std::string &command);
bool have_program(const char *name);

} // namespace bench
