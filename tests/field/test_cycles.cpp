// Faults over time, as a board sees them in months of running: the modem
// re-enumerates, clients come and go, signals arrive at any stage, and the
// daemon is sometimes killed outright. After every cycle the daemon holds
// exactly the descriptors, memory and lock files it held before.

#include "field.hpp"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

using namespace field;
namespace fs = std::filesystem;

namespace {

constexpr int cycles = 40;
// Little enough in flight that the other side can always take a whole
// chunk at once: the daemon keeps no queue, and drops (and logs) the rest.
constexpr std::size_t window = 1024;

// Signals that end nothing: job control and those ignored by default.
// They arrive in storms while bytes flow and while the daemon waits.
class harmless_storm {
  public:
    explicit harmless_storm(pid_t pid)
        : sender_([this, pid] {
              int i = 0;
              while (running_) {
                  for (const int sig : {SIGWINCH, SIGCHLD, SIGURG}) {
                      kill(pid, sig);
                  }
                  if (++i % 16 == 0) {
                      kill(pid, SIGSTOP);
                      std::this_thread::sleep_for(200us);
                      kill(pid, SIGCONT);
                  }
                  std::this_thread::sleep_for(100us);
              }
              kill(pid, SIGCONT);
          }) {}
    ~harmless_storm() {
        running_ = false;
        sender_.join();
    }
    harmless_storm(const harmless_storm &) = delete;
    harmless_storm &operator=(const harmless_storm &) = delete;

  private:
    std::atomic<bool> running_{true};
    std::thread sender_;
};

std::string pattern(const std::string &tag, std::size_t size) {
    std::string data;
    for (std::size_t i = 0; data.size() < size; ++i) {
        data += tag + std::to_string(i) + ";";
    }
    data.resize(size);
    return data;
}

} // namespace

// Property: unplug, replug and hang-up cycles leave the daemon with the
// same descriptors, lock files and memory as before.
TEST(FieldCycles, UnplugReplugAndHangUpCyclesLeaveNothingBehind) {
    bridge b(daemon_options());
    std::array<int, 2> client{b.attach(channel::ctrl), b.attach(channel::audio)};
    std::array<modem_side, 2> modem;
    std::array<std::size_t, 2> attached{1, 1};
    std::array<std::size_t, 2> lost{0, 0};

    const auto traffic = [&](channel c, const std::string &tag) {
        const auto i = static_cast<std::size_t>(c);
        const std::string up = pattern(tag + "u", 3000);
        const std::string down = pattern(tag + "d", 3000);
        EXPECT_TRUE(pump(client[i], modem[i].master(b, c), up, window) == up) << tag;
        EXPECT_TRUE(pump(modem[i].master(b, c), client[i], down, window) == down) << tag;
    };

    const auto cycle = [&](int n) {
        for (const channel c : {channel::ctrl, channel::audio}) {
            const auto i = static_cast<std::size_t>(c);
            const std::string tag = std::to_string(n) + (c == channel::ctrl ? "c" : "a");
            const std::string pty = pty_path(c);
            const std::string gsm = gsm_path(c);
            traffic(c, tag);

            // Unplugged: the port closes alone, bytes meanwhile are lost and
            // said to be.
            modem[i].unplug(b, c);
            ASSERT_TRUE(poll_until([&] { return !b.lock_exists(gsm.c_str()); })) << tag;
            ASSERT_TRUE(write_all(client[i], "lost"));
            ASSERT_TRUE(b.wait_count(pty + " data lost, cannot open " + gsm, ++lost[i])) << tag;

            // Replugged as a new terminal; then the client hangs up and
            // comes back.
            modem[i].replug(b, c);
            traffic(c, tag + "r");
            close(client[i]);
            ASSERT_TRUE(poll_until([&] { return b.opens(pty.c_str()) > attached[i]; })) << tag;
            client[i] = b.attach(c, attached[i]++);
            ASSERT_GE(client[i], 0) << tag;
            EXPECT_FALSE(b.lock_exists(gsm.c_str())) << tag;
            traffic(c, tag + "h");
        }
        ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    };

    cycle(0); // everything the daemon and its libraries touch once
    const resources before = resources_of(b.pid(), b.path("lock"));
    ASSERT_EQ(before.lock_files, (std::vector<std::string>{"LCK..ptyp6", "LCK..ptyp7",
                                                           "LCK..ttyACM11", "LCK..ttyACM12"}));
    {
        harmless_storm storm(b.pid());
        for (int n = 1; n <= cycles; ++n) {
            cycle(n);
            if (HasFatalFailure()) {
                return;
            }
            ASSERT_TRUE(poll_until([&] { return b.idle(); }));
            const resources now = resources_of(b.pid(), b.path("lock"));
            EXPECT_TRUE(no_growth(before, now)) << "cycle " << n << "\nbefore: " << describe(before)
                                                << "\nnow:    " << describe(now);
        }
    }
    // Only the unplugs and the losses that were caused, and no other complaint.
    for (const auto &t : b.texts(LOG_ERR)) {
        EXPECT_TRUE(std::regex_match(
            t, std::regex("(cannot open dev/ttyACM1[12] \\((2, No such file or directory|5, "
                          "Input/output error)\\))|(dev/ptyp[67] data lost, cannot open "
                          "dev/ttyACM1[12])|(dev/ttyACM1[12] hung up)")))
            << t;
    }
    EXPECT_EQ(b.count("dev/ptyp6 data lost, cannot open dev/ttyACM12"), lost[0]);
    EXPECT_EQ(b.count("dev/ptyp7 data lost, cannot open dev/ttyACM11"), lost[1]);
    // One master and two modem terminals per cycle and channel.
    for (const channel c : {channel::ctrl, channel::audio}) {
        EXPECT_EQ(b.opens(pty_path(c)), cycles + 2u);
        EXPECT_EQ(b.opens(gsm_path(c)), 2 * cycles + 3u);
    }
    EXPECT_EQ(b.stop(), 0);
    EXPECT_EQ(resources_of(getpid(), b.path("lock")).lock_files, std::vector<std::string>{});
    for (const int fd : client) {
        close(fd);
    }
}

