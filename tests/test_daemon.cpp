// The daemon as a whole: its one option, its stop signals and its cost
// while nothing happens.

#include "harness.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using namespace harness;

namespace {

bool exited_cleanly(const std::optional<int> &status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

} // namespace

TEST(Options, TheLastDebugMaskGivenIsTheOneInForce) {
    // How the text is read is tested in-process; here, that it reaches the
    // daemon at all, and that a later -d replaces an earlier one.
    bridge b({.args = {"-d", "1", "-d6"}});
    const int ctrl = b.attach(channel::ctrl);
    const int audio = b.attach(channel::audio);
    ASSERT_TRUE(write_all(ctrl, "AT\r"));
    EXPECT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
    ASSERT_TRUE(write_all(audio, "pcm"));
    EXPECT_EQ(read_for(b.modem(channel::audio).master, 3), "pcm");
    ASSERT_TRUE(b.wait_message("audio PTY-GSM, [3] \"pcm\""));
    EXPECT_EQ(b.count("ctrl PTY-GSM, [3] \"AT\r\""), 0u);
    const auto debug = b.texts(LOG_DEBUG);
    EXPECT_TRUE(std::any_of(debug.begin(), debug.end(), [](const std::string &t) {
        return t.rfind("dev/ttyACM11 open, fd=", 0) == 0;
    })) << ::testing::PrintToString(debug);
    close(ctrl);
    close(audio);
}

TEST(Options, BadOptionsAreReportedOnStandardErrorAndIgnored) {
    bridge b({.args = {"-q", "-d"}});
    const int client = b.attach(channel::ctrl);
    ASSERT_GE(client, 0);
    const std::string err = file_text(b.path("stderr"));
    EXPECT_NE(err.find("invalid option -- 'q'"), std::string::npos) << err;
    EXPECT_NE(err.find("option requires an argument -- 'd'"), std::string::npos) << err;
    EXPECT_EQ(file_text(b.path("stdout")), "");
    EXPECT_EQ(b.texts(), std::vector<std::string>{"running"});
    close(client);
}

TEST(Stop, TermAndQuitCloseEveryPortInOrderAndRemoveEveryLock) {
    for (const int sig : {SIGTERM, SIGQUIT}) {
        bridge b({.args = {"-d", "4"}});
        const int ctrl = b.attach(channel::ctrl);
        const int audio = b.attach(channel::audio);
        ASSERT_TRUE(write_all(ctrl, "a"));
        ASSERT_TRUE(write_all(audio, "b"));
        ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 1), "a");
        ASSERT_EQ(read_for(b.modem(channel::audio).master, 1), "b");
        ASSERT_TRUE(poll_until([&] { return b.idle(); }));
        const std::size_t before = b.texts().size();

        EXPECT_TRUE(exited_cleanly(b.stop(sig)));
        const auto texts = b.texts();
        const std::vector<std::string> tail(texts.begin() + static_cast<long>(before), texts.end());
        // A linked master goes with its client's terminal and its spare.
        std::vector<std::string> order{"dev/ttyACM11", "dev/ttyACM12"};
        for (const std::string &master : {audio_pty_name, ctrl_pty_name}) {
            order.insert(order.end(), link_mode ? 3 : 1, master);
        }
        ASSERT_EQ(tail.size(), order.size() + 2) << ::testing::PrintToString(tail);
        EXPECT_EQ(tail[0], "received signal " + std::to_string(sig));
        for (std::size_t i = 0; i < order.size(); ++i) {
            EXPECT_TRUE(std::regex_match(tail[1 + i], std::regex(order[i] + " close, fd=[0-9]+")))
                << tail[1 + i];
            EXPECT_FALSE(b.lock_exists(order[i].c_str()));
        }
        EXPECT_EQ(tail.back(), "exit");
        const auto info = b.messages();
        EXPECT_EQ(info.front().number, LOG_INFO);
        EXPECT_EQ(info.back().number, LOG_INFO);
        close(ctrl);
        close(audio);
    }
}

