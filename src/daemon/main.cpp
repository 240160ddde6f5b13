// ptybridge: relays two pseudo-terminal masters to the two serial channels
// of a GSM modem, opening each modem channel when the client first sends.

#include "common/debug.hpp"
#include "common/log.hpp"
#include "port/port.hpp"
#include "relay/relay.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
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

// Waits for readable ports and serves each once, ctrl before audio,
// pseudo-terminals before the modem, until a stop signal arrives.
void run(ports &p) {
    for (;;) {
        if (stop_signal != 0) {
            return;
        }
        fd_set readable{};
        FD_ZERO(&readable);
        if (port_open(p.ctrl_pty) < 0) {
            pause_one_second();
            continue;
        }
        FD_SET(p.ctrl_pty.fd, &readable);
        if (port_open(p.audio_pty) < 0) {
            pause_one_second();
            continue;
        }
        FD_SET(p.audio_pty.fd, &readable);
        if (p.ctrl_gsm.fd >= 0) {
            FD_SET(p.ctrl_gsm.fd, &readable);
        }
        if (p.audio_gsm.fd >= 0) {
            FD_SET(p.audio_gsm.fd, &readable);
        }
        if (wake_read >= 0) {
            FD_SET(wake_read, &readable);
        }
        // The descriptors as they were watched: a relay may close a port and
        // another may reopen the number for a different port in this pass,
        // which must not make that new port look ready.
        const std::array<int, 4> watched{p.ctrl_pty.fd, p.audio_pty.fd, p.ctrl_gsm.fd,
                                         p.audio_gsm.fd};
        timeval bounded{1, 0}; // only without the wake pipe
        // The test sandbox takes a process blocked in a wait for readable
        // descriptors without a deadline to be here, idle: keep every other
        // wait bounded.
        if (select(FD_SETSIZE, &readable, nullptr, nullptr, wake_read >= 0 ? nullptr : &bounded) <
            0) {
            if (stop_signal != 0) {
                continue;
            }
            log_failure(LOG_ERR, errno, "select error");
            pause_one_second();
            continue;
        }
        const auto ready = [&readable](const port &q, int watched_fd) {
            return q.fd >= 0 && q.fd == watched_fd && FD_ISSET(q.fd, &readable);
        };
        if (ready(p.ctrl_pty, watched[0])) {
            relay(ctrl_pty_to_gsm, p.ctrl_pty, p.ctrl_gsm);
        }
        if (ready(p.audio_pty, watched[1])) {
            relay(audio_pty_to_gsm, p.audio_pty, p.audio_gsm);
        }
        if (ready(p.ctrl_gsm, watched[2])) {
            relay(ctrl_gsm_to_pty, p.ctrl_gsm, p.ctrl_pty);
        }
        if (ready(p.audio_gsm, watched[3])) {
            relay(audio_gsm_to_pty, p.audio_gsm, p.audio_pty);
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
