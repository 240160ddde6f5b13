// Bytes through the bridge, both ways on both channels, and what the relay
// closes and logs when a side fails.

#include "harness.hpp"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using namespace harness;

namespace {

std::string every_byte(std::size_t repeat) {
    std::string data;
    for (std::size_t r = 0; r < repeat; ++r) {
        for (int b = 0; b < 256; ++b) {
            data += static_cast<char>((b + r) & 0xff);
        }
    }
    return data;
}

// Stops the daemon while bytes are put in front of it, so that each side's
// bytes are waiting whole when it next wakes.
struct paused {
    pid_t pid;
    explicit paused(pid_t p) : pid(p) {
        kill(pid, SIGSTOP);
        EXPECT_TRUE(poll_until([&] { return process_state(pid) == 'T'; }));
    }
    ~paused() {
        kill(pid, SIGCONT);
    }
};

// Both directions of a transfer: the ctrl client to its modem port, and
// the audio modem to its client. Each end is made non-blocking.
struct direction_case {
    const char *name;
    int from;
    int to;
    std::string source;
    std::string destination;
    std::function<std::size_t()> unread; // what waits at the source for the daemon
};

std::vector<direction_case> both_directions(bridge &b) {
    const int ctrl = b.attach(channel::ctrl);
    const int audio = b.attach(channel::audio);
    EXPECT_TRUE(write_all(audio, "x")); // opens the audio modem port
    EXPECT_EQ(read_for(b.modem(channel::audio).master, 1), "x");
    std::vector<direction_case> cases{
        {"client to modem", ctrl, b.modem(channel::ctrl).master, ctrl_pty_name, "dev/ttyACM12",
         [&b] { return b.unread_from_client(channel::ctrl); }},
        {"modem to client", b.modem(channel::audio).master, audio, "dev/ttyACM11", audio_pty_name,
         [&b] { return b.unread_from_modem(channel::audio); }}};
    for (const auto &c : cases) {
        for (const int fd : {c.from, c.to}) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    return cases;
}

// Writes `data` from the start until the bytes back up to the writer: the
// daemon waits, twice in a row, while its source is full. Returns what was
// written, or stops when the daemon reports an error.
std::size_t write_until_backed_up(bridge &b, const direction_case &c, const std::string &data) {
    std::size_t sent = 0;
    int stuck = 0;
    EXPECT_TRUE(poll_until([&] {
        const ssize_t n = write(c.from, data.data() + sent, data.size() - sent);
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        const bool full =
            n < 0 && errno == EAGAIN && c.unread() > 0 && sandbox::probe_wait(b.pid()).blocked;
        stuck = full ? stuck + 1 : 0;
        return stuck == 2 || sent == data.size() || !b.texts(LOG_ERR).empty();
    }));
    return sent;
}

} // namespace

TEST(Relay, EveryByteValueBothWaysOnBothChannels) {
    bridge b;
    for (const channel c : {channel::ctrl, channel::audio}) {
        const int client = b.attach(c);
        ASSERT_GE(client, 0);
        const std::string up = every_byte(64);
        EXPECT_EQ(pump(client, b.modem(c).master, up), up);
        const std::string down = every_byte(48).substr(7);
        EXPECT_EQ(pump(b.modem(c).master, client, down), down);
        close(client);
    }
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
    EXPECT_EQ(b.texts(LOG_DEBUG), std::vector<std::string>{});
}

TEST(Relay, ModemPortOpensOnFirstClientBytesUnderItsLock) {
    bridge b({.args = {"-d", "5"}});
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(b.idle());
    EXPECT_EQ(b.opens(gsm_path(channel::ctrl)), 0u);
    EXPECT_FALSE(b.lock_exists(gsm_path(channel::ctrl)));

    ASSERT_TRUE(write_all(client, "AT\r"));
    EXPECT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");
    const std::string lock = b.path(lock_name(gsm_path(channel::ctrl)));
    EXPECT_EQ(file_text(lock), lock_text(b.pid()));
    struct stat st {};
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const long shown = b.index_of("ctrl PTY-GSM, [3] \"AT\r\"");
    ASSERT_GE(shown, 0) << ::testing::PrintToString(b.texts());
    const auto texts = b.texts();
    ASSERT_GT(texts.size(), static_cast<std::size_t>(shown + 1));
    EXPECT_TRUE(std::regex_match(texts[shown + 1], std::regex("dev/ttyACM12 open, fd=[0-9]+")))
        << texts[shown + 1];
    // The audio modem port stays closed: nothing was sent on that channel.
    EXPECT_FALSE(b.lock_exists(gsm_path(channel::audio)));
    close(client);
}

TEST(Relay, LargeChunksAreCutAt4095BytesAndArriveWhole) {
    bridge b({.args = {"-d", "1"}});
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(write_all(client, "x"));
    ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 1), "x");

    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>('A' + i % 26);
    }
    {
        paused stop(b.pid());
        ASSERT_TRUE(write_all(client, data));
        ASSERT_TRUE(poll_until([&] { return b.unread_from_client(channel::ctrl) >= 4095; }));
    }
    EXPECT_EQ(read_for(b.modem(channel::ctrl).master, data.size()), data);

    std::size_t total = 0;
    std::size_t largest = 0;
    const std::regex shown(R"(ctrl PTY-GSM, \[([0-9]+)\] "([A-Z]*)\")");
    for (const auto &t : b.texts(LOG_DEBUG)) {
        std::smatch m;
        if (std::regex_match(t, m, shown) && m[2].str() != "x") {
            const std::size_t n = std::stoul(m[1].str());
            EXPECT_EQ(m[2].length(), static_cast<long>(n));
            total += n;
            largest = std::max(largest, n);
        }
    }
    EXPECT_EQ(total, data.size());
    EXPECT_EQ(largest, 4095u);
    close(client);
}

