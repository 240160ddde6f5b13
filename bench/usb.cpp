// ptybridge-usb-bench: a relay between a client's terminal and a USB modem
// channel, measured from both ends at once. The program is the client (it
// opens CLIENT, the relay's link) and the modem (it opens MODEM, the modem's
// side of the channel: /dev/ttyGS1 on the boards), both raw and
// non-blocking, in one poll() loop.
//
//   ptybridge-usb-bench call CLIENT MODEM [--seconds S] [--pid PID]
//       a call: a 320-byte frame every 20 ms each way at once, each frame's
//       latency from its send to the arrival of its last byte
//   ptybridge-usb-bench bulk CLIENT MODEM [--seconds S] [--window BYTES] [--pid PID]
//       client to modem, then modem to client, each as fast as a window of
//       bytes in flight allows
//
// Every byte is checked: a frame carries its sequence number, its send time
// (CLOCK_MONOTONIC: both ends are this process) and a pattern of its
// sequence number, so lost, cut and corrupted frames show. A relay that
// drops what it cannot write at once loses frames; they are counted, not
// retried. Prints one line of key=value figures; with --pid, the relay's CPU
// ticks (utime + stime) over the measurement. Exits 1 when a device cannot
// be opened or the relay carries nothing, 2 on bad usage.

#include "measure.hpp"
#include "proc.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using ns_t = std::int64_t;
constexpr ns_t ns_per_s = 1'000'000'000;

ns_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ns_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

ns_t ns_of(double seconds) {
    return static_cast<ns_t>(seconds * static_cast<double>(ns_per_s));
}

// A frame: the magic, the sequence number, the send time, a check of both,
// then a pattern of the sequence number. The magic is where a receiver
// looks for the next frame after a cut one.
constexpr std::array<unsigned char, 4> magic{0xa5, 'P', 'B', 0x5a};
constexpr std::size_t header_size = 20;

unsigned char pattern_byte(std::uint32_t seq, std::size_t i) {
    return static_cast<unsigned char>(static_cast<std::size_t>(seq) * 131U + i * 7U + (i >> 8U));
}

std::uint32_t check_of(std::uint32_t seq, std::uint64_t ns) {
    return (seq * 2654435761U) ^ static_cast<std::uint32_t>(ns) ^
           static_cast<std::uint32_t>(ns >> 32U);
}

void put_frame(unsigned char *out, std::size_t size, std::uint32_t seq, ns_t sent) {
    const auto ns = static_cast<std::uint64_t>(sent);
    const std::uint32_t check = check_of(seq, ns);
    std::memcpy(out, magic.data(), magic.size());
    std::memcpy(out + 4, &seq, sizeof seq);
    std::memcpy(out + 8, &ns, sizeof ns);
    std::memcpy(out + 16, &check, sizeof check);
    for (std::size_t i = header_size; i < size; ++i) {
        out[i] = pattern_byte(seq, i);
    }
}

// True when the frame at `in` is whole and unchanged.
bool read_frame(const unsigned char *in, std::size_t size, std::uint32_t &seq, ns_t &sent) {
    std::uint64_t ns = 0;
    std::uint32_t check = 0;
    std::memcpy(&seq, in + 4, sizeof seq);
    std::memcpy(&ns, in + 8, sizeof ns);
    std::memcpy(&check, in + 16, sizeof check);
    if (check != check_of(seq, ns)) {
        return false;
    }
    for (std::size_t i = header_size; i < size; ++i) {
        if (in[i] != pattern_byte(seq, i)) {
            return false;
        }
    }
    sent = static_cast<ns_t>(ns);
    return true;
}

// One direction's writing end.
struct sender {
    int fd = -1;
    std::uint32_t next_seq = 0; // frames made
    std::vector<unsigned char> pending;
    std::size_t pending_at = 0; // what of pending is written
    std::uint64_t written = 0;
};

bool has_pending(const sender &s) {
    return s.pending_at < s.pending.size();
}

void add_frames(sender &s, std::size_t frame, std::size_t count, ns_t now) {
    if (!has_pending(s)) {
        s.pending.clear();
        s.pending_at = 0;
    }
    const std::size_t at = s.pending.size();
    s.pending.resize(at + frame * count);
    for (std::size_t k = 0; k < count; ++k) {
        put_frame(&s.pending[at + k * frame], frame, s.next_seq++, now);
    }
}

// Writes what the terminal takes now; false on a hang-up or an error.
bool flush(sender &s) {
    while (has_pending(s)) {
        const ssize_t n =
            write(s.fd, s.pending.data() + s.pending_at, s.pending.size() - s.pending_at);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        s.pending_at += static_cast<std::size_t>(n);
        s.written += static_cast<std::uint64_t>(n);
    }
    return true;
}

