#include "relay/relay.hpp"

#include "common/debug.hpp"
#include "common/log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr std::size_t buffer_size = 4096;
constexpr std::size_t read_size = buffer_size - 1; // room for the debug text's zero byte
constexpr ssize_t audio_shown_below = 32;
// A destination that takes nothing of a held chunk for this long has
// stopped reading.
constexpr std::int64_t stall_ms = 1000;

// The descriptors a chunk goes to: a modem port's own; or each client's
// terminal of a pseudo-terminal, then its published master.
constexpr std::size_t targets_max = terminals_max + 1;

// The chunk of one direction that its destination has not taken whole.
struct held_chunk {
    const port *destination = nullptr; // the port it was read for
    std::array<char, buffer_size> bytes{};
    ssize_t n = 0;                            // 0: nothing held
    std::array<ssize_t, targets_max> taken{}; // what each descriptor has taken
    std::int64_t give_up_at = 0;              // the last progress plus stall_ms, or 0
    bool stalled = false;                     // the destination stopped reading
};
std::array<held_chunk, 4> held{};

// The direction's chunk, made over to `destination` if it was another's.
held_chunk &held_of(const relay_direction &direction, const port &destination) {
    held_chunk &h = held[direction.held];
    if (h.destination != &destination) {
        h.destination = &destination;
        h.n = 0;
        h.stalled = false;
    }
    return h;
}

// Whether a client still has a terminal of the port's channel: its modem
// port then stays open.
bool in_use(const port &p) {
    return port_clients_held(p) || p.held;
}

// Whether any client is served on the port's side: on a terminal of its
// own, or on the published master.
bool served(const port &p) {
    return in_use(p) || port_published_held(p);
}

// A read that hung up lets a client that has just reopened the source's
// terminal keep it, and then nothing else closes either. A modem port that
// did not fail itself stays open while a client holds another terminal of
// its channel.
void close_ports(const std::array<side, 2> &order, port &source, port &destination, side failed,
                 bool hung_up) {
    for (const side s : order) {
        if (s == side::none) {
            continue;
        }
        const bool is_source = s == side::source;
        port &closing = is_source ? source : destination;
        if (s != failed && closing.kind == port_kind::modem &&
            port_clients_held(is_source ? destination : source)) {
            continue;
        }
        if (!port_replace(closing, hung_up && is_source)) {
            return;
        }
    }
}

// The descriptor of target `i` while it is to get modem bytes, or -1. A
// terminal no client holds gets nothing.
int target_fd(const port &destination, std::size_t i) {
    if (destination.kind != port_kind::master) {
        return i == 0 ? destination.fd : -1;
    }
    if (i < terminals_max) {
        const terminal &t = destination.clients[i];
        return t.fd >= 0 && t.held ? t.fd : -1;
    }
    return port_published_held(destination) ? destination.fd : -1;
}

// A write to target `i` failed: a client's terminal is closed, and with
// the channel's last one the modem port; any other closes the ports the
// direction names.
void target_failed(const relay_direction &direction, port &source, port &destination,
                   std::size_t i) {
    if (destination.kind == port_kind::master && i < terminals_max) {
        port_release(destination, destination.clients[i], false);
        if (!served(destination)) {
            port_close(source);
        }
    } else {
        close_ports(direction.close_on_write_failure, source, destination, side::destination,
                    false);
    }
}

