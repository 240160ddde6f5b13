// The daemon's pure parts, in this process: what it reads from lock files
// and temporary names, the debug option, the lock path, and what the relay
// closes, in which order, when a side of a channel fails.

#include "common/debug.hpp"
#include "common/log.hpp"
#include "logged.hpp"
#include "port/lock.hpp"
#include "port/port.hpp"
#include "relay/relay.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

// Never created: the relay's ports here hold no lock files, and any attempt
// to take one fails at once.
const char lock_directory[] = "/nonexistent/ptybridge-unit";

namespace {

TEST(LockOwner, ReadsTheLeadingDecimalNumberAndNothingOutOfRange) {
    const std::vector<std::pair<const char *, pid_t>> cases{
        {"      4242\n", 4242},
        {"4242", 4242},
        {" \t\n\v\f\r17", 17}, // every blank that strtol skips
        {"+17", 17},
        {"-17", -17},
        {"17 trailing words", 17}, // up to the first other character
        {"12\0"
         "34",
         12},                           // the text ends at its zero byte
        {"0000000000000000000099", 99}, // leading zeros are no overflow
        {"2147483647", INT_MAX},
        {"-2147483647", -INT_MAX},
        {"2147483648", 0},  // beyond int
        {"-2147483648", 0}, // its negation would be beyond int
        {"99999999999999999999999999", 0},
        {"", 0},
        {"\n", 0},
        {"abc", 0},
        {"+", 0},
        {"-", 0},
        {"+-5", 0},
        {"- 5", 0},
        {"0x10", 0},
    };
    for (const auto &[text, owner] : cases) {
        EXPECT_EQ(lock_owner(text), owner) << '"' << text << '"';
    }
}

TEST(TemporaryOwner, OnlyLtmpAndTheDigitsOfAProcessId) {
    const std::vector<std::pair<const char *, pid_t>> cases{
        {"LTMP.1", 1},
        {"LTMP.4242", 4242},
        {"LTMP.2147483647", INT_MAX},
        {"LTMP.2147483648", 0},
        {"LTMP.99999999999999999999", 0},
        {"LTMP.0", 0},   // no process has it
        {"LTMP.042", 0}, // not how a process ID is written
        {"LTMP.", 0},
        {"LTMP.-5", 0},
        {"LTMP.+5", 0},
        {"LTMP. 5", 0},
        {"LTMP.5 ", 0},
        {"LTMP.5x", 0},
        {"LTMP.5.bak", 0},
        {"ltmp.5", 0},
        {"LTMP5", 0},
        {"xLTMP.5", 0},
        {"LCK..ttyACM0", 0},
        {"", 0},
    };
    for (const auto &[name, owner] : cases) {
        EXPECT_EQ(temporary_owner(name), owner) << '"' << name << '"';
    }
}

TEST(DebugMask, ParsedLikeStrtolAndClampedTo32Bits) {
    const std::vector<std::pair<const char *, std::int32_t>> cases{
        {"0", 0},
        {"1", DEBUG_CTRL},
        {"7", DEBUG_CTRL | DEBUG_AUDIO | DEBUG_PORTS},
        {" +5x", 5}, // white space, sign, stops at the x
        {"\t6", 6},
        {"abc", 0},
        {"", 0},
        {"0x10", 0},
        {"010", 10}, // decimal, not octal
        {"-1", -1},  // every bit
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999", INT32_MIN}, // only the sign bit
    };
    for (const auto &[text, mask] : cases) {
        EXPECT_EQ(parse_mask(text), mask) << '"' << text << '"';
    }
}

TEST(LockPath, TheDirectoryAndLckDotDotBeforeTheDevicesBaseName) {
    EXPECT_STREQ(make_lock_path("/var/lock", "/dev/ttyACM12").data(), "/var/lock/LCK..ttyACM12");
    EXPECT_STREQ(make_lock_path("lock", "dev/ptyp6").data(), "lock/LCK..ptyp6");
    // A published master's lock name has no directory.
    EXPECT_STREQ(make_lock_path("/var/lock", "ptybridge-gsm-ctrl").data(),
                 "/var/lock/LCK..ptybridge-gsm-ctrl");
    EXPECT_STREQ(make_lock_path("/run/lock", "/dev/serial/by-id/usb-modem-if00").data(),
                 "/run/lock/LCK..usb-modem-if00");

    // 63 characters fit whole; a longer path is cut to 63.
    const std::string dir(63 - std::strlen("/LCK..ttyACM0"), 'd');
    EXPECT_EQ(std::string(make_lock_path(dir.c_str(), "/dev/ttyACM0").data()),
              dir + "/LCK..ttyACM0");
    const std::string cut(make_lock_path(dir.c_str(), "/dev/ttyACM10").data());
    EXPECT_EQ(cut, dir + "/LCK..ttyACM1");
    const std::string long_dir(200, 'l');
    EXPECT_EQ(std::string(make_lock_path(long_dir.c_str(), "/dev/ttyACM0").data()),
              long_dir.substr(0, 63));
}

// The relay over descriptors of this process: pipes, and pseudo-terminal
// masters whose client has hung up.
class RelayCloses : public ::testing::Test {
  protected:
    void SetUp() override {
        logged.clear();
        debug_mask = DEBUG_PORTS;
    }
    void TearDown() override {
        for (const int fd : fds_) {
            close(fd);
        }
        debug_mask = 0;
    }