// One direction's reading end.
struct receiver {
    std::vector<unsigned char> buffer; // arrived, not yet a whole frame
    std::uint64_t intact = 0;          // frames
    std::uint64_t garbage = 0;         // bytes in no intact frame
    std::uint64_t settled = 0;         // bytes of the frames up to the last intact one
    std::uint64_t after = 0;           // garbage since that frame
    std::uint32_t next_seq = 0;
    ns_t last_byte = 0;
    ns_t last_intact = 0;
    std::vector<double> latency_ms;
};

// Bytes written that the receiver has neither seen nor given up on.
std::uint64_t in_flight(const sender &s, const receiver &r) {
    const std::uint64_t seen = r.settled + r.after + r.buffer.size();
    return s.written > seen ? s.written - seen : 0;
}

void take(receiver &r, std::size_t frame, const unsigned char *bytes, std::size_t n, ns_t now) {
    r.buffer.insert(r.buffer.end(), bytes, bytes + n);
    r.last_byte = now;
    std::size_t at = 0;
    while (r.buffer.size() - at >= magic.size()) {
        const unsigned char *p = r.buffer.data() + at;
        const std::size_t left = r.buffer.size() - at;
        if (std::equal(magic.begin(), magic.end(), p)) {
            if (left < frame) {
                break;
            }
            std::uint32_t seq = 0;
            ns_t sent = 0;
            if (read_frame(p, frame, seq, sent)) {
                at += frame;
                if (seq < r.next_seq) {
                    r.garbage += frame; // a byte stream cannot repeat a frame
                    continue;
                }
                r.next_seq = seq + 1;
                r.settled = static_cast<std::uint64_t>(r.next_seq) * frame;
                r.after = 0;
                ++r.intact;
                r.last_intact = now;
                r.latency_ms.push_back(static_cast<double>(now - sent) / 1e6);
                continue;
            }
        }
        // Not an intact frame here: on to the next magic.
        const unsigned char *next = std::search(p + 1, p + left, magic.begin(), magic.end());
        const auto skip = static_cast<std::size_t>(next - p);
        const std::size_t kept = next == p + left ? magic.size() - 1 : 0;
        r.garbage += skip - kept;
        r.after += skip - kept;
        at += skip - kept;
        if (kept != 0) {
            break;
        }
    }
    r.buffer.erase(r.buffer.begin(), r.buffer.begin() + static_cast<std::ptrdiff_t>(at));
}

struct direction {
    sender s;
    receiver r;
    bool on = false; // sending in this run
    std::uint64_t stalls = 0;
};

struct plan {
    std::size_t frame = 320;
    ns_t period = 0;        // call: a frame each way per period
    std::size_t window = 0; // bulk: at most this many bytes in flight
    std::size_t batch = 0;  // bulk: bytes per write
    double seconds = 30;    // of sending
    double stall = 1;       // seconds without a byte that lose what is in flight
};

// Bulk: frames while the window has room and the terminal takes them.
bool feed(direction &x, const plan &p, ns_t now) {
    for (;;) {
        if (!flush(x.s)) {
            return false;
        }
        if (has_pending(x.s)) {
            return true;
        }
        const std::uint64_t busy = in_flight(x.s, x.r);
        const std::size_t room = busy < p.window ? p.window - static_cast<std::size_t>(busy) : 0;
        const std::size_t count = std::min(room, p.batch) / p.frame;
        if (count == 0) {
            return true;
        }
        add_frames(x.s, p.frame, count, now);
    }
}

