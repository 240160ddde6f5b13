#include "harness.hpp"

#include "processes.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        sandbox::fail_hard(std::string("harness: ") + what + " failed: " + std::strerror(errno));
    }
}

} // namespace

// The paths of the sandbox build under test, as CMake configured it.
const bool link_mode = PTYBRIDGE_SANDBOX_CTRL_LINK[0] != '\0';

const char *pty_path(channel c) {
    return c == channel::ctrl ? PTYBRIDGE_SANDBOX_CTRL_PTY : PTYBRIDGE_SANDBOX_AUDIO_PTY;
}

const char *link_path(channel c) {
    if (!link_mode) {
        return nullptr;
    }
    return c == channel::ctrl ? PTYBRIDGE_SANDBOX_CTRL_LINK : PTYBRIDGE_SANDBOX_AUDIO_LINK;
}

const char *pty_name(channel c) {
    return link_mode ? link_path(c) : pty_path(c);
}

const char *gsm_path(channel c) {
    return c == channel::ctrl ? PTYBRIDGE_SANDBOX_CTRL_GSM : PTYBRIDGE_SANDBOX_AUDIO_GSM;
}

namespace {

// The channel whose master the daemon's messages call `name`, if any.
std::optional<channel> master_named(const std::string &name) {
    for (const channel c : {channel::ctrl, channel::audio}) {
        if (name == pty_name(c)) {
            return c;
        }
    }
    return std::nullopt;
}

} // namespace

std::string lock_name(const std::string &device) {
    // A master is locked under the name its build gave it.
    const auto master = master_named(device);
    const std::string locked = !master                    ? device
                               : *master == channel::ctrl ? PTYBRIDGE_SANDBOX_CTRL_LOCK
                                                          : PTYBRIDGE_SANDBOX_AUDIO_LOCK;
    return std::string(PTYBRIDGE_SANDBOX_LOCK_DIR "/LCK..") +
           std::filesystem::path(locked).filename().string();
}

std::string lock_text(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

pid_t lock_pid(const std::string &path) {
    return static_cast<pid_t>(std::strtol(file_text(path).c_str(), nullptr, 10));
}

pid_t gone_pid() {
    const pid_t child = sandbox::fork_child();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

char process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? '\0' : text[end + 2];
}

std::size_t pending(int fd) {
    int n = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

pty::pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    check(master >= 0, "posix_openpt");
    check(grantpt(master) == 0 && unlockpt(master) == 0, "unlockpt");
    char name[64];
    check(ptsname_r(master, name, sizeof name) == 0, "ptsname_r");
    slave = name;
}

pty::~pty() {
    if (master >= 0) {
        close(master);
    }
}

std::string read_for(int fd, std::size_t count, steady::duration limit) {
    std::string got;
    const auto deadline = steady::now() + limit;
    char buffer[8192];
    while (got.size() < count && steady::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // Nobody holds the other side (yet): poll reports it at once,
            // so pause before the next try rather than spin.
            std::this_thread::sleep_for(5ms);
        }
    }
    return got;
}