// Gives every target what it has not yet taken of the chunk, once each; a
// full one (EAGAIN) takes nothing and keeps the chunk held. Then the chunk
// is done, still held, or, once the destination has stopped reading, its
// rest lost and logged.
void deliver(const relay_direction &direction, port &source, port &destination, held_chunk &h) {
    bool progressed = false;
    for (std::size_t i = 0; i < targets_max; ++i) {
        const int fd = target_fd(destination, i);
        if (h.taken[i] >= h.n || fd < 0 || source.fd < 0) {
            h.taken[i] = h.n; // gone: owed nothing
            continue;
        }
        const ssize_t w = write(fd, &h.bytes[static_cast<std::size_t>(h.taken[i])],
                                static_cast<std::size_t>(h.n - h.taken[i]));
        if (w >= 0) {
            h.taken[i] += w;
            progressed |= w > 0;
            fsync(fd); // a terminal may refuse it; nothing to do then
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            log_failure(LOG_ERR, errno, "%s write error", port_name(destination));
            h.taken[i] = h.n;
            target_failed(direction, source, destination, i);
        }
    }
    if (std::ranges::all_of(h.taken, [&h](ssize_t t) { return t >= h.n; })) {
        h.stalled = false;
        h.n = 0;
        return;
    }
    // The clock only once a chunk is held: a chunk taken whole costs none.
    const std::int64_t now = monotonic_ms();
    if (progressed || h.give_up_at == 0) {
        h.give_up_at = now + stall_ms;
    }
    if (!h.stalled && now < h.give_up_at) {
        return;
    }
    for (const ssize_t t : h.taken) {
        if (t < h.n) {
            log_message(LOG_ERR, "%s data lost, cannot %s %s (%i of %i)", port_name(source),
                        "write", port_name(destination), static_cast<int>(t),
                        static_cast<int>(h.n));
        }
    }
    h.stalled = true;
    h.n = 0;
}

// A chunk in `h` goes to its destination, which is open or opened now, or
// waits for the destination's lock file, or is lost as logged.
void pass(const relay_direction &direction, port &source, port &destination, held_chunk &h) {
    const int fd = direction.open_destination ? port_open(destination) : destination.fd;
    if (fd == port_waiting) {
        return;
    }
    if (fd < 0) {
        log_message(LOG_ERR, "%s data lost, cannot %s %s", port_name(source), "open",
                    port_name(destination));
        h.n = 0;
        return;
    }
    h.give_up_at = 0; // starts with the first write that leaves some behind
    deliver(direction, source, destination, h);
}

// The size of the chunk that was read (and relayed, held, or lost as
// logged), or 0.
ssize_t relay_from(const relay_direction &direction, port &source, terminal *client,
                   port &destination) {
    held_chunk &h = held_of(direction, destination);
    if (h.n > 0) {
        return 0; // the chunk before it goes first
    }
    char *const buffer = h.bytes.data();
    const ssize_t n = read(client != nullptr ? client->fd : source.fd, buffer, read_size);
    // Nothing to read after all: a client opened the terminal again between
    // the hang-up that woke the loop and this read. Not a failure.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    if (n <= 0) {
        // EIO is a hang-up that is not worth a message: a client closing its
        // side does that all the time. An end of file on a modem port is a
        // USB modem that went away (unplugged, or reset), which whoever
        // looks after the board wants to see.
        const bool hung_up = n == 0 || errno == EIO;
        if (!hung_up) {
            log_failure(LOG_ERR, errno, "%s read error", port_name(source));
        } else if (n == 0 && source.kind == port_kind::modem) {
            log_message(LOG_ERR, "%s hung up", port_name(source));
        }
        if (client == nullptr) {
            close_ports(direction.close_on_read_failure, source, destination, side::source,
                        hung_up);
        } else {
            port_release(source, *client, hung_up);
            if (!in_use(source)) {
                port_close(destination);
            }
        }
        return 0;
    }

    if (debug_enabled(direction.debug_bit)) {
        buffer[n] = '\0';
        const char *text = direction.audio && n >= audio_shown_below ? "{audio}" : buffer;
        log_message(LOG_DEBUG, direction.debug_format, static_cast<int>(n), text);
    }
    h.n = n;
    h.taken.fill(0);
    pass(direction, source, destination, h);
    return n;
}

} // namespace

