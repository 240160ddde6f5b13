#include "emulator.hpp"

#include "at_engine.hpp"
#include "log.hpp"
#include "pty.hpp"
#include "request.hpp"
#include "tone.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>

namespace {

// Responses wait here while the pty has no room; beyond this they are lost,
// as they would be on a modem nobody reads.
constexpr std::size_t ctrl_queue_max = 16384;
// After a stall, at most this many late frames are still sent; older ones are
// dropped so the stream does not lag behind real time.
constexpr std::uint64_t max_late_frames = 50;
// Audio counters are logged this often during a call (frames).
constexpr std::uint64_t audio_log_frames = 250;
constexpr std::size_t fifo_line_max = 256;
constexpr int replug_retry_ms = 1000;
// An existing device that hung up (its USB host went away) is opened again
// this soon, and retried this often while it cannot be: a bounded wait, not a
// spin on a dead descriptor.
constexpr int device_reopen_ms = 200;

struct channel {
    const char *name = "";
    const char *link = nullptr; // nullptr: channel not emulated
    bool device = false;        // link is an existing device, opened as it is
    bool retrying = false;      // a failed reopen was logged; later ones are not
    pty_pair pty;
    std::int64_t replug_at = -1; // monotonic ms of the next plug-in; -1: none due
    std::uint64_t rx = 0;
    std::uint64_t tx = 0;
};

struct emulator {
    options opt;
    channel ctrl;
    channel audio;
    at_engine at;
    std::string ctrl_out; // bytes waiting for room in the ctrl pty
    int sig_fd = -1;
    int fifo_fd = -1;
    int timer_fd = -1;
    std::string fifo_line;
    bool fifo_overflow = false;
    std::uint64_t tone_sample = 0;
    std::string audio_tail; // rest of a frame the pty took only in part
    std::uint64_t frames_sent = 0;
    std::uint64_t frames_dropped = 0;
    std::uint64_t call_ticks = 0;
    bool stop = false;
};

std::int64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool channel_up(const channel &c) {
    return c.pty.master >= 0;
}

const char *channel_state(const channel &c) {
    if (c.link == nullptr) {
        return "off";
    }
    return channel_up(c) ? "up" : "down";
}

std::string printable(std::string_view s) {
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u >= 0x7f || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

std::string status_line(const emulator &em) {
    const std::string &cp = em.ctrl.pty.slave_path;
    const std::string &ap = em.audio.pty.slave_path;
    char buf[1024];
    std::snprintf(buf, sizeof buf,
                  "call=%s number=%s echo=%s ctrl=%s audio=%s ctrl_pts=%s audio_pts=%s"
                  " ctrl_rx=%" PRIu64 " ctrl_tx=%" PRIu64 " audio_rx=%" PRIu64 " audio_tx=%" PRIu64
                  " frames_sent=%" PRIu64 " frames_dropped=%" PRIu64,
                  call_state_name(em.at.call), em.at.number.empty() ? "-" : em.at.number.c_str(),
                  em.at.echo ? "on" : "off", channel_state(em.ctrl), channel_state(em.audio),
                  cp.empty() ? "-" : cp.c_str(), ap.empty() ? "-" : ap.c_str(), em.ctrl.rx,
                  em.ctrl.tx, em.audio.rx, em.audio.tx, em.frames_sent, em.frames_dropped);
    return buf;
}

void write_status(const emulator &em) {
    std::string line = status_line(em);
    emu_log("status: %s", line.c_str());
    if (em.opt.status != nullptr) {
        write_file_atomic(em.opt.status, line + "\n");
    }
}

void log_audio(const emulator &em, const char *why) {
    emu_log("audio %s: frames_sent=%" PRIu64 " frames_dropped=%" PRIu64 " audio_tx=%" PRIu64
            " audio_rx=%" PRIu64,
            why, em.frames_sent, em.frames_dropped, em.audio.tx, em.audio.rx);
}

// ---- channels ----

bool channel_plug(channel &c) {
    if (c.device) {
        if (!device_open(c.pty, c.link, c.retrying)) {
            c.retrying = true;
            return false;
        }
        c.retrying = false;
        c.replug_at = -1;
        emu_log("%s: %s open", c.name, c.link);
        return true;
    }
    if (!pty_create(c.pty)) {
        return false;
    }
    if (!link_replace(c.pty.slave_path, c.link)) {
        pty_close(c.pty);
        return false;
    }
    c.replug_at = -1;
    emu_log("%s: %s -> %s", c.name, c.link, c.pty.slave_path.c_str());
    return true;
}

void channel_unplug(channel &c) {
    if (!channel_up(c)) {
        return;
    }
    if (c.device) {
        pty_close(c.pty);
        emu_log("%s: %s closed", c.name, c.link);
        return;
    }
    link_remove(c.link, c.pty.slave_path);
    pty_close(c.pty);
    emu_log("%s: unplugged", c.name);
}

// ---- call and audio ----

void audio_timer(const emulator &em, bool on) {
    itimerspec its{};
    if (on) {
        its.it_value.tv_nsec = frame_ms * 1000000L;
        its.it_interval = its.it_value;
    }
    if (timerfd_settime(em.timer_fd, 0, &its, nullptr) != 0) {
        emu_error("timerfd_settime: %s", std::strerror(errno));
    }
}

// Starts or stops the audio stream after the AT engine changed the call.
void call_changed(emulator &em, call_state before) {
    call_state now = em.at.call;
    if (now == before) {
        return;
    }
    emu_log("call: %s -> %s%s%s", call_state_name(before), call_state_name(now),
            em.at.number.empty() ? "" : " ", em.at.number.c_str());
    if (now == call_state::active) {
        em.audio_tail.clear();
        em.call_ticks = 0;
        audio_timer(em, true);
    } else if (before == call_state::active) {
        audio_timer(em, false);
        em.audio_tail.clear();
        log_audio(em, "call ended");
    }
}

void audio_send(emulator &em, const audio_frame &f) {
    int fd = em.audio.pty.master;
    if (!em.audio_tail.empty()) {
        // The rest of the previous frame goes first, or the client's samples
        // would lose their byte alignment.
        ssize_t n = write(fd, em.audio_tail.data(), em.audio_tail.size());
        if (n > 0) {
            em.audio.tx += static_cast<std::uint64_t>(n);
            em.audio_tail.erase(0, static_cast<std::size_t>(n));
        }
        if (!em.audio_tail.empty()) {
            ++em.frames_dropped;
            return;
        }
        ++em.frames_sent;
    }
    ssize_t n = write(fd, f.data(), f.size());
    if (n == static_cast<ssize_t>(f.size())) {
        em.audio.tx += f.size();
        ++em.frames_sent;
    } else if (n > 0) {
        em.audio.tx += static_cast<std::uint64_t>(n);
        em.audio_tail.assign(f.begin() + n, f.end());
    } else {
        ++em.frames_dropped;
    }
}

void audio_tick(emulator &em) {
    std::uint64_t expirations = 0;
    if (read(em.timer_fd, &expirations, sizeof expirations) != sizeof expirations) {
        return;
    }
    if (em.at.call != call_state::active) {
        return;
    }
    std::uint64_t late = expirations > max_late_frames ? expirations - max_late_frames : 0;
    for (std::uint64_t i = 0; i < expirations; ++i) {
        // The tone runs on while frames are lost: a gap, not a delay.
        audio_frame f;
        tone_frame(em.tone_sample, f);
        if (!channel_up(em.audio)) {
            continue;
        }
        if (i < late) {
            ++em.frames_dropped;
        } else {
            audio_send(em, f);
        }
        if (++em.call_ticks % audio_log_frames == 0) {
            log_audio(em, "in call");
        }
    }
}

// ---- ctrl channel ----

void ctrl_flush(emulator &em) {
    while (!em.ctrl_out.empty() && channel_up(em.ctrl)) {
        ssize_t n = write(em.ctrl.pty.master, em.ctrl_out.data(), em.ctrl_out.size());
        if (n > 0) {
            em.ctrl.tx += static_cast<std::uint64_t>(n);
            em.ctrl_out.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
}

void ctrl_send(emulator &em, std::string_view bytes) {
    if (!channel_up(em.ctrl) || bytes.empty()) {
        return;
    }
    emu_log("ctrl -> %s", printable(bytes).c_str());
    std::size_t room = ctrl_queue_max - em.ctrl_out.size();
    if (bytes.size() > room) {
        bytes = bytes.substr(0, room);
    }
    em.ctrl_out.append(bytes);
    ctrl_flush(em);
}

void unplug(emulator &em, bool ctrl, bool audio, int ms);

// A master reads EOF or EIO only when every slave descriptor is closed, which
// our own one prevents; if it happens anyway, re-create the pair rather than
// spin on a dead descriptor. An existing device does so whenever its far end
// goes away (a USB gadget's host unplugged, a pseudo-terminal's master
// closed): it is closed and opened again, as a modem that lost power starts
// afresh.
void master_failed(emulator &em, channel &c, const char *why) {
    if (c.device) {
        emu_log("%s: %s hung up (%s); reopening", c.name, c.link, why);
        unplug(em, &c == &em.ctrl, &c == &em.audio, device_reopen_ms);
        return;
    }
    emu_error("%s: master read %s; re-creating the pair", c.name, why);
    unplug(em, &c == &em.ctrl, &c == &em.audio, default_unplug_ms);
}

const char *read_failure(ssize_t n) {
    return n == 0 ? "EOF" : std::strerror(errno);
}

void ctrl_readable(emulator &em) {
    char buf[512];
    ssize_t n = read(em.ctrl.pty.master, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        master_failed(em, em.ctrl, read_failure(n));
        return;
    }
    em.ctrl.rx += static_cast<std::uint64_t>(n);
    call_state before = em.at.call;
    at_output out;
    at_input(em.at, std::string_view(buf, static_cast<std::size_t>(n)), out);
    for (const std::string &line : out.lines) {
        emu_log("ctrl <- %s", printable(line).c_str());
    }
    ctrl_send(em, out.to_client);
    call_changed(em, before);
}

void audio_readable(emulator &em) {
    char buf[4096];
    ssize_t n = read(em.audio.pty.master, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        master_failed(em, em.audio, read_failure(n));
        return;
    }
    em.audio.rx += static_cast<std::uint64_t>(n);
}

// ---- requests ----

void unplug(emulator &em, bool ctrl, bool audio, int ms) {
    std::int64_t at = now_ms() + ms;
    emu_log("unplug%s%s for %d ms", ctrl ? " ctrl" : "", audio ? " audio" : "", ms);
    if (ctrl && em.ctrl.link != nullptr) {
        channel_unplug(em.ctrl);
        em.ctrl.replug_at = at;
        em.ctrl_out.clear();
        // The modem behind the ctrl channel starts afresh: call and echo reset.
        call_state before = em.at.call;
        at_reset(em.at);
        call_changed(em, before);
    }
    if (audio && em.audio.link != nullptr) {
        channel_unplug(em.audio);
        em.audio.replug_at = at;
        em.audio_tail.clear();
    }
}

void ring(emulator &em, const std::string &number) {
    if (!channel_up(em.ctrl)) {
        emu_log("ring %s ignored: ctrl channel %s", number.c_str(), channel_state(em.ctrl));
        return;
    }
    call_state before = em.at.call;
    std::string out = at_ring(em.at, number);
    if (out.empty()) {
        emu_log("ring %s ignored: call %s with %s", number.c_str(), call_state_name(em.at.call),
                em.at.number.c_str());
        return;
    }
    ctrl_send(em, out);
    call_changed(em, before);
}

void network_hangup(emulator &em) {
    call_state before = em.at.call;
    std::string out = at_network_hangup(em.at);
    if (out.empty()) {
        emu_log("hangup ignored: no call");
        return;
    }
    ctrl_send(em, out);
    call_changed(em, before);
}

void handle_request(emulator &em, const std::string &line) {
    request r = parse_request(line);
    emu_log("control: %s", printable(line).c_str());
    switch (r.kind) {
    case request_kind::ring:
        ring(em, r.number);
        break;
    case request_kind::hangup:
        network_hangup(em);
        break;
    case request_kind::unplug:
        unplug(em, r.ctrl, r.audio, r.ms);
        break;
    case request_kind::status:
        write_status(em);
        break;
    case request_kind::invalid:
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            emu_error("control: bad request: %s", printable(line).c_str());
        }
        break;
    }
}

void fifo_readable(emulator &em) {
    char buf[512];
    ssize_t n = read(em.fifo_fd, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) {
        char c = buf[i];
        if (c == '\n') {
            if (em.fifo_overflow) {
                emu_error("control: request too long, ignored");
            } else {
                handle_request(em, em.fifo_line);
            }
            em.fifo_line.clear();
            em.fifo_overflow = false;
        } else if (em.fifo_line.size() < fifo_line_max) {
            em.fifo_line += c;
        } else {
            em.fifo_overflow = true;
        }
    }
}

void signal_readable(emulator &em) {
    signalfd_siginfo si{};
    if (read(em.sig_fd, &si, sizeof si) != sizeof si) {
        return;
    }
    switch (si.ssi_signo) {
    case SIGUSR1:
        emu_log("SIGUSR1: ring");
        ring(em, default_ring_number);
        break;
    case SIGUSR2:
        emu_log("SIGUSR2: unplug both");
        unplug(em, true, true, default_unplug_ms);
        break;
    default:
        emu_log("signal %u: stopping", si.ssi_signo);
        em.stop = true;
        break;
    }
}

// ---- setup and loop ----

bool setup_signals(emulator &em) {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&set, s);
    }
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        return false;
    }
    em.sig_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return em.sig_fd >= 0;
}

