// Taking a lock as other programs see it: the lock file is whole from the
// moment it exists, a modem port is also flock()ed, and a daemon killed in
// the middle of taking a lock leaves nothing that blocks the next one.

#include "harness.hpp"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

using namespace harness;
namespace fs = std::filesystem;

namespace {

std::string temporary_name(pid_t pid) {
    return "lock/LTMP." + std::to_string(pid);
}

// Every entry of the lock directory whose name starts with `prefix`.
std::vector<std::string> entries(const bridge &b, const std::string &prefix) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &e : fs::directory_iterator(b.path("lock"), ignored)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// Reads a lock file over and over while the daemon takes and gives back
// its locks, counting every time it is found other than whole.
struct lock_watcher {
    std::vector<std::string> paths;
    std::atomic<bool> done{false};
    std::atomic<long> seen{0};
    std::atomic<long> torn{0};
    std::string first_torn;
    std::thread thread;

    explicit lock_watcher(std::vector<std::string> watched) : paths(std::move(watched)) {
        thread = std::thread([this] {
            while (!done) {
                for (const auto &p : paths) {
                    const int fd = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                    if (fd < 0) {
                        continue;
                    }
                    char text[64];
                    const ssize_t n = read(fd, text, sizeof text);
                    close(fd);
                    ++seen;
                    if (n != 11) {
                        if (torn++ == 0) {
                            first_torn = p + ": " + std::to_string(n) + " bytes";
                        }
                    }
                }
            }
        });
    }
    ~lock_watcher() {
        done = true;
        thread.join();
    }
};

} // namespace

TEST(Locks, ALockFileIsNeverSeenHalfWritten) {
    bridge b({.start = false});
    lock_watcher watcher({b.path(lock_name(ctrl_pty_name)), b.path(lock_name("dev/ttyACM12"))});
    b.start();
    for (std::size_t round = 0; round < 30; ++round) {
        // Each hang-up gives back the master's and the modem's lock; the
        // next open and the next bytes take them again.
        const int client = b.attach(channel::ctrl, round);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(write_all(client, "AT\r"));
        ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
        close(client);
    }
    EXPECT_EQ(b.stop(), 0);
    EXPECT_GT(watcher.seen.load(), 0);
    EXPECT_EQ(watcher.torn.load(), 0) << watcher.first_torn;
    EXPECT_EQ(entries(b, "LTMP."), std::vector<std::string>{});
}

TEST(Locks, TemporaryFilesOfTheDeadAreClearedAndNothingElse) {
    bridge b({.start = false});
    const pid_t dead = gone_pid();
    const pid_t dead_too = gone_pid();
    ASSERT_TRUE(write_file(b.path(temporary_name(dead)), lock_text(dead)));
    ASSERT_TRUE(write_file(b.path(temporary_name(dead_too)), "")); // killed before its write
    ASSERT_TRUE(write_file(b.path(temporary_name(getpid())), lock_text(getpid())));
    ASSERT_TRUE(write_file(b.path("lock/LTMP.x1"), "not ours\n"));
    ASSERT_TRUE(write_file(b.path("lock/precious"), "keep\n"));
    const pid_t dead_fifo = gone_pid();
    const pid_t dead_link = gone_pid();
    ASSERT_EQ(mkfifo(b.path(temporary_name(dead_fifo)).c_str(), 0644), 0);
    fs::create_symlink("precious", b.path(temporary_name(dead_link)));
    b.start();
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    EXPECT_FALSE(fs::exists(b.path(temporary_name(dead))));
    EXPECT_FALSE(fs::exists(b.path(temporary_name(dead_too))));
    // A live process's file, a name of another form, and what is no plain
    // file are left alone.
    EXPECT_EQ(file_text(b.path(temporary_name(getpid()))), lock_text(getpid()));
    EXPECT_TRUE(fs::exists(b.path("lock/LTMP.x1")));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(b.path(temporary_name(dead_fifo)))));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(b.path(temporary_name(dead_link)))));
    EXPECT_EQ(file_text(b.path("lock/precious")), "keep\n");
    EXPECT_EQ(file_text(b.path(lock_name(ctrl_pty_name))), lock_text(b.pid()));
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
}