TEST(Relay, ClientHangUpClosesItsChannelSilentlyAndReopensTheMaster) {
    for (const channel c : {channel::ctrl, channel::audio}) {
        bridge b({.args = {"-d", "4"}});
        const std::string name = pty_name(c);
        const std::string gsm = gsm_path(c);
        const int client = b.attach(c);
        ASSERT_TRUE(write_all(client, "AT\r"));
        ASSERT_EQ(read_for(b.modem(c).master, 3), "AT\r");
        ASSERT_TRUE(b.lock_exists(gsm.c_str()));

        const std::size_t before = b.texts().size();
        close(client); // the master's next read fails with EIO
        ASSERT_TRUE(poll_until(
            [&] { return b.opens(name) >= 2 && !b.lock_exists(gsm.c_str()) && b.idle(); }));
        const auto texts = b.texts();
        std::vector<std::string> after(texts.begin() + static_cast<long>(before), texts.end());
        // A linked master gave its link to the next one when the client
        // opened it; a legacy one can only be closed and reopened.
        const std::vector<std::string> order =
            link_mode ? std::vector<std::string>{name + " close", gsm + " close"}
                      : std::vector<std::string>{name + " close", gsm + " close", name + " open"};
        ASSERT_GE(after.size(), order.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            EXPECT_TRUE(std::regex_match(after[i], std::regex(order[i] + ", fd=[0-9]+")))
                << ::testing::PrintToString(after);
        }
        EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
        EXPECT_TRUE(b.lock_exists(name)); // held again by the new master

        // The modem port stays closed until the client sends again.
        const int again = b.attach(c, 1);
        ASSERT_GE(again, 0);
        EXPECT_EQ(b.opens(gsm.c_str()), 1u);
        ASSERT_TRUE(write_all(again, "ATI\r"));
        EXPECT_EQ(read_for(b.modem(c).master, 4), "ATI\r");
        EXPECT_EQ(b.opens(gsm.c_str()), 2u);
        close(again);
    }
}

TEST(Relay, ModemHangUpClosesOnlyTheModemPortAndReplugWorks) {
    bridge b({.args = {"-d", "4"}});
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 3), "AT\r");

    // Unplugged: the device node goes, and the open slave reads end of
    // file. The link goes first: a parallel test could get the freed
    // terminal number at once.
    std::filesystem::remove(b.path("dev/ttyACM12"));
    close(b.modem(channel::ctrl).master);
    b.modem(channel::ctrl).master = -1;
    ASSERT_TRUE(poll_until([&] { return !b.lock_exists("dev/ttyACM12"); }));
    ASSERT_TRUE(poll_until([&] { return b.idle(); }));
    const auto closes = b.texts(LOG_DEBUG);
    EXPECT_TRUE(std::regex_match(closes.back(), std::regex("dev/ttyACM12 close, fd=[0-9]+")));
    EXPECT_EQ(b.count(ctrl_pty_name + " close, fd=" + std::to_string(-1)), 0u);
    EXPECT_TRUE(b.lock_exists(ctrl_pty_name));
    // The modem going away is told once, unlike a client's hang-up.
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{"dev/ttyACM12 hung up"});

    // Bytes for a modem that is not there are lost, and say so.
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(b.wait_message(ctrl_pty_name + " data lost, cannot open dev/ttyACM12"));
    EXPECT_EQ(b.texts(LOG_ERR),
              (std::vector<std::string>{"dev/ttyACM12 hung up",
                                        "cannot open dev/ttyACM12 (2, No such file or directory)",
                                        ctrl_pty_name + " data lost, cannot open dev/ttyACM12"}));
    EXPECT_FALSE(b.lock_exists("dev/ttyACM12"));

    // Replugged as a new terminal at the same path.
    pty replug;
    std::filesystem::create_symlink(replug.slave, b.path("dev/ttyACM12"));
    ASSERT_TRUE(write_all(client, "ATI\r"));
    EXPECT_EQ(read_for(replug.master, 4), "ATI\r");
    ASSERT_TRUE(write_all(replug.master, "\r\nOK\r\n"));
    EXPECT_EQ(read_for(client, 6), "\r\nOK\r\n");
    close(client);
}