bool setup_fifo(emulator &em) {
    const char *path = em.opt.control;
    struct stat st {};
    // A FIFO left by an emulator that was killed is replaced; anything else
    // at that path is not ours to remove.
    if (lstat(path, &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            emu_error("%s exists and is not a FIFO", path);
            return false;
        }
        unlink(path);
    }
    if (mkfifo(path, 0660) != 0) {
        emu_error("mkfifo %s: %s", path, std::strerror(errno));
        return false;
    }
    // Read-write, so the FIFO never reads EOF when a writer closes.
    em.fifo_fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (em.fifo_fd < 0) {
        emu_error("open %s: %s", path, std::strerror(errno));
        unlink(path);
        return false;
    }
    return true;
}

void write_ready(const emulator &em) {
    std::string s = "pid=" + std::to_string(getpid()) + "\n";
    if (em.ctrl.link != nullptr) {
        s += "ctrl=" + em.ctrl.pty.slave_path + "\n";
    }
    if (em.audio.link != nullptr) {
        s += "audio=" + em.audio.pty.slave_path + "\n";
    }
    if (write_file_atomic(em.opt.ready, s)) {
        emu_log("ready: %s", em.opt.ready);
    }
}

void replug_due(emulator &em) {
    std::int64_t now = now_ms();
    for (channel *c : {&em.ctrl, &em.audio}) {
        if (c->replug_at < 0 || now < c->replug_at) {
            continue;
        }
        if (!channel_plug(*c)) {
            c->replug_at = now + (c->device ? device_reopen_ms : replug_retry_ms);
        }
    }
}