std::string read_available(int fd, steady::duration quiet) {
    std::string got;
    char buffer[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ms =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count());
        if (poll(&p, 1, ms) <= 0 || (p.revents & POLLIN) == 0) {
            return got;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

bool write_all(int fd, const std::string &data, steady::duration limit) {
    std::size_t done = 0;
    const auto deadline = steady::now() + limit;
    while (done < data.size()) {
        if (steady::now() > deadline) {
            return false;
        }
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 20);
    }
    return true;
}

std::string pump(int from, int to, const std::string &data, std::size_t window) {
    std::string got;
    std::size_t sent = 0;
    const auto deadline = steady::now() + patience * 2;
    char buffer[8192];
    while (got.size() < data.size() && steady::now() < deadline) {
        if (sent < data.size() && sent - got.size() < window) {
            const std::size_t chunk =
                std::min({data.size() - sent, window - (sent - got.size()), std::size_t{4096}});
            const ssize_t n = write(from, data.data() + sent, chunk);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            }
        }
        pollfd p{to, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(to, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    return got;
}

bridge::bridge(options opts) : opts_(std::move(opts)) {
    dir_ = sandbox::make_temp_dir("ptybridge");
    check(!dir_.empty(), "mkdtemp");
    // The directories of the build's paths, which the daemon does not make.
    const auto parent = [](const char *p) { return std::filesystem::path(p).parent_path(); };
    for (const channel c : {channel::ctrl, channel::audio}) {
        std::filesystem::create_directories(path(parent(pty_path(c))));
        std::filesystem::create_directories(path(parent(gsm_path(c))));
        if (link_mode) {
            std::filesystem::create_directories(path(parent(link_path(c))));
        }
    }
    std::filesystem::create_directories(path(PTYBRIDGE_SANDBOX_LOCK_DIR));
    if (opts_.link_ctrl_pty) {
        std::filesystem::create_symlink("/dev/ptmx", path(pty_path(channel::ctrl)));
    }
    if (std::strcmp(pty_path(channel::audio), pty_path(channel::ctrl)) != 0) {
        std::filesystem::create_symlink("/dev/ptmx", path(pty_path(channel::audio)));
    }
    std::filesystem::create_symlink(ctrl_modem_.slave, path(gsm_path(channel::ctrl)));
    std::filesystem::create_symlink(audio_modem_.slave, path(gsm_path(channel::audio)));
    if (opts_.start) {
        start();
    }
}

bridge::~bridge() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (events_read_ >= 0) {
        close(events_read_);
    }
    for (const int fd : masters_) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (std::getenv("PTYBRIDGE_KEEP_SANDBOX") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

void bridge::start() {
    if (reader_.joinable()) {
        reader_.join();
    }
    if (events_read_ >= 0) {
        close(events_read_);
        events_read_ = -1;
    }
    partial_.clear(); // a killed run may have left half a record
    // Earlier runs' records are kept: only a new "loaded" counts.
    const auto said_loaded = [this] {
        const auto all = this->events();
        return std::count_if(all.begin(), all.end(), [](const entry &e) { return e.kind == 'H'; });
    };
    const auto loaded_before = said_loaded();
    std::array<int, 2> events{};
    check(pipe2(events.data(), O_CLOEXEC) == 0, "pipe2");
    check(fcntl(events[0], F_SETFL, O_NONBLOCK) == 0, "fcntl");
    sandbox::spawn_options run;
    run.argv = {opts_.program.empty() ? sandbox::sandbox_programs().daemon : opts_.program};
    run.argv.insert(run.argv.end(), opts_.args.begin(), opts_.args.end());
    run.env = sandbox::daemon_environment();
    run.env.insert(run.env.end(), opts_.env.begin(), opts_.env.end());
    run.dir = dir_;
    run.out = path("stdout");
    run.err = path("stderr");
    run.events = events[1];
    run.in_child = opts_.in_child;
    pid_ = sandbox::spawn(run);
    check(pid_ >= 0, "fork");
    close(events[1]);
    events_read_ = events[0];
    reader_ = std::thread([this] { reader(); });
    status_.reset();
    // Without the capture library every later wait would only time out:
    // say so now. Its record is written before the daemon's main runs, so
    // it is in the pipe once the daemon waits anywhere in its loop.
    bool waiting = false;
    const auto loaded = [&] {
        waiting = sandbox::probe_wait(pid_).blocked;
        return said_loaded() > loaded_before;
    };
    if (!poll_until([&] { return loaded() || waiting || !running(); }) || !loaded()) {
        const std::string status = status_
                                       ? "it exited with wait status " + std::to_string(*status_)
                                   : waiting ? "it is waiting in its loop"
                                             : "it is running";
        sandbox::fail_hard(
            "harness: the capture library (LD_PRELOAD=" + sandbox::sandbox_programs().capture +
            ") never said it was loaded into the daemon; " + status +
            ". Its stderr: " + file_text(path("stderr")));
    }
}

void bridge::reader() {
    // Keeps the pipe from filling while the test looks elsewhere.
    for (;;) {
        pollfd p{events_read_, POLLIN, 0};
        poll(&p, 1, 100);
        std::lock_guard<std::mutex> hold(mutex_);
        if (!drain_locked()) {
            return;
        }
    }
}

bool bridge::drain_locked() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(events_read_, buffer, sizeof buffer);
        if (n > 0) {
            partial_.append(buffer, static_cast<std::size_t>(n));
            parse_locked();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN; // else the daemon is gone
    }
}

// Turns the whole records received so far into entries; the last one may
// still be on its way.
void bridge::parse_locked() {
    sandbox::take_records(partial_, entries_);
}

std::vector<entry> bridge::events() {
    std::lock_guard<std::mutex> hold(mutex_);
    // What the daemon wrote before this moment is in the pipe if the reader
    // has not taken it yet.
    drain_locked();
    return entries_;
}

std::vector<entry> bridge::messages() {
    std::vector<entry> out;
    for (auto &e : events()) {
        if (e.kind == 'S') {
            out.push_back(std::move(e));
        }
    }
    return out;
}

std::vector<std::string> bridge::texts(int priority) {
    std::vector<std::string> out;
    for (auto &e : messages()) {
        if (priority < 0 || e.number == priority) {
            out.push_back(std::move(e.text));
        }
    }
    return out;
}

std::size_t bridge::count(const std::string &text) {
    const auto all = texts();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), text));
}

long bridge::index_of(const std::string &text) {
    const auto all = texts();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i] == text) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool bridge::wait_message(const std::string &text, steady::duration limit) {
    return wait_count(text, 1, limit);
}