// d[0] goes from fds[0] (the client) to fds[1] (the modem), d[1] back.
// Sends for p.seconds on the directions that are on, then waits for their
// last bytes. False when a terminal hung up.
bool run(std::array<direction, 2> &d, const std::array<int, 2> &fds, const plan &p) {
    const ns_t start = now_ns();
    const ns_t stop_sending = start + ns_of(p.seconds);
    const ns_t give_up = stop_sending + ns_of(10);
    // A call is a number of frames: one made late is still made.
    const auto call_frames = p.period != 0 ? ns_of(p.seconds) / p.period : 0;
    ns_t made = 0;
    ns_t due = start;
    std::vector<unsigned char> buffer(bench::read_size);
    for (;;) {
        const ns_t now = now_ns();
        std::size_t frames_due = 0;
        for (; made < call_frames && now >= due; due += p.period) {
            ++frames_due;
            ++made;
        }
        const bool sending = p.period != 0 ? made < call_frames : now < stop_sending;
        bool busy = false;
        for (direction &x : d) {
            if (!x.on) {
                continue;
            }
            if (in_flight(x.s, x.r) > 0 && now - std::max(x.r.last_byte, start) > ns_of(p.stall)) {
                // Lost on the way: what the relay dropped never comes.
                x.r.settled = x.s.written - x.r.after - x.r.buffer.size();
                ++x.stalls;
            }
            if (p.period != 0) {
                add_frames(x.s, p.frame, frames_due, now);
                if (!flush(x.s)) {
                    return false;
                }
            } else if (sending ? !feed(x, p, now) : !flush(x.s)) {
                return false;
            }
            busy = busy || has_pending(x.s) || in_flight(x.s, x.r) > 0;
        }
        if ((!sending && !busy) || now > give_up) {
            return true;
        }
        std::array<pollfd, 2> pfd{};
        for (std::size_t i = 0; i < 2; ++i) {
            pfd[i] = {fds[i], static_cast<short>(POLLIN | (has_pending(d[i].s) ? POLLOUT : 0)), 0};
        }
        ns_t wait = ns_of(0.01);
        if (p.period != 0 && sending) {
            wait = std::clamp<ns_t>(due - now, 0, wait);
        }
        const timespec ts{0, static_cast<long>(wait)};
        if (ppoll(pfd.data(), pfd.size(), &ts, nullptr) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < 2; ++i) {
            if ((pfd[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            for (;;) {
                const ssize_t n = read(fds[i], buffer.data(), buffer.size());
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    break;
                }
                if (n <= 0) {
                    return false;
                }
                take(d[1 - i].r, p.frame, buffer.data(), static_cast<std::size_t>(n), now_ns());
            }
        }
    }
}

// A relay's link may be missing for a moment while it publishes a new
// terminal: looked for every 50 ms, for at most 5 s.
int open_raw(const char *path) {
    const ns_t deadline = now_ns() + ns_of(5);
    for (;;) {
        const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            if (bench::set_raw(fd) && tcflush(fd, TCIOFLUSH) == 0) {
                return fd;
            }
            close(fd);
            return -1;
        }
        if (errno != ENOENT || now_ns() > deadline) {
            return -1;
        }
        const timespec pause{0, 50'000'000};
        nanosleep(&pause, nullptr);
    }
}

// Reads both ends until neither had a byte for `quiet` seconds (at most
// `limit`): what an earlier run or a probe left on the way. False on a
// hang-up.
bool drain(const std::array<int, 2> &fds, double quiet, double limit) {
    const ns_t deadline = now_ns() + ns_of(limit);
    ns_t last = now_ns();
    std::array<unsigned char, 4096> buffer{};
    while (now_ns() - last < ns_of(quiet) && now_ns() < deadline) {
        std::array<pollfd, 2> pfd{{{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}}};
        if (poll(pfd.data(), pfd.size(), 20) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < 2; ++i) {
            if (pfd[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i], buffer.data(), buffer.size());
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return false;
            }
            last = now_ns();
        }
    }
    return true;
}

// Bytes from `from` reach `to`: sent again every 0.2 s, for at most
// `limit` seconds. A relay may open the modem only once a client writes.
bool carries(int from, int to, double limit) {
    const ns_t deadline = now_ns() + ns_of(limit);
    ns_t next = 0;
    std::array<unsigned char, 64> buffer{};
    while (now_ns() < deadline) {
        if (now_ns() >= next) {
            if (write(from, "probe\r\n", 7) < 0 && errno != EAGAIN) {
                return false;
            }
            next = now_ns() + ns_of(0.2);
        }
        pollfd pfd{to, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0 && read(to, buffer.data(), buffer.size()) > 0) {
            return true;
        }
    }
    return false;
}

// The client end opened and both directions carrying bytes, with nothing
// left on the way; -1 when not.
int connect_client(const char *path, int modem, const char *&why) {
    const int client = open_raw(path);
    if (client < 0) {
        why = "cannot_open_client";
        return -1;
    }
    const std::array<int, 2> fds{client, modem};
    if (!drain(fds, 0.3, 5) || !carries(client, modem, 10) || !carries(modem, client, 10) ||
        !drain(fds, 0.3, 5)) {
        why = "relay_carries_nothing";
        close(client);
        return -1;
    }
    return client;
}

// utime + stime of a process in clock ticks, or -1.
long cpu_ticks(pid_t pid) {
    const auto ticks = bench::cpu_ticks(pid);
    return ticks[0] < 0 || ticks[1] < 0 ? -1 : ticks[0] + ticks[1];
}

void print_latency(const char *name, const direction &x, std::size_t frame) {
    const std::uint64_t sent = x.s.next_seq;
    const std::uint64_t intact_bytes = x.r.intact * frame;
    std::printf(
        " %s_frames=%llu %s_lost=%llu %s_bytes_lost=%llu %s_garbage=%llu %s_p50_ms=%.3f "
        "%s_p99_ms=%.3f %s_max_ms=%.3f",
        name, static_cast<unsigned long long>(sent), name,
        static_cast<unsigned long long>(sent - std::min(sent, x.r.intact)), name,
        static_cast<unsigned long long>(sent * frame - std::min(sent * frame, intact_bytes)), name,
        static_cast<unsigned long long>(x.r.garbage), name, bench::percentile(x.r.latency_ms, 0.5),
        name, bench::percentile(x.r.latency_ms, 0.99), name,
        bench::percentile(x.r.latency_ms, 1.0));
}

