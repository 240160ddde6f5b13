#pragma once

// The pieces every program that runs the sandbox daemon needs: the tests,
// the soak, the benchmark and the demo launcher. The sandbox daemon is the
// daemon's own sources built with its device paths and lock directory
// relative to its working directory; the capture library, preloaded into
// it, sends every syslog message and every open over an inherited pipe.

#include "processes.hpp"

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The sandbox daemon and the capture library. The capture library is a
// copy in a directory of its own whose path has no space or colon (the
// dynamic loader splits LD_PRELOAD there) and that every user can reach,
// removed when this process exits; so is the daemon when another user
// cannot enter the build tree (a clone under a 0700 directory).
struct programs {
    std::string daemon;
    std::string capture;
};
const programs &sandbox_programs();

// TMPDIR, or /tmp.
std::string temp_dir();
// A fresh directory under temp_dir(), or "" when none could be made.
std::string make_temp_dir(const std::string &prefix);

// Polls `done` every 2 ms until it holds or `limit` has passed.
bool poll_until(const std::function<bool()> &done, steady::duration limit);

// The environment of the sandbox daemon: the capture library preloaded,
// told where its pipe is, and sanitizer options for a sanitizer build.
std::vector<std::string> daemon_environment();

struct spawn_options {
    std::vector<std::string> argv; // argv[0] is the program's full path
    std::vector<std::string> env;
    std::string dir;                  // working directory
    std::string out;                  // standard output (created)
    std::string err;                  // standard error (created; "" = the same as out)
    int events = -1;                  // write end of the capture pipe, or -1
    bool new_session = false;         // away from the caller's terminal and its signals
    std::function<void()> in_child{}; // runs in the child just before exec
};
// Forks and execs with default signal dispositions and an empty mask;
// everything the child needs is prepared before fork. Exit status 126
// means the set-up in the child failed, 127 that exec did.
pid_t spawn(const spawn_options &opts);

// One record of the capture library: 'S' for syslog (number is the
// priority), 'O' for open (number is the descriptor open returned), 'L'
// for a link into the lock directory (number is 0, or the error).
struct record {
    char kind;
    int number;
    long long usec; // on the monotonic clock
    std::string text;
};
// The capture library's escapes undone (\\, \n, \xHH).
std::string unescape(const std::string &escaped);
// One line, without its newline; the text is left escaped.
std::optional<record> parse_record_escaped(const std::string &line);
// Takes the whole lines out of `received` (a partial last line stays)
// and appends their records, text unescaped.
void take_records(std::string &received, std::vector<record> &out);

// A duplicate of a pseudo-terminal master that a child process holds at
// `fd` (pidfd_getfd; the caller must be allowed to trace it), or -1.
int take_master(pid_t pid, int fd);
// The slave of a master opened through /dev/ptmx: unlocked and opened
// with TIOCGPTPEER; -1 when it is not such a master.
int open_slave(int master, int flags);
// The index of the master's slave (/dev/pts/N) after unlocking it, or -1.
int unlock_slave(int master);

// What a process is doing, read from /proc: blocked in the daemon's main
// wait, or something else, described in `seen`. The main wait is the
// daemon's one wait for readable descriptors without a deadline (select,
// poll or epoll alike), so every port is set up and nothing is in
// progress; its other waits end after a second.
struct wait_probe {
    bool main_wait = false;
    bool blocked = false; // in some wait, main or not
    std::string seen;     // e.g. "syscall 23 (select), no deadline, in kernel function do_select"
};
wait_probe probe_wait(pid_t pid);
// The text to print when a process never reached its main wait.
std::string not_idle_reason(const wait_probe &last);

// Small file helpers.
std::string file_text(const std::string &path); // never follows a link
bool write_file(const std::string &path, const std::string &text);
// The full path of an installed program, or "" when it is missing.
std::string find_program(const std::string &name);

} // namespace sandbox
