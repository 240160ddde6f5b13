// ptybridge: relays two pseudo-terminal masters to the two serial channels
// of a GSM modem, opening each modem channel when the client first sends.

#include "common/debug.hpp"
#include "common/log.hpp"
#include "port/port.hpp"
#include "relay/relay.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <syslog.h>
#include <unistd.h>

#if !defined(PTYBRIDGE_CTRL_PTY) || !defined(PTYBRIDGE_AUDIO_PTY) ||                               \
    !defined(PTYBRIDGE_CTRL_GSM) || !defined(PTYBRIDGE_AUDIO_GSM)
#error "the four device paths must be set at build time"
#endif

#if !defined(PTYBRIDGE_CTRL_LINK) || !defined(PTYBRIDGE_AUDIO_LINK) ||                             \
    !defined(PTYBRIDGE_CTRL_LOCK) || !defined(PTYBRIDGE_AUDIO_LOCK)
#error "the masters' links and lock names must be set at build time"
#endif

namespace {

// An empty link leaves a master as it is: a legacy master has a fixed slave.
constexpr const char *link_or_none(const char *path) {
    return path[0] != '\0' ? path : nullptr;
}

volatile std::sig_atomic_t stop_signal = 0;

// Self-pipe: the stop handler writes a byte so that a signal arriving
// after the loop's test of stop_signal still ends the wait in select.
// Set up before the handler is installed and never closed.
int wake_read = -1;
int wake_write = -1;

extern "C" void stop_handler(int sig) {
    const int saved_errno = errno;
    if (stop_signal == 0) {
        stop_signal = sig;
    }
    if (wake_write >= 0) {
        const char byte = 0;
        (void)!write(wake_write, &byte, 1); // a full pipe already wakes the loop
    }
    errno = saved_errno;
}

void open_wake_pipe() {
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    if (ends[0] >= FD_SETSIZE) {
        // Every lower descriptor was inherited and taken: no port can be
        // watched either, and the loop falls back to bounded waits.
        close(ends[0]);
        close(ends[1]);
        return;
    }
    wake_read = ends[0];
    wake_write = ends[1];
}

// The 1-second pause after a failed open or select; a stop signal ends it.
void pause_one_second() {
    if (wake_read < 0) {
        sleep(1);
        return;
    }
    fd_set wake{};
    FD_ZERO(&wake);
    FD_SET(wake_read, &wake);
    timeval second{1, 0};
    select(wake_read + 1, &wake, nullptr, nullptr, &second);
}

struct ports {
    port ctrl_pty;
    port audio_pty;
    port ctrl_gsm;
    port audio_gsm;
};

// A direction of the bridge with its two ports.
struct route {
    const relay_direction &direction;
    port &source;
    port &destination;
};

// A master that could not be opened is tried again a second later (100 ms
// while its lock file is awaited), while the other channel is served: an
// audio call goes on while the control channel has no master.
bool open_master(port &master) {
    if (master.fd >= 0) {
        return true;
    }
    if (monotonic_ms() < master.attempt_at) {
        return false;
    }
    const int fd = port_open(master);
    if (fd < 0 && fd != port_waiting) {
        master.attempt_at = monotonic_ms() + 1000;
    }
    return fd >= 0;
}

// When the loop must next try to open a missing master, or 0.
std::int64_t attempt_due(const port &p) {
    return p.fd < 0 ? p.attempt_at : 0;
}

// A direction's source, and every client's terminal of it, is not read
// while its destination has not taken a chunk whole: the bytes wait where
// they are.
void watch_port(fd_set &set, const port &p, const relay_direction &direction) {
    if (relay_holds(direction)) {
        return;
    }
    if (p.fd >= 0) {
        FD_SET(p.fd, &set);
    }
    for (const terminal &t : p.clients) {
        if (t.fd >= 0) {
            FD_SET(t.fd, &set);
        }
    }
}

// What the watched slaves report, in order: an open of a published slave
// moves its link on, and the last client of a channel letting go ends its
// session.
void handle_watch_events(ports &p) {
    alignas(inotify_event) std::array<char, 4096> events{};
    const std::size_t n = port_watch_read(events.data(), events.size());
    const auto at = [&events](std::size_t offset) {
        return reinterpret_cast<const inotify_event *>(&events[offset]);
    };
    for (std::size_t offset = 0; offset < n; offset += sizeof(inotify_event) + at(offset)->len) {
        const inotify_event *e = at(offset);
        if ((e->mask & IN_Q_OVERFLOW) != 0) {
            port_watch_lost(p.ctrl_pty);
            port_watch_lost(p.audio_pty);
            continue;
        }
        bool reopened_later = false;
        for (std::size_t later = offset + sizeof(inotify_event) + e->len; later < n;
             later += sizeof(inotify_event) + at(later)->len) {
            reopened_later |= at(later)->wd == e->wd && (at(later)->mask & IN_OPEN) != 0;
        }
        if (port_watch_event(p.ctrl_pty, e->wd, e->mask, reopened_later)) {
            relay_session_end(ctrl_pty_to_gsm, p.ctrl_pty, p.ctrl_gsm);
        }
        if (port_watch_event(p.audio_pty, e->wd, e->mask, reopened_later)) {
            relay_session_end(audio_pty_to_gsm, p.audio_pty, p.audio_gsm);
        }
    }
}

// A channel's pseudo-terminal side: the published master, then every
// client's terminal, each once. Bytes on the published master come from a
// client that has opened it: its open, and the close of the client before
// it, are queued already, and are handled first and in that order.
void relay_pty_side(ports &p, const route &r, int watched, const fd_set &readable) {
    port &pty = r.source;
    if (pty.fd >= 0 && pty.fd == watched && FD_ISSET(pty.fd, &readable)) {
        // Not once it is known to be held: its client's bytes need no look.
        if (pty.watch >= 0 && !pty.held) {
            handle_watch_events(p);
        }
        if (pty.fd == watched) {
            relay(r.direction, pty, r.destination);
        }
    }
    for (terminal &t : pty.clients) {
        // A descriptor just reused for another master reads nothing: harmless.
        if (t.fd >= 0 && FD_ISSET(t.fd, &readable)) {
            relay(r.direction, pty, t, r.destination);
        }
    }
}

// Waits for readable ports and serves each once, ctrl before audio,
// pseudo-terminals before the modem, until a stop signal arrives.
void run(ports &p) {
    // The four directions, in the order the loop serves them.
    const std::array<route, 4> routes{{{ctrl_pty_to_gsm, p.ctrl_pty, p.ctrl_gsm},
                                       {audio_pty_to_gsm, p.audio_pty, p.audio_gsm},
                                       {ctrl_gsm_to_pty, p.ctrl_gsm, p.ctrl_pty},
                                       {audio_gsm_to_pty, p.audio_gsm, p.audio_pty}}};
    for (;;) {
        if (stop_signal != 0) {
            return;
        }
        const bool ctrl_up = open_master(p.ctrl_pty);
        const bool audio_up = open_master(p.audio_pty);
        fd_set readable{};
        fd_set writable{};
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        for (const route &r : routes) {
            watch_port(readable, r.source, r.direction);
        }
        if (wake_read >= 0) {
            FD_SET(wake_read, &readable);
        }
        const int watcher = port_watch_fd();
        if (watcher >= 0) {
            FD_SET(watcher, &readable);
        }
        // The descriptors as they were watched: a relay may close a port and
        // another may reopen the number for a different port in this pass,
        // which must not make that new port look ready.
        const std::array<int, 4> watched{p.ctrl_pty.fd, p.audio_pty.fd, p.ctrl_gsm.fd,
                                         p.audio_gsm.fd};
        // Only a missing master, a held chunk (or a missing wake pipe)
        // bounds the wait. The test sandbox takes a process blocked in a
        // wait for readable descriptors without a deadline to be here,
        // idle: keep every other wait bounded.
        std::array<std::int64_t, 6> due{attempt_due(p.ctrl_pty), attempt_due(p.audio_pty)};
        for (std::size_t i = 0; i < routes.size(); ++i) {
            due[i + 2] = relay_watch(routes[i].direction, routes[i].destination, writable);
        }
        std::int64_t wait_ms = 1000;
        bool unbounded = ctrl_up && audio_up && wake_read >= 0;
        std::int64_t now = 0; // read once, and only when something is due
        for (const std::int64_t at : due) {
            if (at != 0) {
                now = now != 0 ? now : monotonic_ms();
                wait_ms = std::min(wait_ms, std::max<std::int64_t>(at - now, 0));
                unbounded = false;
            }
        }
        timeval bounded{wait_ms / 1000, static_cast<long>(wait_ms % 1000) * 1000};
        if (select(FD_SETSIZE, &readable, &writable, nullptr, unbounded ? nullptr : &bounded) < 0) {
            if (stop_signal != 0) {
                continue;
            }
            log_failure(LOG_ERR, errno, "select error");
            pause_one_second();
            continue;
        }
        if (watcher >= 0 && FD_ISSET(watcher, &readable)) {
            handle_watch_events(p);
        }
        for (std::size_t i = 0; i < routes.size(); ++i) {
            const route &r = routes[i];
            if (r.source.kind == port_kind::master) {
                relay_pty_side(p, r, watched[i], readable);
            } else if (r.source.fd >= 0 && r.source.fd == watched[i] &&
                       FD_ISSET(r.source.fd, &readable)) {
                relay(r.direction, r.source, r.destination);
            }
        }
        for (const route &r : routes) {
            relay_resume(r.direction, r.source, r.destination, writable);
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    ports p{{-1, PTYBRIDGE_CTRL_PTY, port_kind::master, PTYBRIDGE_CTRL_LOCK,
             link_or_none(PTYBRIDGE_CTRL_LINK)},
            {-1, PTYBRIDGE_AUDIO_PTY, port_kind::master, PTYBRIDGE_AUDIO_LOCK,
             link_or_none(PTYBRIDGE_AUDIO_LINK)},
            {-1, PTYBRIDGE_CTRL_GSM},
            {-1, PTYBRIDGE_AUDIO_GSM}};

    int option = 0;
    while ((option = getopt(argc, argv, "d:")) != -1) {
        if (option == 'd') {
            debug_mask = parse_mask(optarg);
        }
    }

    open_wake_pipe();
    // Cannot fail for these two signals.
    (void)signal(SIGTERM, stop_handler);
    (void)signal(SIGQUIT, stop_handler);
    log_message(LOG_INFO, "running");

    run(p);

    log_message(LOG_INFO, "received signal %i", static_cast<int>(stop_signal));
    (void)signal(SIGTERM, SIG_DFL);
    (void)signal(SIGQUIT, SIG_DFL);
    port_close(p.audio_gsm);
    port_close(p.ctrl_gsm);
    port_close(p.audio_pty);
    port_close(p.ctrl_pty);
    log_message(LOG_INFO, "exit");
    return 0;
}
