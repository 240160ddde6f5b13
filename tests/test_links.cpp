// Link mode: each master is a fresh Unix98 pseudo-terminal whose slave the
// daemon publishes at a symbolic link, replaces when the master is opened
// again, and takes away when it closes. Clients open the link.

#include "cycle.hpp"
#include "field.hpp"
#include "harness.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

using namespace harness;
using namespace field;
namespace fs = std::filesystem;

namespace {

std::string target_of(const bridge &b, channel c) {
    std::error_code error;
    return fs::read_symlink(b.path(link_path(c)), error).string();
}

// Looks at a link over and over: it must always be missing or name a
// slave that exists, never anything else.
struct link_watcher {
    std::string link;
    std::atomic<bool> done{false};
    std::atomic<long> looks{0};
    std::atomic<long> missing{0};
    std::atomic<long> wrong{0};
    std::thread thread;

    explicit link_watcher(std::string path) : link(std::move(path)) {
        thread = std::thread([this] {
            while (!done) {
                ++looks;
                std::error_code error;
                const std::string target = fs::read_symlink(link, error).string();
                if (error == std::errc::no_such_file_or_directory) {
                    ++missing;
                } else if (error || target.rfind("/dev/pts/", 0) != 0) {
                    ++wrong;
                }
                std::this_thread::yield(); // the daemon and the client share the CPUs
            }
        });
    }
    ~link_watcher() {
        done = true;
        thread.join();
    }
};

TEST(Links, EachSlaveIsPublishedAndTheClientTalksThroughTheLink) {
    bridge b({.args = {"-d", "4"}});
    for (const channel c : {channel::ctrl, channel::audio}) {
        const int client = b.attach(c);
        ASSERT_GE(client, 0);
        // The slave is usable by the daemon's group as a serial device is.
        struct stat st {};
        ASSERT_EQ(stat(b.path(link_path(c)).c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        EXPECT_EQ(st.st_gid, getegid());
        close(client);
    }
    // Messages name the masters by their links; the masters' locks are the
    // daemon's own names, not the names a client of the link would lock.
    std::size_t named = 0;
    for (const auto &t : b.texts(LOG_DEBUG)) {
        named += std::regex_match(t, std::regex("run/gsm-(ctrl|audio) open, fd=[0-9]+")) ? 1 : 0;
    }
    EXPECT_GE(named, 2u);
    EXPECT_TRUE(poll_until([&] { return b.idle(); }));
    EXPECT_FALSE(fs::exists(b.path("lock/LCK..gsm-ctrl")));
    EXPECT_FALSE(fs::exists(b.path("lock/LCK..ptmx")));
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
}

TEST(Links, AHangUpPublishesTheNewSlaveAndTheStopTakesTheLinksAway) {
    bridge b;
    int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    const std::string before = target_of(b, channel::ctrl);
    close(client); // the next read of the master fails with EIO
    client = b.attach(channel::ctrl, 1);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
    EXPECT_TRUE(fs::exists(target_of(b, channel::ctrl))) << before;
    // The next slave waits at the temporary name: another one than the
    // link's, and no client's.
    std::error_code error;
    const std::string spare = fs::read_symlink(b.path("run/gsm-ctrl.new"), error).string();
    EXPECT_TRUE(fs::exists(spare)) << spare;
    EXPECT_NE(spare, target_of(b, channel::ctrl));
    close(client);

    EXPECT_EQ(b.stop(), 0);
    for (const channel c : {channel::ctrl, channel::audio}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(b.path(link_path(c))))) << link_path(c);
        EXPECT_FALSE(fs::exists(fs::symlink_status(b.path(link_path(c) + std::string(".new")))));
        EXPECT_FALSE(b.lock_exists(pty_name(c)));
    }
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
}

// A modem that answers every command with OK.
struct answering_modem {
    std::atomic<bool> done{false};
    std::thread thread;

