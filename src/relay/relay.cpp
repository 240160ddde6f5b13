#include "relay/relay.hpp"

#include "common/debug.hpp"
#include "common/log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr std::size_t buffer_size = 4096;
constexpr std::size_t read_size = buffer_size - 1; // room for the debug text's zero byte
constexpr ssize_t audio_shown_below = 32;

// The chunk read for a destination that waits for its lock file, one per
// modem port: its source is not read again until the wait is over.
struct held_chunk {
    const port *destination = nullptr;
    std::array<char, buffer_size> bytes{};
    ssize_t n = 0;
};
std::array<held_chunk, 2> held{};

// The destination's chunk, or nullptr; held_for(nullptr) is a free place.
held_chunk *held_for(const port *destination) {
    auto *const found = std::ranges::find_if(
        held, [destination](const held_chunk &h) { return h.destination == destination; });
    return found != held.end() ? found : nullptr;
}

// Whether a client still has a terminal of the port's channel: its modem
// port then stays open.
bool in_use(const port &p) {
    return port_clients_held(p) || p.held;
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

// One write of a chunk to one descriptor of the destination; false when it
// failed (logged). What it could not take is lost and logged.
bool write_chunk(const port &source, const port &destination, int fd, const char *buffer,
                 ssize_t n) {
    const ssize_t written = write(fd, buffer, static_cast<std::size_t>(n));
    if (written < 0) {
        log_failure(LOG_ERR, errno, "%s write error", port_name(destination));
        return false;
    }
    if (written < n) {
        log_message(LOG_ERR, "%s data lost, cannot %s %s (%i of %i)", port_name(source), "write",
                    port_name(destination), static_cast<int>(written), static_cast<int>(n));
    }
    fsync(fd); // a terminal may refuse it; nothing to do then
    return true;
}

// Modem bytes go to every terminal of the channel that a client holds; a
// terminal no client holds gets nothing. A failed write closes that
// terminal, and with the channel's last one the modem port.
void deliver(const relay_direction &direction, port &source, port &destination, const char *buffer,
             ssize_t n) {
    for (terminal &t : destination.clients) {
        if (t.fd >= 0 && t.held && !write_chunk(source, destination, t.fd, buffer, n)) {
            port_release(destination, t, false);
            if (!in_use(destination) && !port_published_held(destination)) {
                port_close(source);
            }
        }
    }
    if (port_published_held(destination) && source.fd >= 0 &&
        !write_chunk(source, destination, destination.fd, buffer, n)) {
        close_ports(direction.close_on_write_failure, source, destination, side::destination,
                    false);
    }
}

// A chunk that was read goes to its destination, or is lost as logged.
void pass(const relay_direction &direction, port &source, port &destination, int fd,
          const char *buffer, ssize_t n) {
    if (fd < 0) {
        log_message(LOG_ERR, "%s data lost, cannot %s %s", port_name(source), "open",
                    port_name(destination));
    } else if (destination.kind == port_kind::master) {
        deliver(direction, source, destination, buffer, n);
    } else if (!write_chunk(source, destination, destination.fd, buffer, n)) {
        close_ports(direction.close_on_write_failure, source, destination, side::destination,
                    false);
    }
}

// True when a chunk was read (and relayed, or lost as logged).
bool relay_from(const relay_direction &direction, port &source, terminal *client,
                port &destination) {
    // A chunk read before waits for the destination's lock file.
    if (direction.open_destination && destination.waiting) {
        return false;
    }
    char buffer[buffer_size];
    const ssize_t n = read(client != nullptr ? client->fd : source.fd, buffer, read_size);
    // Nothing to read after all: a client opened the terminal again between
    // the hang-up that woke the loop and this read. Not a failure.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return false;
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
        return false;
    }

    if (debug_enabled(direction.debug_bit)) {
        buffer[n] = '\0';
        const char *text = direction.audio && n >= audio_shown_below ? "{audio}" : buffer;
        log_message(LOG_DEBUG, direction.debug_format, static_cast<int>(n), text);
    }

    const int fd = direction.open_destination ? port_open(destination) : destination.fd;
    held_chunk *h = nullptr;
    if (fd == port_waiting) {
        h = held_for(&destination);
        h = h != nullptr ? h : held_for(nullptr);
    }
    if (h != nullptr) {
        h->destination = &destination;
        std::memcpy(h->bytes.data(), buffer, static_cast<std::size_t>(n));
        h->n = n;
        return true;
    }
    pass(direction, source, destination, fd, buffer, n);
    return true;
}

} // namespace

const relay_direction ctrl_pty_to_gsm{
    .debug_bit = DEBUG_CTRL,
    .debug_format = "ctrl PTY-GSM, [%i] \"%s\"",
    .audio = false,
    .open_destination = true,
    .close_on_read_failure = {side::source, side::destination},
    .close_on_write_failure = {side::destination, side::none},
};
const relay_direction audio_pty_to_gsm{
    .debug_bit = DEBUG_AUDIO,
    .debug_format = "audio PTY-GSM, [%i] \"%s\"",
    .audio = true,
    .open_destination = true,
    .close_on_read_failure = {side::source, side::destination},
    .close_on_write_failure = {side::destination, side::none},
};
const relay_direction ctrl_gsm_to_pty{
    .debug_bit = DEBUG_CTRL,
    .debug_format = "ctrl GSM-PTY, [%i], \"%s\"",
    .audio = false,
    .open_destination = false,
    .close_on_read_failure = {side::source, side::none},
    .close_on_write_failure = {side::destination, side::source},
};
const relay_direction audio_gsm_to_pty{
    .debug_bit = DEBUG_AUDIO,
    .debug_format = "audio GSM-PTY, [%i] \"%s\"",
    .audio = true,
    .open_destination = false,
    .close_on_read_failure = {side::source, side::none},
    .close_on_write_failure = {side::destination, side::source},
};

void relay(const relay_direction &direction, port &source, port &destination) {
    (void)relay_from(direction, source, nullptr, destination);
}

void relay(const relay_direction &direction, port &source, terminal &client, port &destination) {
    (void)relay_from(direction, source, &client, destination);
}

void relay_resume(const relay_direction &direction, port &source, port &destination) {
    held_chunk *h = held_for(&destination);
    const int fd = port_open(destination);
    if (h == nullptr || fd == port_waiting) {
        return;
    }
    h->destination = nullptr;
    pass(direction, source, destination, fd, h->bytes.data(), h->n);
    // The session may have ended while the lock was awaited.
    if (!in_use(source) && !port_published_held(source)) {
        port_close(destination);
    }
}

void relay_session_end(const relay_direction &direction, port &source, port &destination) {
    // Bounded: a client cannot keep the loop here by writing on. A read
    // takes what is still on its way in the terminal: nothing is lost.
    constexpr int reads_max = 16;
    for (terminal &t : source.clients) {
        for (int reads = 0; reads < reads_max && t.fd >= 0 && !t.held; ++reads) {
            if (!relay_from(direction, source, &t, destination)) {
                break;
            }
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