TEST(Locks, HostileEntriesAtTheDaemonsTemporaryNameAreNeverFollowed) {
    struct hostile {
        const char *name;
        std::function<void(const std::string &)> make; // given the entry's path
    };
    const std::vector<hostile> cases{
        {"FIFO", [](const std::string &p) { mkfifo(p.c_str(), 0644); }},
        {"directory", [](const std::string &p) { mkdir(p.c_str(), 0755); }},
        {"symbolic link to a file", [](const std::string &p) { symlink("precious", p.c_str()); }},
        {"dangling symbolic link", [](const std::string &p) { symlink("nowhere", p.c_str()); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Made in the child, where the daemon's process ID is known.
        const auto make = c.make;
        bridge b({.start = false,
                  .in_child = [make] { make("lock/LTMP." + std::to_string(getpid())); }});
        ASSERT_TRUE(write_file(b.path("lock/precious"), "keep\n"));
        b.start();
        ASSERT_TRUE(b.wait_message("cannot lock " + ctrl_pty_name));
        EXPECT_EQ(b.opens(ctrl_pty_name), 0u);
        EXPECT_FALSE(b.lock_exists(ctrl_pty_name));
        EXPECT_EQ(file_text(b.path("lock/precious")), "keep\n");
        EXPECT_FALSE(fs::exists(b.path("nowhere")));
        const auto started = steady::now();
        EXPECT_EQ(b.stop(), 0);
        EXPECT_LT(steady::now() - started, 2s);
        EXPECT_TRUE(fs::exists(fs::symlink_status(b.path(temporary_name(b.pid())))));
    }
}

TEST(Locks, APlainFileAtTheDaemonsTemporaryNameIsALeftover) {
    // Left by an earlier process with the same ID: no live one can have it.
    bridge b({.start = false, .in_child = [] {
                  const int fd = ::open(("lock/LTMP." + std::to_string(getpid())).c_str(),
                                        O_WRONLY | O_CREAT | O_EXCL, 0644);
                  close(fd);
              }});
    b.start();
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    EXPECT_EQ(file_text(b.path(lock_name(ctrl_pty_name))), lock_text(b.pid()));
    EXPECT_EQ(entries(b, "LTMP."), std::vector<std::string>{});
}

TEST(Locks, AModemPortHeldByFlockCountsAsLockedByALiveProcess) {
    bridge b({.args = {"-d", "4"}});
    const int client = b.attach(channel::ctrl);
    // The way picocom and tio hold a serial device: flock, no lock file.
    const std::string modem = b.modem(channel::ctrl).slave;
    const int other = ::open(modem.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(b.wait_message(ctrl_pty_name + " data lost, cannot open dev/ttyACM12"));
    EXPECT_EQ(b.texts(LOG_ERR),
              (std::vector<std::string>{"cannot lock dev/ttyACM12",
                                        ctrl_pty_name + " data lost, cannot open dev/ttyACM12"}));
    // Tried through the whole wait, never left open or locked, and the
    // other holder's terminal settings were not touched.
    const auto opened = b.opens("dev/ttyACM12");
    EXPECT_GE(opened, 5u);
    EXPECT_LE(opened, 21u);
    for (const auto &t : b.texts(LOG_DEBUG)) {
        EXPECT_EQ(t.rfind("dev/ttyACM12 open", 0), std::string::npos) << t;
    }
    EXPECT_FALSE(b.lock_exists("dev/ttyACM12"));
    EXPECT_TRUE(poll_until([&] { return b.idle(); }));
    EXPECT_EQ(read_available(b.modem(channel::ctrl).master), "");

    // Once the other lets go, the next chunk takes the port, and holds the
    // flock for as long as it is open.
    close(other);
    ASSERT_TRUE(write_all(client, "ATI\r"));
    ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 4), "ATI\r");
    const int late = ::open(modem.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(late, 0);
    EXPECT_EQ(flock(late, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(client); // the channel closes, and the flock goes with the port
    ASSERT_TRUE(poll_until([&] { return !b.lock_exists("dev/ttyACM12"); }));
    EXPECT_EQ(flock(late, LOCK_EX | LOCK_NB), 0);
    close(late);
    EXPECT_EQ(b.stop(), 0);
}

TEST(Locks, TheMastersAreNotFlocked) {
    // Both Unix98 masters come from the one /dev/ptmx: a flock there would
    // lock every pseudo-terminal of the system, and only this daemon opens
    // a master anyway.
    bridge b;
    const int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    const int ptmx = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(ptmx, 0);
    EXPECT_EQ(flock(ptmx, LOCK_EX | LOCK_NB), 0);
    close(ptmx);
    close(client);
}

TEST(Locks, KilledAtAnyStepOfTakingALockTheNextDaemonStartsClean) {
    // Counts the steps by which the daemon takes its first locks (both
    // masters), then kills a daemon before each of them in turn and starts
    // another in the same place.
    std::size_t steps = 0;
    {
        bridge b({.env = {"PTYBRIDGE_TEST_KILL_AT=0"}});
        ASSERT_TRUE(poll_until([&] { return b.idle(); }));
        for (const auto &e : b.events()) {
            steps += e.kind == 'K' ? 1 : 0;
        }
        EXPECT_EQ(b.stop(), 0);
    }
    ASSERT_GE(steps, 8u); // a scan, a file written and linked, per lock
    for (std::size_t at = 1; at <= steps; ++at) {
        SCOPED_TRACE("killed before step " + std::to_string(at));
        bridge b({.start = false, .env = {"PTYBRIDGE_TEST_KILL_AT=" + std::to_string(at)}});
        b.start();
        const auto status = b.wait_exit();
        ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
        std::string last;
        for (const auto &e : b.events()) {
            last = e.kind == 'K' ? e.text : last;
        }
        SCOPED_TRACE("at " + last);
        const pid_t killed = b.pid();

        b.settings().env.clear();
        b.start();
        ASSERT_TRUE(poll_until([&] { return b.idle(); }));
        EXPECT_NE(b.pid(), killed);
        for (const std::string &device : {ctrl_pty_name, audio_pty_name}) {
            EXPECT_EQ(file_text(b.path(lock_name(device))), lock_text(b.pid())) << device;
        }
        EXPECT_EQ(entries(b, "LTMP."), std::vector<std::string>{});
        EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
        EXPECT_EQ(b.stop(), 0);
        EXPECT_EQ(entries(b, ""), std::vector<std::string>{});
    }
}