// Earlier of two deadlines, where -1 means none.
std::int64_t earliest(std::int64_t a, std::int64_t b) {
    if (a < 0) {
        return b;
    }
    if (b < 0) {
        return a;
    }
    return a < b ? a : b;
}

int poll_timeout(const emulator &em) {
    std::int64_t next = earliest(em.ctrl.replug_at, em.audio.replug_at);
    if (next < 0) {
        return -1;
    }
    std::int64_t left = next - now_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

void run_loop(emulator &em) {
    enum { SIG, FIFO, TIMER, CTRL, AUDIO, NFDS };
    while (!em.stop) {
        std::array<pollfd, NFDS> p{};
        p[SIG] = {em.sig_fd, POLLIN, 0};
        p[FIFO] = {em.fifo_fd, POLLIN, 0};
        p[TIMER] = {em.timer_fd, POLLIN, 0};
        short ctrl_events = em.ctrl_out.empty() ? POLLIN : POLLIN | POLLOUT;
        p[CTRL] = {em.ctrl.pty.master, ctrl_events, 0};
        p[AUDIO] = {em.audio.pty.master, POLLIN, 0};
        // Negative descriptors (channel down, no FIFO) are skipped by poll.
        if (poll(p.data(), p.size(), poll_timeout(em)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            emu_error("poll: %s", std::strerror(errno));
            return;
        }
        if (p[SIG].revents != 0) {
            signal_readable(em);
        }
        if (p[FIFO].revents != 0) {
            fifo_readable(em);
        }
        // A descriptor may have been closed by a request above; check again.
        // A hang-up with nothing left to read: a read would only say EAGAIN
        // and poll would report it again at once.
        for (auto [i, c] : {std::pair{CTRL, &em.ctrl}, std::pair{AUDIO, &em.audio}}) {
            if ((p[i].revents & (POLLHUP | POLLIN)) == POLLHUP && channel_up(*c) &&
                p[i].fd == c->pty.master) {
                master_failed(em, *c, "hang-up");
                p[i].revents = 0;
            }
        }
        if (p[CTRL].revents & POLLOUT && channel_up(em.ctrl)) {
            ctrl_flush(em);
        }
        if (p[CTRL].revents & (POLLIN | POLLHUP | POLLERR) && channel_up(em.ctrl) &&
            p[CTRL].fd == em.ctrl.pty.master) {
            ctrl_readable(em);
        }
        if (p[AUDIO].revents & (POLLIN | POLLHUP | POLLERR) && channel_up(em.audio) &&
            p[AUDIO].fd == em.audio.pty.master) {
            audio_readable(em);
        }
        if (p[TIMER].revents != 0) {
            audio_tick(em);
        }
        replug_due(em);
    }
}

void cleanup(emulator &em) {
    channel_unplug(em.ctrl);
    channel_unplug(em.audio);
    if (em.fifo_fd >= 0) {
        close(em.fifo_fd);
        unlink(em.opt.control);
    }
    if (em.opt.ready != nullptr) {
        unlink(em.opt.ready);
    }
    if (em.timer_fd >= 0) {
        close(em.timer_fd);
    }
    if (em.sig_fd >= 0) {
        close(em.sig_fd);
    }
}

} // namespace

int emulator_run(const options &opt) {
    emulator em;
    em.opt = opt;
    em.ctrl.name = "ctrl";
    em.ctrl.link = opt.ctrl;
    em.audio.name = "audio";
    em.audio.link = opt.audio;
    em.ctrl.device = opt.device;
    em.audio.device = opt.device;

    // Signals are blocked first, so a SIGTERM during setup still ends in a
    // clean exit from the loop.
    if (!setup_signals(em)) {
        emu_error("signals: %s", std::strerror(errno));
        return 1;
    }
    // A ready file from an earlier run must not be taken for ours.
    if (opt.ready != nullptr) {
        unlink(opt.ready);
    }
    em.timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    bool ok = em.timer_fd >= 0;
    if (!ok) {
        emu_error("timerfd_create: %s", std::strerror(errno));
    }
    if (ok && opt.control != nullptr) {
        ok = setup_fifo(em);
    }
    if (ok && opt.ctrl != nullptr) {
        ok = channel_plug(em.ctrl);
    }
    if (ok && opt.audio != nullptr) {
        ok = channel_plug(em.audio);
    }
    if (!ok) {
        cleanup(em);
        return 1;
    }
    if (opt.ready != nullptr) {
        write_ready(em);
    }

    run_loop(em);

    emu_log_always("exit: %s", status_line(em).c_str());
    cleanup(em);
    return 0;
}