// Property: whatever stage a daemon is ended at, the next start takes every
// lock it left without waiting.
TEST(FieldCycles, KilledAtAnyStageTheNextStartTakesItsLocksOver) {
    // Each round ends the daemon at another stage, by another signal; the
    // next daemon in the same place must take every lock it left at once.
    struct round {
        const char *stage;
        int sig;
    };
    const std::vector<round> rounds{
        {"idle", SIGINT},       {"relaying", SIGKILL},  {"lock wait", SIGINT},
        {"relaying", SIGINT},   {"lock wait", SIGKILL}, {"idle", SIGKILL},
        {"lock wait", SIGTERM}, {"relaying", SIGQUIT},
    };
    bridge b(daemon_options({.start = false}));
    const std::string held_by_test = b.path("lock/LCK..ttyACM11");
    std::size_t ctrl_opens = 0;
    std::size_t audio_opens = 0;
    for (const auto &r : rounds) {
        SCOPED_TRACE(std::string(r.stage) + ", signal " + std::to_string(r.sig));
        const std::size_t errors_before = b.texts(LOG_ERR).size();
        const std::size_t exits_before = b.count("exit");
        b.start();
        const int ctrl = b.attach(channel::ctrl, ctrl_opens++);
        const int audio = b.attach(channel::audio, audio_opens++);
        ASSERT_GE(ctrl, 0);
        ASSERT_GE(audio, 0);
        // Every lock the last daemon left was taken without a wait.
        EXPECT_EQ(b.texts(LOG_ERR).size(), errors_before);
        read_available(b.modem(channel::ctrl).master); // what the last daemon relayed
        const std::string up = pattern("k", 4000);
        EXPECT_TRUE(pump(ctrl, b.modem(channel::ctrl).master, up, window) == up);
        const pid_t pid = b.pid();

        std::unique_ptr<harmless_storm> storm;
        if (r.stage == std::string("relaying")) {
            storm = std::make_unique<harmless_storm>(pid);
            ASSERT_TRUE(write_all(ctrl, pattern("r", 3000)));
        } else if (r.stage == std::string("lock wait")) {
            ASSERT_TRUE(write_file(held_by_test, lock_text(getpid())));
            ASSERT_TRUE(write_all(audio, "audio"));
            ASSERT_TRUE(poll_until([&] { return b.unread_from_client(channel::audio) == 0; }));
        } else {
            ASSERT_TRUE(poll_until([&] { return b.idle(); }));
        }
        const auto sent = steady::now();
        const auto status = b.stop(r.sig);
        storm.reset();
        ASSERT_TRUE(status);
        EXPECT_LT(steady::now() - sent, slow(2500ms));
        const bool orderly = r.sig == SIGTERM || r.sig == SIGQUIT;
        EXPECT_EQ(WIFEXITED(*status) && WEXITSTATUS(*status) == 0, orderly);
        // Any other signal ends it at once, by the signal, with no word.
        EXPECT_EQ(WIFSIGNALED(*status) && WTERMSIG(*status) == r.sig, !orderly);
        EXPECT_EQ(b.count("exit") - exits_before, orderly ? 1u : 0u);
        for (const char *device : {"dev/ptyp6", "dev/ptyp7", "dev/ttyACM12"}) {
            if (orderly) {
                EXPECT_FALSE(b.lock_exists(device)) << device;
            } else {
                EXPECT_EQ(file_text(b.path(lock_name(device))), lock_text(pid)) << device;
            }
        }
        if (fs::exists(held_by_test)) {
            EXPECT_EQ(file_text(held_by_test), lock_text(getpid()));
            fs::remove(held_by_test);
        }
        close(ctrl);
        close(audio);
    }
}