const relay_direction ctrl_pty_to_gsm{
    .debug_bit = DEBUG_CTRL,
    .debug_format = "ctrl PTY-GSM, [%i] \"%s\"",
    .audio = false,
    .open_destination = true,
    .close_on_read_failure = {side::source, side::destination},
    .close_on_write_failure = {side::destination, side::none},
    .held = 0,
};
const relay_direction audio_pty_to_gsm{
    .debug_bit = DEBUG_AUDIO,
    .debug_format = "audio PTY-GSM, [%i] \"%s\"",
    .audio = true,
    .open_destination = true,
    .close_on_read_failure = {side::source, side::destination},
    .close_on_write_failure = {side::destination, side::none},
    .held = 1,
};
const relay_direction ctrl_gsm_to_pty{
    .debug_bit = DEBUG_CTRL,
    .debug_format = "ctrl GSM-PTY, [%i], \"%s\"",
    .audio = false,
    .open_destination = false,
    .close_on_read_failure = {side::source, side::none},
    .close_on_write_failure = {side::destination, side::source},
    .held = 2,
};
const relay_direction audio_gsm_to_pty{
    .debug_bit = DEBUG_AUDIO,
    .debug_format = "audio GSM-PTY, [%i] \"%s\"",
    .audio = true,
    .open_destination = false,
    .close_on_read_failure = {side::source, side::none},
    .close_on_write_failure = {side::destination, side::source},
    .held = 3,
};

void relay(const relay_direction &direction, port &source, port &destination) {
    (void)relay_from(direction, source, nullptr, destination);
}

void relay(const relay_direction &direction, port &source, terminal &client, port &destination) {
    (void)relay_from(direction, source, &client, destination);
}

bool relay_holds(const relay_direction &direction) {
    return held[direction.held].n > 0;
}

std::int64_t relay_watch(const relay_direction &direction, const port &destination,
                         fd_set &writable) {
    const held_chunk &h = held[direction.held];
    if (h.n == 0 || h.destination != &destination) {
        return 0;
    }
    if (destination.waiting) {
        return destination.attempt_at;
    }
    for (std::size_t i = 0; i < targets_max; ++i) {
        const int fd = target_fd(destination, i);
        if (h.taken[i] < h.n && fd >= 0) {
            FD_SET(fd, &writable);
        }
    }
    // A destination closed meanwhile is tried again at once.
    return destination.fd >= 0 ? h.give_up_at : 1;
}

void relay_resume(const relay_direction &direction, port &source, port &destination,
                  const fd_set &writable) {
    held_chunk &h = held_of(direction, destination);
    if (h.n == 0) {
        return;
    }
    const std::int64_t now = monotonic_ms();
    if (destination.waiting || destination.fd < 0) {
        if (destination.waiting && now < destination.attempt_at) {
            return;
        }
        h.taken.fill(0);
        pass(direction, source, destination, h);
    } else {
        bool ready = now >= h.give_up_at;
        for (std::size_t i = 0; i < targets_max && !ready; ++i) {
            const int fd = target_fd(destination, i);
            ready = h.taken[i] < h.n && fd >= 0 && FD_ISSET(fd, &writable);
        }
        if (!ready) {
            return;
        }
        deliver(direction, source, destination, h);
    }
    // The session may have ended while the chunk was held.
    if (h.n == 0 && direction.open_destination && !served(source)) {
        relay_session_end(direction, source, destination);
    }
}

void relay_session_end(const relay_direction &direction, port &source, port &destination) {
    // Bounded: a client cannot keep the loop here by writing on. A read
    // takes what is still on its way in the terminal: nothing is lost.
    constexpr int reads_max = 16;
    for (terminal &t : source.clients) {
        for (int reads = 0; reads < reads_max && t.fd >= 0 && !t.held; ++reads) {
            if (relay_from(direction, source, &t, destination) == 0) {
                break;
            }
        }
        // What the modem has not taken yet goes first: the rest follows
        // once it has, and the session ends then.
        if (relay_holds(direction)) {
            return;
        }
        // The terminal goes before the modem port, as at any hang-up.
        if (t.fd >= 0 && !t.held && port_hangs_up(t)) {
            port_release(source, t, true);
        }
    }
    if (!in_use(source)) {
        port_close(destination);
    }
}