// A destination that is full for a moment keeps the chunk it could not
// take, and the source waits behind it: a transfer far larger than the
// terminals hold arrives whole and in order, though the reader starts
// only once the writer is stuck.
TEST(Relay, AReaderThatFallsBehindLosesNothing) {
    bridge b;
    const std::string data = every_byte(1024);
    for (const auto &c : both_directions(b)) {
        SCOPED_TRACE(c.name);
        std::size_t sent = write_until_backed_up(b, c, data);
        EXPECT_LT(sent, data.size());
        EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
        std::string got;
        char buffer[8192];
        EXPECT_TRUE(poll_until([&] {
            const ssize_t w = write(c.from, data.data() + sent, data.size() - sent);
            sent += w > 0 ? static_cast<std::size_t>(w) : 0;
            const ssize_t n = read(c.to, buffer, sizeof buffer);
            got.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            return got.size() >= data.size();
        }));
        EXPECT_TRUE(got == data) << got.size() << " bytes arrived";
    }
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
}

// One that stops reading holds its source up for a second only: then the
// rest of the chunk is lost, and so is what it cannot take at once until
// it reads again. No port closes: a client that stalls keeps its modem.
TEST(Relay, AReaderThatStopsLosesDataAfterASecondAndKeepsItsPorts) {
    bridge b({.args = {"-d", "4"}});
    const std::string data = every_byte(1024);
    for (const auto &c : both_directions(b)) {
        SCOPED_TRACE(c.name);
        const std::size_t before = b.texts(LOG_ERR).size();
        const std::regex lost(c.source + " data lost, cannot write " + c.destination +
                              R"( \(([0-9]+) of ([0-9]+)\))");
        std::size_t sent = 0;
        std::array<int, 2> taken_of{}; // the first loss: W of N
        ASSERT_TRUE(poll_until([&] {
            const ssize_t n = write(c.from, data.data(), data.size());
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            const auto texts = b.texts(LOG_ERR);
            std::smatch m;
            if (texts.size() <= before || !std::regex_match(texts[before], m, lost)) {
                return false;
            }
            taken_of = {std::stoi(m[1]), std::stoi(m[2])};
            return true;
        })) << ::testing::PrintToString(b.texts(LOG_ERR));
        EXPECT_LT(sent, data.size()) << "held up for a second, not at once";
        EXPECT_LT(taken_of[0], taken_of[1]);
        // Its source is read again.
        EXPECT_TRUE(poll_until([&] { return write(c.from, "s", 1) == 1; }));

        // Once it reads again, what comes next arrives whole.
        std::string got;
        char buffer[8192];
        EXPECT_TRUE(poll_until([&] {
            const ssize_t n = read(c.to, buffer, sizeof buffer);
            got.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            return n < 0 && pending(c.to) == 0 && b.idle();
        }));
        ASSERT_TRUE(write_all(c.from, "\r\nEND\r\n"));
        EXPECT_EQ(read_for(c.to, 7), "\r\nEND\r\n");
        const auto texts = b.texts(LOG_ERR);
        for (std::size_t i = before; i < texts.size(); ++i) {
            EXPECT_TRUE(std::regex_match(texts[i], lost)) << texts[i];
        }
    }
    for (const auto &t : b.texts()) {
        EXPECT_FALSE(std::regex_match(t, std::regex("dev/ttyACM1[12] close, fd=[0-9]+"))) << t;
    }
}