    explicit answering_modem(int modem) {
        thread = std::thread([this, modem] {
            while (!done) {
                pollfd ready{modem, POLLIN, 0};
                std::array<char, 256> heard{};
                if (poll(&ready, 1, 10) > 0 && read(modem, heard.data(), heard.size()) > 0) {
                    write_all(modem, "\r\nOK\r\n");
                } else if ((ready.revents & POLLHUP) != 0) {
                    std::this_thread::sleep_for(1ms); // the modem port is closed between clients
                }
            }
        });
    }
    ~answering_modem() {
        done = true;
        thread.join();
    }
};

// A shell script's standard output, the script given a bounded time.
std::string shell_output(const std::string &dir, const std::string &script,
                         const std::vector<std::string> &args, steady::duration limit) {
    std::vector<std::string> argv{find_program("sh"), "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = dir + "/shell.out";
    const pid_t pid = sandbox::spawn(
        {.argv = argv, .env = {}, .dir = dir, .out = out, .err = dir + "/shell.err"});
    int status = 0;
    if (!poll_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return file_text(out);
}

// No descriptor (their numbers aside: masters come and go) and no watch
// beyond those held before; memory is the field tests' business.
bool holds_no_more(const resources &before, const resources &now) {
    const auto targets = [](const resources &r) {
        std::vector<std::string> t;
        for (const auto &d : r.descriptors) {
            t.push_back(d.substr(d.find(" -> ")));
        }
        std::sort(t.begin(), t.end());
        return t;
    };
    const auto was = targets(before);
    const auto is = targets(now);
    return std::includes(was.begin(), was.end(), is.begin(), is.end()) &&
           now.watches <= before.watches && before.lock_files == now.lock_files;
}

// The daemon back in its wait without a deadline, holding no more than
// `before`.
::testing::AssertionResult at_rest_with_no_more(bridge &b, const resources &before) {
    if (poll_until([&] {
            return b.idle() && holds_no_more(before, resources_of(b.pid(), b.path("lock")));
        })) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << b.not_idle_reason() << "\nbefore: " << describe(before)
           << "\nafter: " << describe(resources_of(b.pid(), b.path("lock")));
}

} // namespace

// Dial-out tools and restarted terminal programs close the link and open
// it again at once: every such client must get the modem, without a retry,
// and the daemon holds no more afterwards than before.
TEST(Links, AClientThatReopensAtOnceIsAnsweredEveryTime) {
    bridge b;
    answering_modem modem(b.modem(channel::ctrl).master);
    const std::string link = b.path(link_path(channel::ctrl));
    ASSERT_TRUE(poll_until([&] { return fs::exists(link) && b.idle(); }));
    const resources before = resources_of(b.pid(), b.path("lock"));
    cycle_counts counts{};
    {
        link_watcher watcher(link); // between the opens too: never missing, never wrong
        counts = run_cycles(link.c_str(), 2000, 0, cycle_mode::exchange, 5s);
        EXPECT_EQ(watcher.wrong.load(), 0);
        EXPECT_EQ(watcher.missing.load(), 0) << "of " << watcher.looks.load() << " looks";
    }
    print_counts(counts, stdout);
    EXPECT_EQ(counts.missing, 0);
    EXPECT_EQ(counts.ended, 0);
    EXPECT_EQ(counts.answered, counts.cycles);
    // The client gone, then one back at once and staying: either way the
    // daemon waits without a deadline, and said nothing of either.
    EXPECT_TRUE(at_rest_with_no_more(b, before));
    close(open(link.c_str(), O_RDWR | O_NOCTTY));
    const int staying = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(staying, 0);
    EXPECT_TRUE(poll_until([&] { return b.idle(); })) << b.not_idle_reason();
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
    close(staying);
}

// A client that opens the link after the previous one let go gets a
// terminal no client has had: exclusive mode off, the settings of a fresh
// master, and none of the modem's answers to the previous client. Clients
// that hold the link at once share the modem: each one's bytes go to it,
// its bytes go to each of them.
TEST(Links, EveryClientGetsATerminalOfItsOwnWhileOverlappingOnesShare) {
    bridge b;
    answering_modem modem(b.modem(channel::ctrl).master);
    const std::string link = b.path(link_path(channel::ctrl));
    ASSERT_TRUE(poll_until([&] { return fs::exists(link) && b.idle(); }));

    const cycle_counts exclusive = run_cycles(link.c_str(), 100, 0, cycle_mode::exclusive, 5s);
    print_counts(exclusive, stdout);
    EXPECT_EQ(exclusive.busy, 0);
    EXPECT_EQ(exclusive.inherited, 0); // the previous client's speed
    EXPECT_EQ(exclusive.answered, exclusive.cycles);

    const cycle_counts listen =
        run_cycles(link.c_str(), 100, 0, cycle_mode::listen_after_ati, 50ms);
    print_counts(listen, stdout);
    EXPECT_LE(listen.inherited, 10);
    EXPECT_EQ(listen.answered, listen.cycles);

    // The shell's own way: the listener in the background, then the command.
    EXPECT_EQ(shell_output(b.dir(), R"(exec bash "$1" overlap "$2" 100)",
                           {PTYBRIDGE_BOARD_CLIENT, link}, 60s),
              "overlap heard=100 of 100\n");
    EXPECT_TRUE(poll_until([&] { return b.idle(); })) << b.not_idle_reason();
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
}

// Without watches (the inotify limit reached) or without a spare master
// (no pseudo-terminal left), a channel is served as one shared terminal:
// said once, and every client is still answered.
TEST(Links, WithoutWatchesOrSpareMastersClientsAreStillServed) {
    struct fault {
        const char *variable;
        const char *value;
        const char *message; // once per channel
    };
    for (const fault f : {fault{"PTYBRIDGE_TEST_WATCH_ERROR", "28",
                                "cannot watch %s (28, No space left on device)"},
                          fault{"PTYBRIDGE_TEST_PTMX_OPENS", "3",
                                "cannot open %s (28, No space left on device)"}}) {
        SCOPED_TRACE(f.variable);
        bridge b({.env = {std::string(f.variable) + "=" + f.value}});
        answering_modem modem(b.modem(channel::ctrl).master);
        const std::string link = b.path(link_path(channel::ctrl));
        ASSERT_TRUE(poll_until([&] { return fs::exists(link) && b.idle(); }));
        const resources before = resources_of(b.pid(), b.path("lock"));
        const cycle_counts counts = run_cycles(link.c_str(), 200, 0, cycle_mode::exchange, 5s);
        EXPECT_EQ(counts.answered, counts.cycles);
        EXPECT_TRUE(at_rest_with_no_more(b, before));
        // Said when it starts, again only after it ended: no storm, where a
        // client's master and the next spare take turns at the limit.
        for (const channel c : {channel::ctrl, channel::audio}) {
            std::array<char, 128> text{};
            std::snprintf(text.data(), text.size(), f.message, pty_name(c));
            const std::size_t ended = b.count(pty_name(c) + std::string(" open again"));
            EXPECT_GE(b.count(text.data()), 1u) << text.data();
            EXPECT_LE(b.count(text.data()), ended + 1) << text.data();
            EXPECT_LE(ended, 5u);
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(b.path("run/gsm-audio.new"))));
        EXPECT_EQ(b.stop(), 0);
    }
}

TEST(Links, OnlyALinkToASlaveIsEverReplaced) {
    struct hostile {
        const char *name;
        const char *at; // the link itself or its temporary name
        std::function<void(const std::string &)> make;
        std::function<bool(const std::string &)> untouched;
    };
    const auto is_file = [](const std::string &p) { return file_text(p) == "keep\n"; };
    const auto write_keep = [](const std::string &p) { write_file(p, "keep\n"); };
    const auto to_precious = [](const std::string &p) { fs::create_symlink("../precious", p); };
    const auto points_to_precious = [](const std::string &p) {
        std::error_code error;
        return fs::read_symlink(p, error) == "../precious";
    };
    const std::vector<hostile> cases{
        {"a file", "run/gsm-ctrl", write_keep, is_file},
        {"a directory", "run/gsm-ctrl", [](const std::string &p) { fs::create_directory(p); },
         [](const std::string &p) { return fs::is_directory(fs::symlink_status(p)); }},
        {"a FIFO", "run/gsm-ctrl", [](const std::string &p) { mkfifo(p.c_str(), 0644); },
         [](const std::string &p) { return fs::is_fifo(fs::symlink_status(p)); }},
        {"a link elsewhere", "run/gsm-ctrl", to_precious, points_to_precious},
        {"a file at the temporary name", "run/gsm-ctrl.new", write_keep, is_file},
        {"a link elsewhere at the temporary name", "run/gsm-ctrl.new", to_precious,
         points_to_precious},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bridge b({.start = false});
        ASSERT_TRUE(write_file(b.path("precious"), "keep\n"));
        c.make(b.path(c.at));
        b.start();
        ASSERT_TRUE(b.wait_count("cannot link run/gsm-ctrl (17, File exists)", 2));
        EXPECT_TRUE(c.untouched(b.path(c.at)));
        EXPECT_EQ(file_text(b.path("precious")), "keep\n");
        // Nothing is left locked, and the other channel is served meanwhile.
        EXPECT_TRUE(poll_until([&] { return !b.lock_exists(pty_name(channel::ctrl)); }));
        // Opened by hand: the daemon retrying the other master is never idle.
        const std::string audio_link = b.path(link_path(channel::audio));
        ASSERT_TRUE(poll_until([&] { return fs::exists(audio_link); }));
        const int audio = open(audio_link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(audio, 0);
        ASSERT_TRUE(write_all(audio, "AT\r"));
        EXPECT_EQ(read_for(b.modem(channel::audio).master, 3), "AT\r");
        close(audio);
        const auto started = steady::now();
        EXPECT_EQ(b.stop(), 0);
        EXPECT_LT(steady::now() - started, 2s);
        EXPECT_TRUE(c.untouched(b.path(c.at)));
    }
}

TEST(Links, WhatAKilledDaemonLeftIsReplacedByTheNextStart) {
    bridge b;
    const int first = b.attach(channel::ctrl);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(poll_until([&] { return fs::exists(b.path(link_path(channel::audio))); }));
    kill(b.pid(), SIGKILL);
    ASSERT_TRUE(b.wait_exit());
    close(first);
    // Its links and locks stay behind, and so may a link it was making.
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(b.path(link_path(channel::ctrl)))));
    EXPECT_TRUE(b.lock_exists(pty_name(channel::ctrl)));
    // Its spare, at the temporary name, is pointed at a slave that is gone.
    fs::remove(b.path("run/gsm-audio.new"));
    fs::create_symlink("/dev/pts/999999", b.path("run/gsm-audio.new"));