    // A pipe; both ends are closed at the end of the test unless the relay
    // closed them (a number it freed may be reused only by this test).
    std::array<int, 2> make_pipe() {
        std::array<int, 2> ends{};
        EXPECT_EQ(pipe2(ends.data(), O_NONBLOCK | O_CLOEXEC), 0);
        keep(ends[0]);
        keep(ends[1]);
        return ends;
    }
    int keep(int fd) {
        fds_.push_back(fd);
        return fd;
    }
    // Forgets a descriptor closed already.
    void closed_by_relay(int fd) {
        std::erase(fds_, fd);
    }
    // relay(), and the descriptors it closed forgotten.
    void run(const relay_direction &d, port &source, port &destination) {
        const int fds[] = {source.fd, destination.fd};
        relay(d, source, destination);
        if (source.fd < 0) {
            closed_by_relay(fds[0]);
        }
        if (destination.fd < 0) {
            closed_by_relay(fds[1]);
        }
    }

    // A source whose read ends the way a hang-up does: end of file on a
    // pipe whose writer is gone, or EIO on a master whose slave was closed.
    int hung_up_source(bool end_of_file) {
        if (end_of_file) {
            const auto ends = make_pipe();
            close(ends[1]);
            closed_by_relay(ends[1]);
            return ends[0];
        }
        const int master = keep(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        std::array<char, 64> slave{};
        EXPECT_EQ(ptsname_r(master, slave.data(), slave.size()), 0);
        close(open(slave.data(), O_RDWR | O_NOCTTY));
        return master;
    }

    // The names of the ports the relay closed, in order; each must also
    // show as closed.
    std::vector<std::string> closes(std::initializer_list<const port *> ports) {
        std::vector<std::string> order;
        for (const auto &m : logged) {
            const auto at = m.text.find(" close, fd=");
            if (at != std::string::npos) {
                order.push_back(m.text.substr(0, at));
            }
        }
        for (const port *p : ports) {
            const bool said_closed =
                std::find(order.begin(), order.end(), p->device) != order.end();
            EXPECT_EQ(p->fd < 0, said_closed) << p->device;
        }
        return order;
    }

    std::vector<std::string> texts(int priority) {
        return logged_texts(priority);
    }

    // The four directions, with where each takes bytes from and to.
    struct direction_case {
        const char *name;
        const relay_direction &direction;
        bool from_client; // the source is a pseudo-terminal master
    };
    static constexpr std::array<direction_case, 4> directions() {
        return {{{"ctrl PTY-GSM", ctrl_pty_to_gsm, true},
                 {"audio PTY-GSM", audio_pty_to_gsm, true},
                 {"ctrl GSM-PTY", ctrl_gsm_to_pty, false},
                 {"audio GSM-PTY", audio_gsm_to_pty, false}}};
    }

  private:
    std::vector<int> fds_;
};

TEST_F(RelayCloses, AHungUpClientClosesItsChannelAHungUpModemOnlyItself) {
    for (const auto &d : directions()) {
        for (const bool end_of_file : {true, false}) {
            SCOPED_TRACE(std::string(d.name) + (end_of_file ? ", end of file" : ", EIO"));
            logged.clear();
            const auto other = make_pipe();
            port source{hung_up_source(end_of_file), "source",
                        d.from_client ? port_kind::master : port_kind::modem};
            port destination{other[1], "destination"};
            run(d.direction, source, destination);
            if (d.from_client) {
                // The client is gone: so is the modem port it was using.
                EXPECT_EQ(closes({&source, &destination}),
                          (std::vector<std::string>{"source", "destination"}));
            } else {
                // The modem went away: the client keeps its master.
                EXPECT_EQ(closes({&source, &destination}), std::vector<std::string>{"source"});
            }
            // Only a modem's end of file is worth a line: a USB modem that
            // went away. A client hangs up all the time.
            const bool modem_gone = !d.from_client && end_of_file;
            EXPECT_EQ(texts(LOG_ERR), modem_gone ? std::vector<std::string>{"source hung up"}
                                                 : std::vector<std::string>{});
        }
    }
}

TEST_F(RelayCloses, AnyOtherReadErrorIsLoggedAndClosesByTheSameRules) {
    for (const auto &d : directions()) {
        SCOPED_TRACE(d.name);
        logged.clear();
        const auto other = make_pipe();
        port source{other[1], "source"}; // a pipe's write end: EBADF
        port destination{make_pipe()[1], "destination"};
        run(d.direction, source, destination);
        EXPECT_EQ(texts(LOG_ERR),
                  std::vector<std::string>{"source read error (9, Bad file descriptor)"});
        if (d.from_client) {
            EXPECT_EQ(closes({&source, &destination}),
                      (std::vector<std::string>{"source", "destination"}));
        } else {
            EXPECT_EQ(closes({&source, &destination}), std::vector<std::string>{"source"});
        }
    }
}

// A readiness that turned out empty (a client reopened the terminal before
// the read) is no failure: closing would hang up that client, or drop DTR
// on the modem in mid-call.
TEST_F(RelayCloses, AReadThatFindsNothingClosesNothingAndSaysNothing) {
    for (const auto &d : directions()) {
        SCOPED_TRACE(d.name);
        logged.clear();
        const auto empty = make_pipe(); // nothing written: EAGAIN
        port source{empty[0], "source"};
        port destination{make_pipe()[1], "destination"};
        run(d.direction, source, destination);
        EXPECT_EQ(logged.size(), 0u);
        EXPECT_GE(source.fd, 0);
        EXPECT_GE(destination.fd, 0);
    }
}

TEST_F(RelayCloses, AFailedWriteToTheModemClosesItAloneToTheClientClosesBoth) {
    for (const auto &d : directions()) {
        SCOPED_TRACE(d.name);
        logged.clear();
        const auto input = make_pipe();
        const auto unwritable = make_pipe(); // its read end takes no write: EBADF
        ASSERT_EQ(write(input[1], "AT\r", 3), 3);
        port source{input[0], "source"};
        port destination{unwritable[0], "destination"};
        run(d.direction, source, destination);
        EXPECT_EQ(texts(LOG_ERR),
                  std::vector<std::string>{"destination write error (9, Bad file descriptor)"});
        if (d.from_client) {
            // The client stays: it may send again and have the modem reopened.
            EXPECT_EQ(closes({&source, &destination}), std::vector<std::string>{"destination"});
        } else {
            // The client is gone: the modem port is given up with it, client first.
            EXPECT_EQ(closes({&source, &destination}),
                      (std::vector<std::string>{"destination", "source"}));
        }
    }
}

TEST_F(RelayCloses, AChunkForAClosedClientIsLostAndNothingIsClosed) {
    for (const auto &d : {ctrl_gsm_to_pty, audio_gsm_to_pty}) {
        logged.clear();
        const auto input = make_pipe();
        ASSERT_EQ(write(input[1], "RING", 4), 4);
        port source{input[0], "source"};
        port destination{-1, "destination"};
        run(d, source, destination);
        EXPECT_EQ(texts(LOG_ERR),
                  std::vector<std::string>{"source data lost, cannot open destination"});
        EXPECT_EQ(closes({&source}), std::vector<std::string>{});
        EXPECT_EQ(destination.fd, -1) << "never opened here";
    }
}

TEST_F(RelayCloses, ChunksMoveWholeUpTo4095BytesWithEachDirectionsDebugText) {
    debug_mask = DEBUG_CTRL | DEBUG_AUDIO;
    const auto relay_through = [&](const relay_direction &d, const std::string &data) {
        const auto input = make_pipe();
        const auto output = make_pipe();
        EXPECT_EQ(fcntl(input[1], F_SETPIPE_SZ, 65536) >= 0, true);
        EXPECT_EQ(write(input[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        port source{input[0], "source"};
        port destination{output[1], "destination"};
        run(d, source, destination);
        std::string out(8192, '\0');
        const ssize_t n = read(output[0], out.data(), out.size());
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        EXPECT_GE(source.fd, 0);
        EXPECT_GE(destination.fd, 0);
        return out;
    };
    EXPECT_EQ(relay_through(ctrl_pty_to_gsm, "AT\r"), "AT\r");
    EXPECT_EQ(relay_through(ctrl_gsm_to_pty, "\r\nOK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(relay_through(ctrl_pty_to_gsm, std::string("A\0B", 3)), std::string("A\0B", 3));
    EXPECT_EQ(relay_through(audio_pty_to_gsm, std::string(31, 'a')), std::string(31, 'a'));
    EXPECT_EQ(relay_through(audio_pty_to_gsm, std::string(32, 'b')), std::string(32, 'b'));
    EXPECT_EQ(relay_through(audio_gsm_to_pty, std::string(31, 'c')), std::string(31, 'c'));
    EXPECT_EQ(relay_through(audio_gsm_to_pty, std::string(5000, 'd')), std::string(4095, 'd'));

    const std::vector<std::string> expected{
        "ctrl PTY-GSM, [3] \"AT\r\"",        "ctrl GSM-PTY, [6], \"\r\nOK\r\n\"",
        "ctrl PTY-GSM, [3] \"A\"",           "audio PTY-GSM, [31] \"" + std::string(31, 'a') + "\"",
        "audio PTY-GSM, [32] \"{audio}\"",   "audio GSM-PTY, [31] \"" + std::string(31, 'c') + "\"",
        "audio GSM-PTY, [4095] \"{audio}\"",
    };
    EXPECT_EQ(texts(LOG_DEBUG), expected);
    EXPECT_EQ(texts(LOG_ERR), std::vector<std::string>{});

    // Each channel's bit shows only its own chunks.
    logged.clear();
    debug_mask = DEBUG_AUDIO;
    relay_through(ctrl_pty_to_gsm, "AT\r");
    relay_through(audio_gsm_to_pty, "pcm");
    EXPECT_EQ(texts(LOG_DEBUG), std::vector<std::string>{"audio GSM-PTY, [3] \"pcm\""});
}

} // namespace