TEST(Relay, ModemLockHeldByALiveProcessLosesTheChunkAfterTheWait) {
    bridge b({.args = {"-d", "1"}});
    const int client = b.attach(channel::ctrl);
    ASSERT_TRUE(write_file(b.path("lock/LCK..ttyACM12"), lock_text(getpid())));
    ASSERT_TRUE(write_all(client, "AT\r"));
    ASSERT_TRUE(b.wait_message(ctrl_pty_name + " data lost, cannot open dev/ttyACM12"));
    const auto shown = b.find("ctrl PTY-GSM, [3] \"AT\r\"");
    const auto refused = b.find("cannot lock dev/ttyACM12");
    ASSERT_TRUE(shown && refused);
    const double waited = static_cast<double>(refused->usec - shown->usec) / 1e6;
    EXPECT_GE(waited, 1.0);
    EXPECT_LT(waited, 2.5);
    EXPECT_EQ(b.texts(LOG_ERR),
              (std::vector<std::string>{"cannot lock dev/ttyACM12",
                                        ctrl_pty_name + " data lost, cannot open dev/ttyACM12"}));
    EXPECT_EQ(file_text(b.path("lock/LCK..ttyACM12")), lock_text(getpid()));
    EXPECT_EQ(b.opens("dev/ttyACM12"), 0u);

    // Once the other process lets go, the next chunk takes the port.
    std::filesystem::remove(b.path("lock/LCK..ttyACM12"));
    ASSERT_TRUE(write_all(client, "ATI\r"));
    EXPECT_EQ(read_for(b.modem(channel::ctrl).master, 4), "ATI\r");
    EXPECT_EQ(file_text(b.path("lock/LCK..ttyACM12")), lock_text(b.pid()));
    close(client);
}

TEST(Relay, PortsReadyInOnePassAreServedCtrlFirstPtyBeforeModem) {
    bridge b({.args = {"-d", "3"}});
    const int ctrl = b.attach(channel::ctrl);
    const int audio = b.attach(channel::audio);
    for (const auto &[fd, c] : {std::pair{ctrl, channel::ctrl}, std::pair{audio, channel::audio}}) {
        ASSERT_TRUE(write_all(fd, "o"));
        ASSERT_EQ(read_for(b.modem(c).master, 1), "o");
    }
    const std::size_t before = b.texts().size();
    {
        paused stop(b.pid());
        ASSERT_TRUE(write_all(b.modem(channel::audio).master, "4"));
        ASSERT_TRUE(write_all(b.modem(channel::ctrl).master, "3"));
        ASSERT_TRUE(write_all(audio, "2"));
        ASSERT_TRUE(write_all(ctrl, "1"));
        ASSERT_TRUE(poll_until([&] {
            return b.unread_from_client(channel::ctrl) == 1 &&
                   b.unread_from_client(channel::audio) == 1 &&
                   b.unread_from_modem(channel::ctrl) == 1 &&
                   b.unread_from_modem(channel::audio) == 1;
        }));
    }
    ASSERT_TRUE(poll_until([&] { return b.texts().size() >= before + 4; }));
    const auto texts = b.texts();
    EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<long>(before), texts.end()),
              (std::vector<std::string>{"ctrl PTY-GSM, [1] \"1\"", "audio PTY-GSM, [1] \"2\"",
                                        "ctrl GSM-PTY, [1], \"3\"", "audio GSM-PTY, [1] \"4\""}));
    close(ctrl);
    close(audio);
}

TEST(Relay, PortsClosedEarlierInThePassAreNotServed) {
    bridge b({.args = {"-d", "4"}});
    const int ctrl = b.attach(channel::ctrl);
    ASSERT_TRUE(write_all(ctrl, "o"));
    ASSERT_EQ(read_for(b.modem(channel::ctrl).master, 1), "o");
    {
        // The client hangs up while the modem answers, in the same pass.
        paused stop(b.pid());
        ASSERT_TRUE(write_all(b.modem(channel::ctrl).master, "late"));
        ASSERT_TRUE(poll_until([&] { return b.unread_from_modem(channel::ctrl) == 4; }));
        close(ctrl);
    }
    ASSERT_TRUE(poll_until([&] { return b.opens(ctrl_pty_name) >= 2 && b.idle(); }));
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
}

TEST(Relay, PortOpenedLaterInThePassIsNotTakenForReady) {
    // The ctrl master fails in the same pass in which the audio channel
    // first sends: the ctrl master's descriptor number goes to the new audio
    // modem port, which has nothing to read yet and must not be read.
    bridge b({.args = {"-d", "4"}});
    const int ctrl = b.attach(channel::ctrl);
    const int audio = b.attach(channel::audio);
    {
        paused stop(b.pid());
        close(ctrl);
        ASSERT_TRUE(write_all(audio, "x"));
        ASSERT_TRUE(poll_until([&] { return b.unread_from_client(channel::audio) == 1; }));
    }
    EXPECT_EQ(read_for(b.modem(channel::audio).master, 1), "x");
    ASSERT_TRUE(poll_until([&] { return b.opens(ctrl_pty_name) >= 2 && b.idle(); }));
    EXPECT_EQ(b.texts(LOG_ERR), std::vector<std::string>{});
    EXPECT_TRUE(b.lock_exists("dev/ttyACM11"));
    ASSERT_TRUE(write_all(b.modem(channel::audio).master, "y"));
    EXPECT_EQ(read_for(audio, 1), "y");
    close(audio);
}
