#pragma once

// What the field tests share: a look at the daemon's
// descriptors and memory from /proc, other serial programs run in a mount
// namespace of their own, and the daemon run under valgrind on request
// (PTYBRIDGE_VALGRIND=1, its report in the sandbox's stderr file).

#include "harness.hpp"

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace field {

using namespace harness;

bool is_root();

// The modem of one channel as the test holds it: the harness's first
// terminal, then a new one at each replug.
struct modem_side {
    std::unique_ptr<pty> replugged;
    int master(bridge &b, channel c);
    // The device path goes away with the terminal (and a new terminal of
    // another program could otherwise take the old number meanwhile).
    void unplug(bridge &b, channel c);
    void replug(bridge &b, channel c);
};

// Options for a bridge; under PTYBRIDGE_VALGRIND the daemon runs in
// memcheck, with any errors turned into exit status 99.
options daemon_options(options opts = {});
bool under_valgrind();
// Waits scaled for valgrind's slowness.
steady::duration slow(steady::duration d);

// The resources the daemon holds, to compare between cycles.
struct resources {
    std::vector<std::string> descriptors; // "fd -> target", pts numbers hidden
    long rss_kb = -1;
    std::vector<std::string> lock_files; // names in the lock directory
    std::size_t watches = 0;             // inotify watches
    bool emulated = false;               // run by qemu-user: its RSS is qemu's own too
    bool operator==(const resources &) const = default;
};
resources resources_of(pid_t pid, const std::string &lock_dir);
// False under valgrind or the sanitizers, whose own memory grows as the
// daemon runs.
bool memory_is_measured();
// The same descriptors, watches and lock files, and no more memory (not
// judged under qemu-user, whose own memory is in the RSS).
bool no_growth(const resources &before, const resources &now);
std::string describe(const resources &r);

// Makes the sandbox's device paths and lock directory usable by other
// users: some peers, and a daemon run as another user, change user before
// they lock and open.
void share_with_other_users(bridge &b, mode_t lock_dir_mode);

// Another serial program run on a terminal of its own, in a private mount
// namespace where the system lock directory is the test's lock directory.
class peer {
  public:
    peer(const std::string &lock_dir, std::vector<std::string> argv,
         std::vector<std::string> env = {});
    ~peer();
    peer(const peer &) = delete;
    peer &operator=(const peer &) = delete;

    pid_t pid() const {
        return pid_;
    }
    // Everything it has shown on its terminal so far.
    const std::string &output();
    bool wait_output(const std::string &text, steady::duration limit = patience);
    // Types on its terminal, as a person would.
    bool type(const std::string &keys);
    // Waits for the exit and reaps it: the wait status.
    std::optional<int> wait_exit(steady::duration limit = patience);
    std::optional<int> stop(int sig, steady::duration limit = patience);
    bool running();

  private:
    void drain();
    pid_t pid_ = -1;
    int terminal_ = -1;
    std::string output_;
    std::optional<int> status_;
};

} // namespace field