void print_bulk(const char *name, const direction &x, std::size_t frame, ns_t start) {
    const std::uint64_t sent = x.s.written;
    const std::uint64_t intact_bytes = x.r.intact * frame;
    const double seconds = static_cast<double>(x.r.last_intact - start) / 1e9;
    std::printf(
        " %s_mb_s=%.3f %s_bytes=%llu %s_bytes_lost=%llu %s_garbage=%llu %s_stalls=%llu", name,
        x.r.intact > 0 && seconds > 0 ? static_cast<double>(intact_bytes) / seconds / 1e6 : 0.0,
        name, static_cast<unsigned long long>(sent), name,
        static_cast<unsigned long long>(sent - std::min(sent, intact_bytes)), name,
        static_cast<unsigned long long>(x.r.garbage), name,
        static_cast<unsigned long long>(x.stalls));
}

struct options {
    std::string mode;
    const char *client = nullptr;
    const char *modem = nullptr;
    double seconds = -1;
    std::size_t window = 16384;
    pid_t pid = 0;
};

bool parse(int argc, char **argv, options &o) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            o.seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--window" && i + 1 < argc) {
            o.window = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--pid" && i + 1 < argc) {
            o.pid = static_cast<pid_t>(std::strtol(argv[++i], nullptr, 10));
        } else if (positional == 0) {
            o.mode = arg;
            ++positional;
        } else if (positional == 1) {
            o.client = argv[i];
            ++positional;
        } else if (positional == 2) {
            o.modem = argv[i];
            ++positional;
        } else {
            return false;
        }
    }
    return positional == 3 && (o.mode == "call" || o.mode == "bulk") && o.window >= 1024;
}

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        (void)std::fputs(
            "usage: ptybridge-usb-bench call CLIENT MODEM [--seconds S] [--pid PID]\n"
            "       ptybridge-usb-bench bulk CLIENT MODEM [--seconds S] [--window BYTES] "
            "[--pid PID]\n",
            stderr);
        return 2;
    }
    const bool call = o.mode == "call";
    plan p;
    p.seconds = o.seconds > 0 ? o.seconds : call ? 30 : 3;
    if (call) {
        p.frame = 320; // 20 ms of 8 kHz 16-bit audio
        p.period = ns_of(0.02);
    } else {
        p.frame = 1024;
        p.window = o.window;
        p.batch = 4096;
    }
    std::printf("mode=%s seconds=%g frame=%zu", o.mode.c_str(), p.seconds, p.frame);
    if (call) {
        std::printf(" period_ms=20");
    } else {
        std::printf(" window=%zu write=%zu", p.window, p.batch);
    }
    const int modem = open_raw(o.modem);
    const char *why = nullptr;
    int client = modem < 0 ? -1 : connect_client(o.client, modem, why);
    if (client < 0) {
        std::printf(" error=%s\n", modem < 0 ? "cannot_open_modem" : why);
        return 1;
    }
    const long ticks0 = cpu_ticks(o.pid);
    int hangups = 0;
    if (call) {
        std::array<direction, 2> d{};
        d[0].s.fd = client;
        d[1].s.fd = modem;
        d[0].on = d[1].on = true;
        hangups += run(d, {client, modem}, p) ? 0 : 1;
        print_latency("c2m", d[0], p.frame);
        print_latency("m2c", d[1], p.frame);
    } else {
        for (std::size_t k = 0; k < 2; ++k) {
            std::array<direction, 2> d{};
            d[0].s.fd = client;
            d[1].s.fd = modem;
            d[k].on = true;
            const ns_t start = now_ns();
            if (client < 0) {
                // Not measured: the relay published no terminal again.
            } else if (!run(d, {client, modem}, p) || !drain({client, modem}, 0.3, 5)) {
                // A relay that hangs up its terminal publishes a new one.
                ++hangups;
                close(client);
                client = connect_client(o.client, modem, why);
            }
            print_bulk(k == 0 ? "c2m" : "m2c", d[k], p.frame, start);
        }
    }
    const long ticks1 = cpu_ticks(o.pid);
    std::printf(" hangups=%d relay_ticks=%ld clk_tck=%ld%s%s\n", hangups,
                ticks0 >= 0 && ticks1 >= 0 ? ticks1 - ticks0 : -1, sysconf(_SC_CLK_TCK),
                client < 0 ? " error=" : "", client < 0 ? why : "");
    if (client >= 0) {
        close(client);
    }
    close(modem);
    return 0;
}
