// Link mode with real terminal programs: each opens the published link,
// talks to the modem emulator through the daemon on both channels, hangs
// up, and opens the link again. minicom keeps the lock-file convention in
// the daemon's lock directory and is not refused for the daemon's lock.

#include "field.hpp"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#ifndef PTYBRIDGE_EMULATOR
#error "PTYBRIDGE_EMULATOR must name the modem emulator"
#endif

using namespace field;
namespace fs = std::filesystem;

namespace {

// The modem emulator on the daemon's two modem paths.
class emulator {
  public:
    explicit emulator(const bridge &b) {
        const std::string ready = b.path("emulator.ready");
        pid_ = sandbox::fork_child();
        if (pid_ == 0) {
            const std::string ctrl = b.path(gsm_path(channel::ctrl));
            const std::string audio = b.path(gsm_path(channel::audio));
            execl(PTYBRIDGE_EMULATOR, PTYBRIDGE_EMULATOR, "--ctrl", ctrl.c_str(), "--audio",
                  audio.c_str(), "--ready-file", ready.c_str(), nullptr);
            _exit(127);
        }
        ready_ = poll_until([&] { return fs::exists(ready); });
    }
    ~emulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    emulator(const emulator &) = delete;
    emulator &operator=(const emulator &) = delete;
    bool ready() const {
        return ready_;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

struct client_kind {
    std::string program;
    std::vector<std::string> (*command)(const std::string &program, const std::string &link);
    std::string quit; // typed to leave; empty: SIGTERM
};

std::vector<std::string> picocom_command(const std::string &program, const std::string &link) {
    return {program, "-q", link};
}

std::vector<std::string> minicom_command(const std::string &program, const std::string &link) {
    return {program, "-o", "-D", link};
}

std::vector<std::string> socat_command(const std::string &program, const std::string &link) {
    // Raw on both sides: a CR typed ends an AT command as it is.
    return {program, "STDIO,raw,echo=0", link + ",raw,echo=0"};
}

void leave(peer &p, const client_kind &k) {
    if (!k.quit.empty()) {
        p.type(k.quit);
        if (p.wait_exit(slow(5s))) {
            return;
        }
    }
    p.stop(SIGTERM);
}

// Types `keys` until `answer` shows after them: the first keys may come
// before the program is up. A command that must not be repeated is typed
// once.
::testing::AssertionResult answered(peer &p, const std::string &keys, const std::string &answer,
                                    bool repeat = true) {
    std::size_t from = p.output().size();
    p.type(keys);
    const bool seen = poll_until(
        [&] {
            if (p.output().find(answer, from) != std::string::npos) {
                return true;
            }
            if (repeat) {
                from = p.output().size();
                p.type(keys);
                p.wait_output(answer, 300ms);
            }
            return false;
        },
        slow(patience));
    if (seen) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "no " << answer << " after " << keys << ", it showed: " << p.output();
}

void talk_through_the_links(const client_kind &k) {
    if (!is_root()) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    const std::string program = find_program(k.program);
    if (program.empty()) {
        GTEST_SKIP() << k.program << " is not installed";
    }
    bridge b(daemon_options({.start = false}));
    emulator modem(b);
    ASSERT_TRUE(modem.ready());
    b.start();
    const std::string ctrl = b.path(link_path(channel::ctrl));
    const std::string audio = b.path(link_path(channel::audio));
    ASSERT_TRUE(poll_until([&] { return fs::exists(ctrl) && fs::exists(audio); }));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The ctrl channel: commands and their answers.
        {
            peer p(b.path("lock"), k.command(program, ctrl));
            ASSERT_TRUE(answered(p, "AT+CSQ\r", "+CSQ: 20,99"));
            ASSERT_TRUE(answered(p, "ATD123;\r", "OK", false));
            leave(p, k);
        }
        // The call is up: the audio channel carries the tone to a client.
        {
            peer p(b.path("lock"), k.command(program, audio));
            EXPECT_TRUE(poll_until(
                [&] {
                    p.type(std::string(32, '\0'));
                    return p.output().size() > 2000;
                },
                slow(patience)))
                << p.output().size();
            leave(p, k);
        }
        // Each hang-up gave the masters back; the next client finds the
        // links again, and ends the call.
        {
            peer p(b.path("lock"), k.command(program, ctrl));
            ASSERT_TRUE(answered(p, "ATH\r", "OK"));
            leave(p, k);
        }
    }
    // A terminal program that draws the tone slower than it comes loses
    // audio, as any client would; nothing else may fail.
    for (const auto &t : b.texts(LOG_ERR)) {
        EXPECT_NE(t.find("run/gsm-audio"), std::string::npos) << t;
    }
    EXPECT_EQ(b.stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(ctrl)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(audio)));
}

} // namespace

// Property: picocom talks to the modem through the published links on both
// channels, again after each hang-up.
TEST(LinkClients, Picocom) {
    talk_through_the_links({"picocom", picocom_command, "\x01\x18"});
}

// Property: minicom talks to the modem through the published links on both
// channels, again after each hang-up, its own lock no obstacle.
TEST(LinkClients, Minicom) {
    // minicom locks LCK..gsm-ctrl in the daemon's lock directory; the
    // daemon's own lock is LCK..ptybridge-gsm-ctrl.
    talk_through_the_links({"minicom", minicom_command, ""});
}

// Property: socat talks to the modem through the published links on both
// channels, again after each hang-up.
TEST(LinkClients, Socat) {
    talk_through_the_links({"socat", socat_command, ""});
}