bool bridge::wait_count(const std::string &text, std::size_t n, steady::duration limit) {
    return poll_until([&] { return count(text) >= n; }, limit);
}

namespace {

// Where both masters are one path (link mode), what counts of a channel's
// masters is each slave published at its link: the daemon renames it over
// the link, from a fresh master or from the spare it keeps ready.
std::optional<channel> shared_master(const std::string &device) {
    const auto master = master_named(device);
    if (master && std::strcmp(pty_path(channel::ctrl), pty_path(channel::audio)) == 0) {
        return master;
    }
    return std::nullopt;
}

} // namespace

std::vector<int> bridge::opened(const std::string &device) {
    const auto master = master_named(device);
    const std::string path = master ? pty_path(*master) : device;
    std::vector<int> fds;
    for (const auto &e : events()) {
        if (e.kind == 'O' && e.number >= 0 && e.text == path) {
            fds.push_back(e.number);
        }
    }
    return fds;
}

std::size_t bridge::opens(const std::string &device) {
    const auto shared = shared_master(device);
    if (!shared) {
        return opened(device).size();
    }
    std::size_t published = 0;
    for (const auto &e : events()) {
        published += e.kind == 'R' && e.number == 0 && e.text == link_path(*shared) ? 1 : 0;
    }
    return published;
}

int bridge::attach_to(const std::string &device, const char *link_name, std::size_t seen,
                      int &kept) {
    if (!poll_until([&] { return opens(device) > seen; })) {
        return -1;
    }
    int master = -1;
    int slave = -1;
    if (link_name != nullptr) {
        // As a client does: through the link. The test's duplicate of the
        // master is the one of the daemon's masters whose slave that is.
        const std::string link = path(link_name);
        // Until the link names one of this daemon's masters: what a killed
        // one left is replaced only once the new master is set up.
        (void)poll_until([&] {
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(link, error).string();
            const std::vector<int> fds = opened(device);
            for (auto fd = fds.rbegin(); !error && fd != fds.rend() && master < 0; ++fd) {
                master = sandbox::take_master(pid_, *fd);
                unsigned int number = 0;
                if (master >= 0 && (ioctl(master, TIOCGPTN, &number) != 0 ||
                                    target != "/dev/pts/" + std::to_string(number))) {
                    close(master);
                    master = -1;
                }
            }
            return master >= 0;
        });
        check(master >= 0, "taking the published master from the daemon (pidfd_getfd)");
        slave = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        check(slave >= 0, "opening the link");
    } else {
        master = sandbox::take_master(pid_, opened(device).back());
        check(master >= 0, "taking a pseudo-terminal master from the daemon (pidfd_getfd)");
        slave = sandbox::open_slave(master, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        check(slave >= 0, "opening its slave (TIOCGPTPEER)");
    }
    if (kept >= 0) {
        close(kept);
    }
    kept = master;
    // Wait until the daemon is back in its wait for input, its flush and
    // settings of the new port done (and, at a link, the link moved on), so
    // nothing the test sends is flushed. While a master of the other
    // channel is missing, that wait has the retry's deadline.
    if (!poll_until([&] { return idle() || last_wait_.blocked; })) {
        sandbox::fail_hard("harness: " + not_idle_reason());
    }
    return slave;
}

int bridge::attach(channel c, std::size_t seen) {
    return attach_to(pty_name(c), link_path(c), seen, masters_[static_cast<std::size_t>(c)]);
}

int bridge::attach(const char *device, std::size_t seen) {
    int kept = -1;
    const int slave = attach_to(device, nullptr, seen, kept);
    if (kept >= 0) {
        close(kept);
    }
    return slave;
}

std::size_t bridge::unread_from_client(channel c) {
    return pending(masters_[static_cast<std::size_t>(c)]);
}

std::size_t bridge::unread_from_modem(channel c) {
    const int slave = ::open(modem(c).slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const std::size_t n = pending(slave);
    close(slave);
    return n;
}

std::optional<entry> bridge::find(const std::string &text) {
    for (auto &e : messages()) {
        if (e.text == text) {
            return e;
        }
    }
    return std::nullopt;
}

bool bridge::idle() {
    last_wait_ = sandbox::probe_wait(pid_);
    return last_wait_.main_wait;
}

std::string bridge::not_idle_reason() const {
    return sandbox::not_idle_reason(last_wait_);
}

std::optional<int> bridge::stop(int sig, steady::duration limit) {
    if (status_) {
        return status_;
    }
    kill(pid_, sig);
    return wait_exit(limit);
}

std::optional<int> bridge::wait_exit(steady::duration limit) {
    int status = 0;
    if (!status_ && poll_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) {
        status_ = status;
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    return status_;
}

bool bridge::running() {
    return !wait_exit(0ms).has_value();
}

bool bridge::lock_exists(const std::string &device) const {
    struct stat st {};
    return lstat(path(lock_name(device)).c_str(), &st) == 0;
}

} // namespace harness
