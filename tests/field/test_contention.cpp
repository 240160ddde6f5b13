// Several daemons and the common serial programs take and give back one
// modem over and over, some holders killed outright so that their locks go
// stale, while a watcher looks at every process's descriptors. The daemons
// share the modem's terminal and the lock directory; each other program
// runs in a mount namespace of its own where the system lock directory is
// the test's.
//
// The daemons report through the capture library every lock file they
// link and every file they remove in the lock directory, with the owner it
// named and whether that owner was alive. That tells a daemon's takeover
// apart from a peer's own hand-over: minicom removes its lock file on its
// way out while it still has the device open, and minicom and cu remove a
// lock they judged stale by its name some time later, when it may already
// be a daemon's new one.

#include "field.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace field;
namespace fs = std::filesystem;

namespace {

// How long the programs contend at least; PTYBRIDGE_CONTENTION_SECONDS
// makes a longer run. On a slow machine (an emulator, a sanitizer) the run
// goes on, up to four times as long, until the cases that matter came up.
steady::duration contention_time() {
    const char *seconds = std::getenv("PTYBRIDGE_CONTENTION_SECONDS");
    const long n = seconds != nullptr ? std::strtol(seconds, nullptr, 10) : 0;
    return std::chrono::seconds(n > 0 ? n : 8);
}
// A process counts as holding the modem once it has had it open this long
// without a break: a program that opens the device and only then finds it
// locked (flock) closes it again within microseconds.
constexpr auto hold_time = 100ms;

enum kind : std::size_t { ptybridge, minicom, cu, socat, picocom, tio };
constexpr std::array<const char *, 6> kind_names{"ptybridge", "minicom", "cu",
                                                 "socat",     "picocom", "tio"};

// Programs that keep a lock file and may give it up while they still have
// the device open. picocom and tio only flock the device, and a daemon
// removes its lock only once it has closed.
bool may_hand_over(kind k) {
    return k == minicom || k == cu || k == socat;
}

bool ended(pid_t pid) {
    const char state = process_state(pid);
    return state == 'Z' || state == '\0';
}

// The process and all its descendants.
void add_tree(pid_t pid, std::set<pid_t> &out) {
    out.insert(pid);
    std::error_code ignored;
    for (const auto &t :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream children(t.path() / "children");
        for (pid_t child = 0; children >> child;) {
            add_tree(child, out);
        }
    }
}

bool has_open(pid_t pid, dev_t device) {
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent *e = readdir(dir)) {
        struct stat st {};
        found = found || (e->d_name[0] != '.' && fstatat(dirfd(dir), e->d_name, &st, 0) == 0 &&
                          S_ISCHR(st.st_mode) && st.st_rdev == device);
    }
    closedir(dir);
    return found;
}

// A program the watcher follows, by its first process.
struct program {
    kind what;
    std::set<pid_t> pids{}; // every process of its tree ever seen
    bool live = true;
    bool holds = false;
    int rounds_open = 0;
    steady::time_point since{};
};