    b.start();
    for (const channel c : {channel::ctrl, channel::audio}) {
        const int client = b.attach(c, 1);
        ASSERT_GE(client, 0);
        ASSERT_TRUE(write_all(client, "ATI\r"));
        EXPECT_EQ(read_for(b.modem(c).master, 4), "ATI\r");
        EXPECT_EQ(file_text(b.path(lock_name(pty_name(c)))), lock_text(b.pid()));
        close(client);
    }
    // The stale temporary link gave way to the new daemon's spare.
    std::error_code error;
    EXPECT_TRUE(poll_until(
        [&] { return fs::exists(fs::read_symlink(b.path("run/gsm-audio.new"), error)); }));
    EXPECT_EQ(b.stop(), 0);
}

TEST(Links, TwoDaemonsWithTheSameLinkNeverServeItAtOnce) {
    bridge first;
    const int client = first.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    const std::string published = target_of(first, channel::ctrl);

    // The second shares the first one's links and lock directory.
    bridge second({.start = false});
    for (const char *shared : {"run", "lock"}) {
        fs::remove_all(second.path(shared));
        fs::create_directory_symlink(first.path(shared), second.path(shared));
    }
    second.start();
    ASSERT_TRUE(second.wait_count("cannot lock run/gsm-ctrl", 2));
    EXPECT_EQ(target_of(first, channel::ctrl), published);
    ASSERT_TRUE(write_all(client, "AT\r"));
    EXPECT_EQ(read_for(first.modem(channel::ctrl).master, 3), "AT\r");

    // Once the first stops, the second takes the link over.
    EXPECT_EQ(first.stop(), 0);
    close(client);
    const int taken = second.attach(channel::ctrl);
    ASSERT_GE(taken, 0);
    ASSERT_TRUE(write_all(taken, "ATI\r"));
    EXPECT_EQ(read_for(second.modem(channel::ctrl).master, 4), "ATI\r");
    close(taken);
    EXPECT_EQ(second.stop(), 0);
}
