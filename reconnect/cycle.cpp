#include "cycle.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// In the order count() tallies them.
enum class outcome { ok, missing, ended, busy, other };

outcome of_errno(int error) {
    switch (error) {
    case ENOENT:
        return outcome::missing;
    case EBUSY:
        return outcome::busy;
    case EIO:
        return outcome::ended;
    default:
        return outcome::other;
    }
}

// Never O_CREAT: a link missing for a moment must not become a plain file.
outcome open_raw(const char *link, int &fd) {
    fd = open(link, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return of_errno(errno);
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0 || (cfmakeraw(&t), tcsetattr(fd, TCSANOW, &t) != 0)) {
        close(fd);
        fd = -1;
        return outcome::ended;
    }
    return outcome::ok;
}

outcome send(int fd, std::string_view text) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n == static_cast<ssize_t>(text.size())) {
        return outcome::ok;
    }
    return n < 0 ? of_errno(errno) : outcome::other;
}

// Reads until `wanted` is among the bytes read (empty: any byte) or the
// limit passes; `heard` tells whether any byte came.
outcome await(int fd, std::string_view wanted, std::chrono::milliseconds limit, bool &heard) {
    char seen[256];
    size_t used = 0;
    heard = false;
    const auto end = clock_type::now() + limit;
    for (auto now = clock_type::now(); now < end; now = clock_type::now()) {
        pollfd p{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) {
            continue;
        }
        if (used == sizeof seen) {
            used = 0; // only the tail matters
        }
        ssize_t n = read(fd, seen + used, sizeof seen - used);
        if (n == 0 || (n < 0 && errno == EIO)) {
            return outcome::ended;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return outcome::other;
        }
        heard = true;
        used += static_cast<size_t>(n);
        if (wanted.empty() || std::string_view(seen, used).find(wanted) != std::string_view::npos) {
            return outcome::ok;
        }
    }
    return wanted.empty() ? outcome::ok : outcome::other;
}

outcome exchange(const char *link, std::chrono::milliseconds limit) {
    int fd = -1;
    outcome o = open_raw(link, fd);
    if (o != outcome::ok) {
        return o;
    }
    o = send(fd, "AT\r");
    if (o == outcome::ok) {
        bool heard = false;
        o = await(fd, "OK\r\n", limit, heard);
    }
    close(fd);
    return o;
}

// A speed no fresh terminal has: the mark an exclusive client leaves.
constexpr speed_t left_speed = B1200;

// The first client's part of the measuring modes. An exclusive client owns
// its terminal for a session, as a real one does: it talks to the modem.
outcome leave(const char *link, cycle_mode mode, std::chrono::milliseconds limit) {
    int fd = -1;
    outcome o = open_raw(link, fd);
    if (o != outcome::ok) {
        return o;
    }
    if (mode == cycle_mode::exclusive) {
        termios t{};
        o = tcgetattr(fd, &t) == 0 && cfsetspeed(&t, left_speed) == 0 &&
                    tcsetattr(fd, TCSANOW, &t) == 0 && ioctl(fd, TIOCEXCL) == 0
                ? send(fd, "AT\r")
                : of_errno(errno);
        bool heard = false;
        o = o == outcome::ok ? await(fd, "OK\r\n", limit, heard) : o;
    } else {
        o = send(fd, "ATI\r");
    }
    close(fd);
    return o;
}

// Opens without raw mode: what the terminal holds is looked at as found.
outcome follow(const char *link, cycle_mode mode, std::chrono::milliseconds limit,
               cycle_counts &counts) {
    if (mode == cycle_mode::exclusive) {
        const int fd = open(link, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return of_errno(errno);
        }
        int exclusive = 0;
        termios t{};
        // Root opens an exclusive terminal all the same: the flag tells.
        const bool busy = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
        counts.inherited += tcgetattr(fd, &t) == 0 && cfgetospeed(&t) == left_speed ? 1 : 0;
        // Then it talks, as a client opens a terminal to do.
        outcome o = send(fd, "AT\r");
        bool heard = false;
        o = o == outcome::ok ? await(fd, "OK\r\n", limit, heard) : o;
        close(fd);
        return busy ? outcome::busy : o;
    }
    int fd = -1;
    outcome o = open_raw(link, fd);
    if (o != outcome::ok) {
        return o;
    }
    bool heard = false;
    o = await(fd, "", limit, heard);
    counts.inherited += heard ? 1 : 0;
    close(fd);
    return o;
}

void count(cycle_counts &counts, outcome o) {
    const std::array<int *, 5> tally{&counts.answered, &counts.missing, &counts.ended, &counts.busy,
                                     &counts.other};
    ++*tally[static_cast<std::size_t>(o)];
}

// After a failed cycle: until the link resolves again, at most 5 s.
double wait_for_link(const char *link) {
    const auto start = clock_type::now();
    const auto end = start + std::chrono::seconds(5);
    while (access(link, F_OK) != 0 && clock_type::now() < end) {
        usleep(1000);
    }
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

} // namespace

cycle_counts run_cycles(const char *link, int cycles, int delay_us, cycle_mode mode,
                        std::chrono::milliseconds answer_limit) {
    cycle_counts counts;
    for (; counts.cycles < cycles; ++counts.cycles) {
        outcome o = mode == cycle_mode::exchange ? exchange(link, answer_limit)
                                                 : leave(link, mode, answer_limit);
        if (o == outcome::ok && mode != cycle_mode::exchange) {
            o = follow(link, mode, answer_limit, counts);
        }
        count(counts, o);
        if (o != outcome::ok) {
            double waited = wait_for_link(link);
            if (waited > counts.longest_wait_ms) {
                counts.longest_wait_ms = waited;
            }
        }
        if (delay_us > 0) {
            usleep(static_cast<useconds_t>(delay_us));
        }
    }
    return counts;
}

void print_counts(const cycle_counts &c, FILE *out) {
    (void)std::fprintf(out,
                       "reopen: cycles=%d answered=%d missing=%d ended=%d busy=%d other=%d "
                       "inherited=%d longest_wait_ms=%.1f\n",
                       c.cycles, c.answered, c.missing, c.ended, c.busy, c.other, c.inherited,
                       c.longest_wait_ms);
}