// Samples, as fast as it can, which programs have the modem open, and
// notes each pair with a daemon in it that held the modem at once. Its
// results are read once it has stopped.
class watcher {
  public:
    explicit watcher(const std::string &device) {
        struct stat st {};
        device_ = stat(device.c_str(), &st) == 0 ? st.st_rdev : 0;
        thread_ = std::thread([this] {
            while (!done_) {
                round();
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    ~watcher() {
        stop();
    }
    watcher(const watcher &) = delete;
    watcher &operator=(const watcher &) = delete;
    void stop() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void add(pid_t root, kind k) {
        const std::lock_guard<std::mutex> hold(mutex_);
        programs[root] = {k, {root}};
    }
    // Once the process has ended and before it is reaped, so that its
    // number cannot have gone to another process yet.
    void remove(pid_t root) {
        const std::lock_guard<std::mutex> hold(mutex_);
        programs.at(root).live = false;
    }
    // A daemon held the modem, and one tried while a lock-file program did.
    bool exercised() {
        const std::lock_guard<std::mutex> hold(mutex_);
        return daemon_holds > 0 && attempts_on_lock_files > 0;
    }
    bool holds(pid_t root) {
        const std::lock_guard<std::mutex> hold(mutex_);
        return programs.at(root).holds;
    }
    // A daemon is about to try for the modem: counted when a program that
    // keeps a lock file holds it, the case every daemon must leave alone.
    void daemon_attempt() {
        const std::lock_guard<std::mutex> hold(mutex_);
        attempts_on_lock_files += std::any_of(programs.begin(), programs.end(), [](const auto &p) {
            return p.second.live && p.second.holds && may_hand_over(p.second.what);
        });
    }

    std::map<pid_t, program> programs;
    std::vector<std::pair<pid_t, pid_t>> overlaps;
    long daemon_holds = 0;
    long attempts_on_lock_files = 0;

  private:
    void round() {
        const std::lock_guard<std::mutex> hold(mutex_);
        std::vector<pid_t> holders;
        for (auto &[root, p] : programs) {
            if (!p.live) {
                continue;
            }
            std::set<pid_t> tree;
            add_tree(root, tree);
            p.pids.insert(tree.begin(), tree.end());
            const bool open = std::any_of(tree.begin(), tree.end(), [&](pid_t pid) {
                return (pid == root || !ended(pid)) && has_open(pid, device_);
            });
            const auto now = steady::now();
            p.since = p.rounds_open == 0 ? now : p.since;
            p.rounds_open = open ? p.rounds_open + 1 : 0;
            // Seen open in several rounds in a row: one slow round on a
            // loaded machine must not join two short opens into a hold.
            const bool held = open && now - p.since >= hold_time && p.rounds_open >= 3;
            daemon_holds += held && !p.holds && p.what == ptybridge;
            p.holds = held;
            if (held) {
                holders.push_back(root);
            }
        }
        std::set<std::pair<pid_t, pid_t>> now_overlapping;
        for (const pid_t a : holders) {
            for (const pid_t b : holders) {
                if (a < b &&
                    (programs.at(a).what == ptybridge || programs.at(b).what == ptybridge)) {
                    now_overlapping.insert({a, b});
                    if (!overlapping_.contains({a, b})) {
                        overlaps.emplace_back(a, b);
                    }
                }
            }
        }
        overlapping_ = std::move(now_overlapping);
    }

    dev_t device_;
    std::mutex mutex_;
    std::set<std::pair<pid_t, pid_t>> overlapping_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Whether this process may make a mount namespace of its own.
bool namespaces_available() {
    const pid_t child = sandbox::fork_child();
    if (child == 0) {
        _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// What one daemon recorded about the lock directory and the modem.
struct daemon_log {
    pid_t pid;
    std::vector<entry> records;
};

// The one modem all of them share, the lock directory, the daemons'
// records, and what goes wrong in the threads that drive them.
struct site {
    std::string dir = sandbox::make_temp_dir("ptybridge-share");
    pty modem;
    std::string device = dir + "/dev/ttyACM12"; // a link to the modem, as the peers name it
    std::string lock_dir = dir + "/lock";
    std::atomic<bool> over{false};
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<daemon_log> daemons;

    site() {
        if (dir.empty()) {
            return;
        }
        fs::create_directory(dir + "/dev");
        fs::create_directory(lock_dir);
        fs::create_symlink(modem.slave, device);
        // cu changes to user uucp before it locks and opens; as another
        // user it could not remove root's stale lock from a sticky directory.
        chmod(dir.c_str(), 0755);
        chmod((dir + "/dev").c_str(), 0755);
        chmod(lock_dir.c_str(), 0777);
        chmod(modem.slave.c_str(), 0666);
    }
    ~site() {
        if (!dir.empty() && std::getenv("PTYBRIDGE_KEEP_SANDBOX") == nullptr) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    }
    site(const site &) = delete;
    site &operator=(const site &) = delete;

    [[nodiscard]] bool running() const {
        return !over;
    }
    void fail(const std::string &what) {
        const std::lock_guard<std::mutex> hold(mutex);
        failures.push_back(what);
    }
};

// Lets a pace go by; the deadline still ends the run on time.
void pace(std::mt19937 &random, int from_ms, int to_ms) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(from_ms, to_ms)(random)));
}

// Waits for the process to end without reaping it, so that its number
// still names it while the watcher looks.
bool wait_ended(pid_t pid, steady::duration limit = slow(patience)) {
    return poll_until([&] { return ended(pid); }, limit);
}

#ifndef PTYBRIDGE_CONTENTION_DAEMONS
#error "PTYBRIDGE_CONTENTION_DAEMONS must name the daemons, one for each set of terminal names"
#endif

// One daemon build for each letter: its pseudo-terminals are dev/pty<l>6
// and dev/pty<l>7, whose lock files must not meet those of the others.
struct daemon_build {
    std::string program;
    std::string ctrl_pty;
    std::string audio_pty;
};

std::vector<daemon_build> daemon_builds() {
    std::vector<daemon_build> out;
    std::istringstream list(PTYBRIDGE_CONTENTION_DAEMONS);
    const std::string letters = "pqr";
    for (std::string program; std::getline(list, program, ':') && out.size() < letters.size();) {
        const std::string pty = std::string("dev/pty") + letters[out.size()];
        out.push_back({program, pty + "6", pty + "7"});
    }
    return out;
}

// A daemon in a sandbox of its own whose modem and lock directory are the
// shared ones.
std::unique_ptr<bridge> shared_daemon(site &s, const daemon_build &d) {
    auto b = std::make_unique<bridge>(options{.start = false, .program = d.program});
    for (const std::string &pty : {d.ctrl_pty, d.audio_pty}) {
        if (!fs::exists(fs::symlink_status(b->path(pty)))) {
            fs::create_symlink("/dev/ptmx", b->path(pty));
        }
    }
    fs::remove(b->path("lock"));
    fs::create_directory_symlink(s.lock_dir, b->path("lock"));
    fs::remove(b->path(gsm_path(channel::ctrl)));
    fs::create_symlink(s.modem.slave, b->path(gsm_path(channel::ctrl)));
    b->start();
    return b;
}

// A daemon whose client writes to take the modem and hangs up to give it
// back; every fourth hold the daemon is killed outright instead, its lock
// left stale, and a new one takes its place.
void drive_daemons(site &s, watcher &w, const daemon_build &d, unsigned seed) {
    std::mt19937 random(seed);
    const std::string lost = d.ctrl_pty + " data lost, cannot open " + gsm_path(channel::ctrl);
    for (long held = 0; s.running();) {
        auto b = shared_daemon(s, d);
        const pid_t pid = b->pid();
        const std::string name = "ptybridge " + std::to_string(pid);
        w.add(pid, ptybridge);
        int client = b->attach(d.ctrl_pty.c_str(), 0);
        std::size_t attached = 1;
        bool killed = false;
        while (client >= 0 && s.running() && !killed) {
            pace(random, 20, 200);
            const std::size_t lost_before = b->count(lost);
            w.daemon_attempt();
            if (!write_all(client, "AT\r")) {
                s.fail(name + ": client write failed");
                break;
            }
            poll_until([&] { return w.holds(pid) || b->count(lost) > lost_before; },
                       slow(patience));
            if (!w.holds(pid)) {
                continue;
            }
            pace(random, 300, 1000);
            killed = ++held % 4 == 0;
            if (killed) {
                kill(pid, SIGKILL);
            } else {
                close(client);
                client = b->attach(d.ctrl_pty.c_str(), attached++);
            }
        }
        if (client < 0) {
            s.fail(name + " did not open its client's master");
        }
        if (!killed) {
            kill(pid, SIGTERM);
        }
        if (!wait_ended(pid)) {
            s.fail(name + " did not end");
            kill(pid, SIGKILL);
            wait_ended(pid);
        }
        w.remove(pid);
        b->wait_exit();
        {
            const std::lock_guard<std::mutex> hold(s.mutex);
            s.daemons.push_back({pid, b->events()});
        }
        if (client >= 0) {
            close(client);
        }
    }
}

struct peer_plan {
    kind what;
    std::vector<std::string> argv;
    int quit;       // after which it leaves in order
    bool kill_some; // kill every third holder outright
};

// Starts the program again and again: it takes the modem if it can, keeps
// it for a while and leaves, or is killed outright.
void drive_peer(site &s, watcher &w, const peer_plan &plan, unsigned seed) {
    std::mt19937 random(seed);
    for (long held = 0; s.running(); pace(random, 200, 1000)) {
        peer p(s.lock_dir, plan.argv);
        const pid_t pid = p.pid();
        if (pid <= 0) {
            s.fail(plan.argv[0] + " did not start: " + p.output());
            return;
        }
        w.add(pid, plan.what);
        // Its terminal is read all along: one that cannot write its screen
        // stops, and would not even leave.
        const auto until = [&](const std::function<bool()> &done, steady::duration limit) {
            return poll_until(
                [&] {
                    p.output();
                    return done();
                },
                limit);
        };
        // One that finds the modem taken leaves at once, or waits for it (tio).
        until([&] { return w.holds(pid) || ended(pid) || !s.running(); }, slow(3s));
        if (w.holds(pid)) {
            until([] { return false; },
                  std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 1000)(random)));
            // The whole group when killed: a child must not keep the modem.
            const bool killed = plan.kill_some && ++held % 3 == 0;
            kill(killed ? -pid : pid, killed ? SIGKILL : plan.quit);
        } else {
            kill(pid, SIGTERM);
        }
        if (!until([&] { return ended(pid); }, slow(5s))) {
            kill(-pid, SIGKILL);
            wait_ended(pid);
        }
        kill(-pid, SIGKILL); // anything it left behind in its group
        w.remove(pid);
        p.wait_exit();
    }
}

// What the daemons' own records show against them.
struct verdict {
    std::vector<std::string> live_locks_removed;
    // Overlaps with a daemon that no program's own hand-over explains, and
    // opens of the modem without the daemon's own lock file in place.
    std::vector<std::string> modem_shared;
    long handed_over = 0; // overlaps after the other program gave its lock up
    long stale_taken = 0; // modem lock files of dead owners a daemon removed
};

verdict judge(const std::vector<daemon_log> &daemons, const watcher &w) {
    const std::string modem = gsm_path(channel::ctrl);
    const std::string lock = lock_name(gsm_path(channel::ctrl));
    verdict v;
    std::map<pid_t, pid_t> removed; // owner of a modem lock -> the daemon that removed it
    std::set<pid_t> unlocked;       // daemons that opened the modem without their lock
    for (const auto &d : daemons) {
        const std::string name = "ptybridge " + std::to_string(d.pid);
        bool locked = false;
        for (const auto &r : d.records) {
            // "U": "<state> <path>", the owner's state when it was removed.
            const std::size_t space = r.kind == 'U' ? r.text.find(' ') : std::string::npos;
            const std::string state = r.text.substr(0, space == std::string::npos ? 0 : space);
            const std::string path = space == std::string::npos ? r.text : r.text.substr(space + 1);
            if (r.kind == 'U' && state == "alive") {
                v.live_locks_removed.push_back(name + " removed " + path + " of live process " +
                                               std::to_string(r.number));
            }
            if (r.kind == 'U' && path == lock && state != "self" && r.number > 0) {
                removed[r.number] = d.pid;
                v.stale_taken += state == "dead" ? 1 : 0;
            }
            locked = r.kind == 'L' && path == lock ? r.number == 0 : locked;
            locked = r.kind == 'U' && path == lock ? false : locked;
            if (r.kind == 'O' && r.number >= 0 && path == modem && !locked) {
                v.modem_shared.push_back(name + " opened the modem without its own lock file");
                unlocked.insert(d.pid);
            }
        }
    }
    for (const auto &[a, b] : w.overlaps) {
        const pid_t d = w.programs.at(a).what == ptybridge ? a : b;
        const pid_t other = d == a ? b : a;
        const program &p = w.programs.at(other);
        const std::string both = "ptybridge " + std::to_string(d) + " and " + kind_names[p.what] +
                                 " " + std::to_string(other) + " had the modem at once";
        pid_t taker = 0;
        for (const pid_t pid : p.pids) {
            taker = removed.contains(pid) ? removed.at(pid) : taker;
        }
        if (unlocked.contains(d)) {
            v.modem_shared.push_back(both + ", the daemon without its own lock file");
        } else if (taker != 0) {
            // Whichever daemon it was, the other did not give its lock up.
            v.modem_shared.push_back(both + ": ptybridge " + std::to_string(taker) +
                                     " had removed the other's lock");
        } else if (!may_hand_over(p.what)) {
            v.modem_shared.push_back(both + ", and the other never gives its lock up first");
        } else {
            ++v.handed_over;
        }
    }
    return v;
}

std::string lines(const std::vector<std::string> &list) {
    std::string out;
    for (const auto &l : list) {
        out += l + "\n";
    }
    return out;
}

} // namespace

// Property: no daemon removes the lock file of a live process, and none has
// the modem open while another program has it unless that program gave its
// own lock up first.
TEST(FieldContention, NoDaemonTakesTheModemFromALiveHolder) {
    if (!is_root() || !namespaces_available()) {
        GTEST_SKIP() << "needs root and mount namespaces of its own for the other programs";
    }
    const auto builds = daemon_builds();
    ASSERT_EQ(builds.size(), 3U);
    site s;
    ASSERT_FALSE(s.dir.empty()) << "no shared directory";

    std::vector<peer_plan> plans;
    const auto plan = [&](kind what, std::vector<std::string> args, int quit, bool kill_some) {
        args[0] = find_program(args[0]);
        if (!args[0].empty()) {
            plans.push_back({what, std::move(args), quit, kill_some});
        } else {
            std::printf("contention: %s is not installed, left out\n", kind_names[what]);
        }
    };
    plan(minicom, {"minicom", "-D", s.device}, SIGHUP, true);
    plan(cu, {"cu", "-l", s.device}, SIGTERM, true);
    plan(socat, {"socat", "-u", s.device + ",lockfile=/var/lock/LCK..ttyACM12", "STDOUT"}, SIGTERM,
         false);
    plan(picocom, {"picocom", s.device}, SIGTERM, true);
    plan(tio, {"tio", s.device}, SIGTERM, true);
    if (std::none_of(plans.begin(), plans.end(),
                     [](const auto &p) { return may_hand_over(p.what); })) {
        GTEST_SKIP() << "none of minicom, cu and socat is installed";
    }

    watcher w(s.device);
    // The modem reads whatever it is sent, so that no writer is stopped.
    std::atomic<bool> done{false};
    std::thread modem([&] {
        while (!done) {
            if (read_available(s.modem.master, 20ms).empty()) {
                std::this_thread::sleep_for(5ms);
            }
        }
    });
    const unsigned seed = std::random_device{}();
    std::vector<std::thread> drivers;
    for (std::size_t i = 0; i < builds.size(); ++i) {
        drivers.emplace_back(
            [&, i] { drive_daemons(s, w, builds[i], seed + static_cast<unsigned>(i)); });
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
        drivers.emplace_back(
            [&, i] { drive_peer(s, w, plans[i], seed + 100 + static_cast<unsigned>(i)); });
    }
    const auto begin = steady::now();
    poll_until([&] { return steady::now() - begin >= contention_time() && w.exercised(); },
               4 * contention_time());
    s.over = true;
    for (auto &d : drivers) {
        d.join();
    }
    w.stop();
    done = true;
    modem.join();

    const verdict v = judge(s.daemons, w);
    std::printf("contention: seed %u, %zu daemons, daemon holds %ld, daemon attempts while a "
                "lock-file program held the modem %ld, stale locks a daemon took %ld, live locks "
                "a daemon removed %zu, overlaps with a daemon %zu (%ld after the other program "
                "gave its lock up), modem shared by a daemon's doing %zu\n",
                seed, s.daemons.size(), w.daemon_holds, w.attempts_on_lock_files, v.stale_taken,
                v.live_locks_removed.size(), w.overlaps.size(), v.handed_over,
                v.modem_shared.size());
    (void)std::fflush(stdout);
    EXPECT_TRUE(s.failures.empty()) << lines(s.failures);
    EXPECT_TRUE(v.live_locks_removed.empty()) << lines(v.live_locks_removed);
    EXPECT_TRUE(v.modem_shared.empty()) << lines(v.modem_shared);
    // Without these the run showed nothing.
    EXPECT_GT(w.daemon_holds, 0);
    EXPECT_GT(w.attempts_on_lock_files, 0);
}
