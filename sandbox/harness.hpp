#pragma once

// Runs the sandbox build of the daemon against pseudo-terminals that the
// test holds: the test is the modem (it owns the modem ptys' masters and
// links their slaves at the daemon's modem paths) and the client (it
// reaches the slave of each master the daemon opens).

#include "sandbox.hpp"

#include <array>
#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;
using sandbox::steady;

// Generous: tests run in parallel on a loaded machine.
constexpr auto patience = 15s;

enum class channel { ctrl, audio };

// Whether the daemon under test publishes its masters' slaves at links
// (a build of the tests of its own).
extern const bool link_mode;

// Paths the sandbox daemon was built with, relative to its working directory.
const char *pty_path(channel c);
const char *gsm_path(channel c);
// How the daemon's messages name a master: its link in link mode.
const char *pty_name(channel c);
// Where a master's slave is published, or nullptr outside link mode.
const char *link_path(channel c);
// "lock/LCK..<name>"; a master given by its name (pty_name), as in link
// mode both masters are one path.
std::string lock_name(const std::string &device);
// The two masters as the tests refer to them: the path the daemon opens
// (in link mode one path for both), and the name its messages give (the
// same outside link mode).
inline const char *const ctrl_pty_path = pty_path(channel::ctrl);
inline const char *const audio_pty_path = pty_path(channel::audio);
inline const std::string ctrl_pty_name = pty_name(channel::ctrl);
inline const std::string audio_pty_name = pty_name(channel::audio);

// 'S' syslog (number: the priority) or 'O' open (number: the descriptor).
using entry = sandbox::record;

using sandbox::file_text; // never follows a link
using sandbox::find_program;
using sandbox::write_file;
std::string lock_text(pid_t pid); // "%10d\n"
// The process ID at the start of a lock file's text, padded or not, as
// every program that writes one reads it; 0 if none.
pid_t lock_pid(const std::string &path);
pid_t gone_pid(); // a process ID that no process has any more

// The state letter of a process (R, S, T, Z, ...), or 0 when it is gone.
char process_state(pid_t pid);

// Bytes waiting to be read on a terminal descriptor.
std::size_t pending(int fd);

inline bool poll_until(const std::function<bool()> &done, steady::duration limit = patience) {
    return sandbox::poll_until(done, limit);
}

// A pseudo-terminal pair the test owns; the slave stays closed until
// someone opens the path.
struct pty {
    int master = -1;
    std::string slave;
    pty();
    ~pty();
    pty(const pty &) = delete;
    pty &operator=(const pty &) = delete;
};

// Non-blocking I/O with deadlines.
// Up to `count` bytes: fewer only when `limit` passes first.
std::string read_for(int fd, std::size_t count, steady::duration limit = patience);
// What arrives until nothing has come for `quiet`.
std::string read_available(int fd, steady::duration quiet = 50ms);
bool write_all(int fd, const std::string &data, steady::duration limit = patience);
// Moves data from `from` to `to` through the daemon while reading it back,
// never letting more than `window` bytes be in flight.
std::string pump(int from, int to, const std::string &data, std::size_t window = 8192);

struct options {
    std::vector<std::string> args = {};
    bool link_ctrl_pty = true; // else the ctrl master's path (in link mode both's) is missing
    bool start = true;
    std::function<void()> in_child = {}; // runs in the child just before exec
    std::vector<std::string> env = {};   // added to the daemon's environment
    std::string program = {};            // another sandbox build; "" for the usual one
};

class bridge {
  public:
    explicit bridge(options opts = {});
    ~bridge();
    bridge(const bridge &) = delete;
    bridge &operator=(const bridge &) = delete;

    // Starts the daemon; once it has exited, starts it again in the same
    // directory (the log of every run is kept).
    void start();
    options &settings() {
        return opts_; // for the next start
    }
    pid_t pid() const {
        return pid_;
    }
    const std::string &dir() const {
        return dir_;
    }
    std::string path(const std::string &relative) const {
        return dir_ + "/" + relative;
    }

    pty &modem(channel c) {
        return c == channel::ctrl ? ctrl_modem_ : audio_modem_;
    }

    // Snapshot of what the daemon has logged and opened so far.
    std::vector<entry> events();
    std::vector<entry> messages(); // only 'S'
    std::vector<std::string> texts(int priority = -1);
    bool wait_message(const std::string &text, steady::duration limit = patience);
    bool wait_count(const std::string &text, std::size_t count, steady::duration limit = patience);
    std::size_t count(const std::string &text);
    // Index of the first message with this text, or -1.
    long index_of(const std::string &text);

    // Number of successful opens of a path so far; of a master, given by
    // its name (pty_name), those of that channel alone.
    std::size_t opens(const std::string &device);
    // Waits until the daemon holds the master of a channel (after `seen`
    // earlier opens of it) and returns the test's own end of its slave.
    // The test keeps a duplicate of the master to see what waits on it.
    int attach(channel c, std::size_t seen = 0);
    // The same for the legacy master at `device` of another sandbox build.
    int attach(const char *device, std::size_t seen = 0);
    // Bytes the client has sent that the daemon has not read yet.
    std::size_t unread_from_client(channel c);
    // Bytes the modem has sent that the daemon has not read yet.
    std::size_t unread_from_modem(channel c);
    // The first message with this text, if any.
    std::optional<entry> find(const std::string &text);

    // Sends a signal and waits for the exit; returns the wait status.
    std::optional<int> stop(int sig = SIGTERM, steady::duration limit = patience);
    std::optional<int> wait_exit(steady::duration limit = patience);
    bool running();
    // Blocked in its main wait: every port served, nothing in progress.
    bool idle();
    // What the last idle() saw, for a failure message.
    std::string not_idle_reason() const;

    bool lock_exists(const std::string &device) const;

  private:
    // The descriptors of the successful opens counted by opens(), in order.
    std::vector<int> opened(const std::string &device);
    int attach_to(const std::string &device, const char *link, std::size_t seen, int &kept);
    void reader();
    bool drain_locked();
    void parse_locked();

    options opts_;
    std::string dir_;
    pty ctrl_modem_;
    pty audio_modem_;
    std::array<int, 2> masters_{-1, -1};
    pid_t pid_ = -1;
    int events_read_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::string partial_;        // received, not yet a whole record
    std::vector<entry> entries_; // every whole record so far
    std::optional<int> status_;
    sandbox::wait_probe last_wait_;
};

} // namespace harness
