#include "relay/relay.hpp"

#include "common/debug.hpp"
#include "common/log.hpp"

#include <cerrno>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr std::size_t buffer_size = 4096;
constexpr std::size_t read_size = buffer_size - 1; // room for the debug text's zero byte
constexpr ssize_t audio_shown_below = 32;

// A read that hung up lets a client that has just reopened the source's
// terminal keep it, and then nothing else closes either.
void close_ports(const std::array<side, 2> &order, port &source, port &destination, bool hung_up) {
    for (const side s : order) {
        if (s == side::none) {
            continue;
        }
        const bool is_source = s == side::source;
        if (!port_replace(is_source ? source : destination, hung_up && is_source)) {
            return;
        }
    }
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
    char buffer[buffer_size];
    const ssize_t n = read(source.fd, buffer, read_size);
    // Nothing to read after all: a client opened the terminal again between
    // the hang-up that woke the loop and this read. Not a failure.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
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
        close_ports(direction.close_on_read_failure, source, destination, hung_up);
        return;
    }

    if (debug_enabled(direction.debug_bit)) {
        buffer[n] = '\0';
        const char *text = direction.audio && n >= audio_shown_below ? "{audio}" : buffer;
        log_message(LOG_DEBUG, direction.debug_format, static_cast<int>(n), text);
    }

    const bool available =
        direction.open_destination ? port_open(destination) >= 0 : destination.fd >= 0;
    if (!available) {
        log_message(LOG_ERR, "%s data lost, cannot %s %s", port_name(source), "open",
                    port_name(destination));
        return;
    }

    const ssize_t written = write(destination.fd, buffer, static_cast<std::size_t>(n));
    if (written < 0) {
        log_failure(LOG_ERR, errno, "%s write error", port_name(destination));
        close_ports(direction.close_on_write_failure, source, destination, false);
        return;
    }
    if (written < n) {
        log_message(LOG_ERR, "%s data lost, cannot %s %s (%i of %i)", port_name(source), "write",
                    port_name(destination), static_cast<int>(written), static_cast<int>(n));
    }
    fsync(destination.fd); // a terminal may refuse it; nothing to do then
}