TEST(Stop, AStopSignalEndsLockWaitsAtOnce) {
    // This test holds the audio master's lock and then the ctrl modem's: the
    // daemon waits for both, its loop going on, when the signal comes.
    bridge b({.start = false});
    ASSERT_TRUE(write_file(b.path(lock_name(audio_pty_name)), lock_text(getpid())));
    b.start();
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(write_file(b.path("lock/LCK..ttyACM12"), lock_text(getpid())));
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(poll_until([&] { return b.unread_from_client(channel::ctrl) == 0; }));
    const auto sent = steady::now();
    kill(b.pid(), SIGQUIT);
    EXPECT_TRUE(exited_cleanly(b.wait_exit()));
    EXPECT_LT(steady::now() - sent, 1s);
    EXPECT_EQ(b.count("received signal 3"), 1u);
    EXPECT_EQ(b.count("cannot lock dev/ttyACM12"), 0u);
    EXPECT_EQ(file_text(b.path("lock/LCK..ttyACM12")), lock_text(getpid()));
    EXPECT_EQ(b.opens(audio_pty_name), 0u);
    EXPECT_EQ(file_text(b.path(lock_name(audio_pty_name))), lock_text(getpid()));
    close(client);
}

TEST(Stop, AStopAtAnyMomentNeverWaitsForTraffic) {
    std::mt19937 random(static_cast<unsigned>(getpid()));
    for (int round = 0; round < 24; ++round) {
        const bool busy = round % 2 == 1;
        bridge b;
        ASSERT_TRUE(b.wait_message("running"));
        int client = -1;
        if (busy) {
            client = b.attach(channel::ctrl);
            ASSERT_TRUE(write_all(client, std::string(2000, 'b')));
        }
        // Anywhere from before the masters are open to deep in the relay.
        const auto delay = std::chrono::microseconds(random() % 3000);
        std::this_thread::sleep_for(delay);
        const auto sent = steady::now();
        const auto status = b.stop(SIGTERM, 10s);
        EXPECT_TRUE(exited_cleanly(status)) << "round " << round;
        EXPECT_LT(steady::now() - sent, 3s) << "round " << round;
        EXPECT_EQ(b.texts(LOG_INFO).back(), "exit");
        for (const std::string &device :
             {ctrl_pty_name, audio_pty_name, std::string("dev/ttyACM12"),
              std::string("dev/ttyACM11")}) {
            EXPECT_FALSE(b.lock_exists(device)) << device;
        }
        if (client >= 0) {
            close(client);
        }
    }
}

TEST(Stop, SignalStormsDuringTrafficStillEndInOneOrderlyStop) {
    bridge b;
    const int client = b.attach(channel::ctrl);
    std::atomic<bool> storm{true};
    std::thread sender([&] {
        while (storm) {
            kill(b.pid(), SIGTERM);
            kill(b.pid(), SIGQUIT);
        }
    });
    (void)!write(client, std::string(3000, 's').data(), 3000);
    const auto status = b.wait_exit(10s);
    storm = false;
    sender.join();
    // The reset to the default action may let a later signal end the
    // process before "exit": either way it stopped, and stopped once.
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(b.count("running"), 1u);
    const auto texts = b.texts(LOG_INFO);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_TRUE(texts[1] == "received signal 15" || texts[1] == "received signal 3");
    close(client);
}

TEST(Idle, NoWakeUpsAndNoCpuWhileNoBytesFlow) {
    bridge b;
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
    ASSERT_TRUE(write_all(b.modem(channel::ctrl).master, "OK"));
    ASSERT_EQ(read_for(client, 2), "OK");
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));

    const auto sample = [&] {
        std::ifstream status("/proc/" + std::to_string(b.pid()) + "/status");
        std::string line;
        long long switches = 0;
        while (std::getline(status, line)) {
            if (line.find("ctxt_switches:") != std::string::npos) {
                switches += std::stoll(line.substr(line.find(':') + 1));
            }
        }
        std::ifstream stat("/proc/" + std::to_string(b.pid()) + "/stat");
        std::string text;
        std::getline(stat, text);
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
        return std::pair{switches, std::stoll(f[11]) + std::stoll(f[12])}; // utime + stime
    };
    const auto before = sample();
    // A measuring window, not a wait for anything.
    std::this_thread::sleep_for(1500ms);
    const auto after = sample();
    EXPECT_EQ(after.first, before.first) << "the daemon woke up while idle";
    EXPECT_EQ(after.second, before.second) << "the daemon used CPU while idle";
    EXPECT_TRUE(b.idle());
    close(client);
}
