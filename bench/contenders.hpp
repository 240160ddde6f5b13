#pragma once

// The three contenders of the benchmark, each carrying a ctrl and an audio
// channel between a client end and a modem end that the benchmark holds:
//
//   ptybridge  the sandbox daemon (the shipped sources, devices in a scratch dir)
//   socat      one socat per channel, PTY <-> modem device, blocks of 4095
//   no relay   the client writes straight into the modem pseudo-terminal

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

using steady = std::chrono::steady_clock;

inline double seconds_since(steady::time_point t0) {
    return std::chrono::duration<double>(steady::now() - t0).count();
}

// The most a read takes at once.
constexpr std::size_t read_size = 65536;

// Says what failed, with errno, and exits.
[[noreturn]] void fatal(const char *what);

// A modem pseudo-terminal: the benchmark holds the master; the slave path
// is the modem device the relay opens.
struct modem_pty {
    int master = -1;
    int slave = -1; // kept open: the pair outlives a relay's close
    std::string path;
};

struct channel_ends {
    int client = -1; // what the client writes to and reads from
    int modem = -1;  // the modem's end (a master the benchmark holds)
};

enum class kind { daemon, socat, direct };

struct contender {
    kind k;
    const char *name;
    std::vector<pid_t> relays; // the relay's processes
    std::array<modem_pty, 2> modems;
    std::array<channel_ends, 2> ends; // [0] ctrl, [1] audio
    bool usable = false;
};

// Opens the modem terminals and starts the relay; `usable` says whether
// both channels carry a probe byte.
void setup(contender &c, const std::string &scratch);
// Finds the client ends of the daemon again (after a lossy window).
bool attach_daemon(contender &c);
// Empties whatever waits on both ends of both channels.
void drain(const contender &c);
// User plus system time of the relay's processes, in seconds.
double relay_cpu(const contender &c);

// What the kernel counts for a relay's processes, summed: read and write
// calls and their bytes (/proc/PID/io), waits (voluntary context switches:
// a sleep in select or in a read) and preemptions (/proc/PID/status), and
// user and system time in seconds.
struct relay_counts {
    double reads = 0;
    double writes = 0;
    double bytes_read = 0;
    double bytes_written = 0;
    double waits = 0;
    double preempted = 0;
    double user_s = 0;
    double system_s = 0;
    void add(const relay_counts &o, double sign) {
        reads += sign * o.reads;
        writes += sign * o.writes;
        bytes_read += sign * o.bytes_read;
        bytes_written += sign * o.bytes_written;
        waits += sign * o.waits;
        preempted += sign * o.preempted;
        user_s += sign * o.user_s;
        system_s += sign * o.system_s;
    }
};
relay_counts relay_counters(const contender &c);
// Peak resident memory of the relay's largest process, or -1.
double peak_rss_kib(const contender &c);
// Stops the relays with SIGTERM, the daemon as on a board; true when the
// daemon exited 0.
bool stop(const std::array<contender, 3> &all);

} // namespace bench
