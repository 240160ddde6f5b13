// Drives the real emulator binary the way the daemon would: through the
// symlinked pseudo-terminal slaves, the control FIFO and signals.

#include "at_engine.hpp"
#include "processes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using steady = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;
using status_map = std::map<std::string, std::string>;

// Deadline of every wait, generous for a loaded machine: a passing test never
// waits this long.
constexpr ms wait_limit{10000};
constexpr std::size_t frame_size = 320;
const std::string ok_reply = "\r\nOK\r\n";

template <class F> bool wait_until(F cond, ms limit = wait_limit) {
    auto end = steady::now() + limit;
    for (;;) {
        if (cond()) {
            return true;
        }
        if (steady::now() >= end) {
            return false;
        }
        poll(nullptr, 0, 5);
    }
}

int remaining_ms(steady::time_point end) {
    auto left = std::chrono::duration_cast<ms>(end - steady::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Reads from fd until done(received) holds or the deadline passes.
template <class F> std::string read_while_not(int fd, F done, ms limit = wait_limit) {
    std::string got;
    auto end = steady::now() + limit;
    while (!done(got)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(end)) <= 0) {
            break;
        }
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return got;
}

std::string read_until(int fd, const std::string &want, ms limit = wait_limit) {
    return read_while_not(
        fd, [&](const std::string &s) { return s.find(want) != std::string::npos; }, limit);
}

std::string read_bytes(int fd, std::size_t count, ms limit = wait_limit) {
    return read_while_not(
        fd, [&](const std::string &s) { return s.size() >= count; }, limit);
}

// Everything that arrives within the window (an observation, not a wait).
std::string read_during(int fd, ms window) {
    return read_while_not(
        fd, [](const std::string &) { return false; }, window);
}

bool write_all(int fd, const std::string &data) {
    std::size_t done = 0;
    auto end = steady::now() + wait_limit;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, remaining_ms(end)) <= 0) {
            return false;
        }
    }
    return true;
}

// The client side of a hang-up: read returns 0 or fails with EIO.
bool sees_hangup(int fd) {
    auto end = steady::now() + wait_limit;
    for (;;) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno == EIO)) {
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (n > 0) {
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(end)) <= 0) {
            return false;
        }
    }
}

std::string link_target(const std::string &path) {
    std::error_code ec;
    fs::path t = fs::read_symlink(path, ec);
    return ec ? "" : t.string();
}

bool absent(const std::string &path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_type::not_found;
}

std::uint64_t num(const status_map &m, const char *key) {
    auto it = m.find(key);
    return it == m.end() ? UINT64_MAX : std::stoull(it->second);
}

// CPU time the process has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string w; rest >> w;) {
        fields.push_back(w);
    }
    // Fields from the state on: utime and stime are the 12th and 13th.
    return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1;
}

class Emulator : public ::testing::Test {
  protected:
    fs::path dir;
    pid_t pid = -1;
    int exit_status = -1;
    std::vector<int> fds;

    void SetUp() override {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                            "/gsm-modem-emulator-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
    }

    void TearDown() override {
        for (int fd : fds) {
            close(fd);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (HasFailure()) {
            for (const char *name : {"log", "stderr"}) {
                std::ifstream f(path(name));
                std::cerr << "---- emulator " << name << " ----\n" << f.rdbuf() << "\n";
            }
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string path(const char *name) const {
        return (dir / name).string();
    }

    std::vector<std::string> default_args() const {
        return {
            "--ctrl",   path("ctrl"),   "--audio",      path("audio"), "--control", path("control"),
            "--status", path("status"), "--ready-file", path("ready"), "--log",     path("log"),
            "-v"};
    }

    void spawn(const std::vector<std::string> &args) {
        // execv wants char *const[]; it does not write through them.
        std::vector<char *> argv(args.size() + 2, nullptr);
        argv[0] = const_cast<char *>(GSM_MODEM_EMULATOR);
        std::transform(args.begin(), args.end(), argv.begin() + 1,
                       [](const std::string &a) { return const_cast<char *>(a.c_str()); });
        std::string out = path("stderr");
        pid = sandbox::fork_child();
        if (pid == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
    }

    bool reaped() {
        if (pid <= 0) {
            return true;
        }
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) != pid) {
            return false;
        }
        exit_status = st;
        pid = -1;
        return true;
    }

    // Starts the emulator and waits for its ready file.
    bool start(const std::vector<std::string> &args = {}) {
        spawn(args.empty() ? default_args() : args);
        if (pid < 0) {
            return false;
        }
        wait_until([&] { return fs::exists(path("ready")) || reaped(); });
        return pid > 0 && fs::exists(path("ready"));
    }

    bool signal(int sig) {
        return pid > 0 && kill(pid, sig) == 0;
    }

    // Sends sig and waits for the exit; the wait status, or -1.
    int stop(int sig) {
        if (!signal(sig) || !wait_until([&] { return reaped(); })) {
            return -1;
        }
        return exit_status;
    }

    static void make_raw(int fd) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }

    // Opens a channel like the daemon does: the symlink, raw mode.
    int open_client(const char *name) {
        int fd = open(path(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        make_raw(fd);
        fds.push_back(fd);
        return fd;
    }

    void close_client(int fd) {
        std::erase(fds, fd);
        close(fd);
    }

    // One command line; returns what came back up to the final result code.
    static std::string at(int fd, const std::string &command) {
        if (!write_all(fd, command + "\r")) {
            return "<write failed>";
        }
        return read_while_not(fd, [](const std::string &s) {
            return s.ends_with("OK\r\n") || s.ends_with("ERROR\r\n");
        });
    }

    // A ctrl client with echo off, as control software usually sets it.
    int ctrl_client() {
        int fd = open_client("ctrl");
        if (fd >= 0 && at(fd, "ATE0") != "ATE0\r" + ok_reply) {
            return -1;
        }
        return fd;
    }

    bool request(const std::string &line) {
        int fd = open(path("control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        bool ok = write_all(fd, line + "\n");
        close(fd);
        return ok;
    }

    status_map status() {
        std::string file = path("status");
        fs::remove(file);
        status_map m;
        if (!request("status") || !wait_until([&] { return fs::exists(file); })) {
            return m;
        }
        std::ifstream f(file);
        for (std::string word; f >> word;) {
            auto eq = word.find('=');
            if (eq != std::string::npos) {
                m[word.substr(0, eq)] = word.substr(eq + 1);
            }
        }
        return m;
    }

    template <class P> status_map status_until(P pred) {
        status_map m;
        wait_until([&] {
            m = status();
            return pred(m);
        });
        return m;
    }
};

TEST_F(Emulator, AtDialogueWithEchoOverThePseudoTerminal) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(link_target(path("ctrl")).starts_with("/dev/pts/"));
    int fd = open(path("ctrl").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    // Raw before any client touched it: a line discipline that echoed would
    // hand the modem its own responses back as commands.
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
    make_raw(fd);

    std::string sent;
    auto cmd = [&](const std::string &c) {
        sent += c + "\r";
        return at(fd, c);
    };
    EXPECT_EQ(cmd("AT"), "AT\r" + ok_reply);
    EXPECT_EQ(cmd("at+cgsn"), "at+cgsn\r\r\n" + std::string(at_imei) + "\r\n" + ok_reply);
    EXPECT_EQ(cmd("ATE0"), "ATE0\r" + ok_reply);
    EXPECT_EQ(cmd("AT+CPIN?"), "\r\n+CPIN: READY\r\n" + ok_reply);
    EXPECT_EQ(cmd("AT+CREG?"), "\r\n+CREG: 0,1\r\n" + ok_reply);
    EXPECT_EQ(cmd("AT+NOPE"), "\r\nERROR\r\n");

    // A command line in two writes, ended by CR LF.
    ASSERT_TRUE(write_all(fd, "AT+C"));
    ASSERT_TRUE(write_all(fd, "SQ\r\n"));
    sent += "AT+CSQ\r\n";
    EXPECT_EQ(read_until(fd, ok_reply), "\r\n+CSQ: 20,99\r\n" + ok_reply);

    status_map st =
        status_until([&](const status_map &m) { return num(m, "ctrl_rx") >= sent.size(); });
    EXPECT_EQ(num(st, "ctrl_rx"), sent.size());
    EXPECT_EQ(st["echo"], "off");
}

TEST_F(Emulator, DialStreamsToneFramesAtFiftyPerSecondUntilHangup) {
    ASSERT_TRUE(start());
    int audio = open_client("audio");
    int ctrl = ctrl_client();
    ASSERT_GE(audio, 0);
    ASSERT_GE(ctrl, 0);

    EXPECT_EQ(at(ctrl, "ATD5551234;"), ok_reply);
    std::string got = read_bytes(audio, 1);
    ASSERT_FALSE(got.empty()) << "no audio after dialling";
    auto t0 = steady::now();
    got += read_during(audio, ms(500));
    double secs = std::chrono::duration<double>(steady::now() - t0).count();
    double frames = static_cast<double>(got.size()) / frame_size;
    // 25 frames in 0.5 s; the bounds leave room for a loaded machine.
    EXPECT_GE(frames, 10.0) << "over " << secs << " s";
    EXPECT_LE(frames, 45.0) << "over " << secs << " s";

    EXPECT_EQ(at(ctrl, "ATH"), ok_reply);
    status_map st = status();
    EXPECT_EQ(st["call"], "idle");
    std::uint64_t tx = num(st, "audio_tx");
    EXPECT_EQ(tx % frame_size, 0u);
    EXPECT_EQ(num(st, "frames_sent") * frame_size, tx);
    EXPECT_EQ(num(st, "frames_dropped"), 0u);

    // Every byte sent arrives, and nothing more after the hang-up.
    if (got.size() < tx) {
        got += read_bytes(audio, tx - got.size());
    }
    EXPECT_EQ(got.size(), tx);
    EXPECT_EQ(read_during(audio, ms(200)).size(), 0u);

    // 16-bit little-endian samples of a 1 kHz sine at 8 kHz: 8 samples a
    // period, continuous across frames, peaks at the tone's amplitude.
    std::vector<int> s;
    for (std::size_t i = 0; i + 1 < got.size(); i += 2) {
        auto u = static_cast<std::uint16_t>(static_cast<unsigned char>(got[i]) |
                                            static_cast<unsigned char>(got[i + 1]) << 8);
        s.push_back(static_cast<std::int16_t>(u));
    }
    ASSERT_GE(s.size(), 2 * frame_size);
    int lo = 0;
    int hi = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        lo = std::min(lo, s[i]);
        hi = std::max(hi, s[i]);
        if (i >= 8) {
            ASSERT_EQ(s[i], s[i - 8]) << "sample " << i;
        }
    }
    EXPECT_GT(hi, 8000);
    EXPECT_EQ(lo, -hi);
}

TEST_F(Emulator, CountsBytesTheClientSendsOnAudio) {
    ASSERT_TRUE(start());
    int audio = open_client("audio");
    int ctrl = ctrl_client();
    ASSERT_GE(audio, 0);
    ASSERT_GE(ctrl, 0);
    ASSERT_TRUE(write_all(audio, std::string(1000, '\x55')));
    status_map st = status_until([](const status_map &m) { return num(m, "audio_rx") >= 1000; });
    EXPECT_EQ(num(st, "audio_rx"), 1000u);

    // Also while the emulator is sending.
    EXPECT_EQ(at(ctrl, "ATD123;"), ok_reply);
    ASSERT_TRUE(write_all(audio, std::string(10 * frame_size, '\x01')));
    st = status_until(
        [](const status_map &m) { return num(m, "audio_rx") >= 1000 + 10 * frame_size; });
    EXPECT_EQ(num(st, "audio_rx"), 1000 + 10 * frame_size);
    EXPECT_EQ(st["call"], "active");
}

TEST_F(Emulator, RingShowsCallerAndAtaStartsTheCall) {
    ASSERT_TRUE(start());
    int ctrl = ctrl_client();
    int audio = open_client("audio");
    ASSERT_GE(ctrl, 0);
    ASSERT_GE(audio, 0);

    ASSERT_TRUE(request("ring 5551234"));
    EXPECT_EQ(read_until(ctrl, ",129\r\n"), "\r\nRING\r\n\r\n+CLIP: \"5551234\",129\r\n");
    EXPECT_EQ(status()["call"], "ringing");
    EXPECT_EQ(read_during(audio, ms(100)).size(), 0u) << "audio before the call was answered";

    EXPECT_EQ(at(ctrl, "ATA"), ok_reply);
    EXPECT_GE(read_bytes(audio, frame_size).size(), frame_size);
    status_map st = status();
    EXPECT_EQ(st["call"], "active");
    EXPECT_EQ(st["number"], "5551234");
}

TEST_F(Emulator, Sigusr1Rings) {
    ASSERT_TRUE(start());
    int ctrl = ctrl_client();
    ASSERT_GE(ctrl, 0);
    ASSERT_TRUE(signal(SIGUSR1));
    std::string got = read_until(ctrl, ",129\r\n");
    EXPECT_TRUE(got.starts_with("\r\nRING\r\n\r\n+CLIP: \"")) << got;
    EXPECT_EQ(status()["call"], "ringing");
}

TEST_F(Emulator, NetworkHangupSendsNoCarrierAndStopsTheCall) {
    ASSERT_TRUE(start());
    int ctrl = ctrl_client();
    ASSERT_GE(ctrl, 0);
    EXPECT_EQ(at(ctrl, "ATD123;"), ok_reply);
    ASSERT_TRUE(request("hangup"));
    EXPECT_EQ(read_until(ctrl, "NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    status_map st = status();
    EXPECT_EQ(st["call"], "idle");
    // The line is free again.
    EXPECT_EQ(at(ctrl, "ATD456;"), ok_reply);
}

TEST_F(Emulator, UnplugHangsUpOldSlavesAndLinksBrandNewOnes) {
    ASSERT_TRUE(start());
    int ctrl = open_client("ctrl");
    int audio = open_client("audio");
    ASSERT_GE(ctrl, 0);
    ASSERT_GE(audio, 0);
    EXPECT_EQ(at(ctrl, "ATE0"), "ATE0\r" + ok_reply);
    std::string old_ctrl = link_target(path("ctrl"));
    std::string old_audio = link_target(path("audio"));

    ASSERT_TRUE(request("unplug both 300"));
    EXPECT_TRUE(sees_hangup(ctrl));
    EXPECT_TRUE(sees_hangup(audio));
    // From the hang-up on, a link is either gone or already new: never the old pts.
    EXPECT_TRUE(absent(path("ctrl")) || link_target(path("ctrl")) != old_ctrl);

    // The old slaves are still held open here, so a new pts cannot reuse their numbers.
    EXPECT_TRUE(wait_until([&] {
        std::string t = link_target(path("ctrl"));
        return !t.empty() && t != old_ctrl;
    }));
    EXPECT_TRUE(wait_until([&] {
        std::string t = link_target(path("audio"));
        return !t.empty() && t != old_audio;
    }));
    int ctrl2 = open_client("ctrl");
    ASSERT_GE(ctrl2, 0);
    // A re-enumerated modem starts afresh, echo on.
    EXPECT_EQ(at(ctrl2, "AT"), "AT\r" + ok_reply);
    status_map st = status();
    EXPECT_EQ(st["ctrl"], "up");
    EXPECT_EQ(st["audio"], "up");
    EXPECT_EQ(st["ctrl_pts"], link_target(path("ctrl")));
    EXPECT_EQ(st["audio_pts"], link_target(path("audio")));
}

TEST_F(Emulator, Sigusr2UnplugsBoth) {
    ASSERT_TRUE(start());
    int ctrl = open_client("ctrl");
    int audio = open_client("audio");
    ASSERT_GE(ctrl, 0);
    ASSERT_GE(audio, 0);
    std::string old_ctrl = link_target(path("ctrl"));
    ASSERT_TRUE(signal(SIGUSR2));
    EXPECT_TRUE(sees_hangup(ctrl));
    EXPECT_TRUE(sees_hangup(audio));
    EXPECT_TRUE(wait_until([&] {
        std::string t = link_target(path("ctrl"));
        return !t.empty() && t != old_ctrl;
    }));
    int ctrl2 = open_client("ctrl");
    ASSERT_GE(ctrl2, 0);
    EXPECT_EQ(at(ctrl2, "AT"), "AT\r" + ok_reply);
}

TEST_F(Emulator, UnplugAudioKeepsCtrlAndTheCall) {
    ASSERT_TRUE(start());
    int ctrl = ctrl_client();
    int audio = open_client("audio");
    ASSERT_GE(ctrl, 0);
    ASSERT_GE(audio, 0);
    EXPECT_EQ(at(ctrl, "ATD123;"), ok_reply);
    std::string old_audio = link_target(path("audio"));

    ASSERT_TRUE(request("unplug audio 100"));
    EXPECT_TRUE(sees_hangup(audio));
    EXPECT_EQ(at(ctrl, "AT"), ok_reply);
    ASSERT_TRUE(wait_until([&] {
        std::string t = link_target(path("audio"));
        return !t.empty() && t != old_audio;
    }));
    int audio2 = open_client("audio");
    ASSERT_GE(audio2, 0);
    EXPECT_GE(read_bytes(audio2, frame_size).size(), frame_size);
    EXPECT_EQ(status()["call"], "active");
}

TEST_F(Emulator, ClientClosingDoesNotMakeTheEmulatorSpin) {
    ASSERT_TRUE(start());
    int ctrl = ctrl_client();
    int audio = open_client("audio");
    ASSERT_GE(ctrl, 0);
    ASSERT_GE(audio, 0);
    close_client(ctrl);
    close_client(audio);

    long before = cpu_ticks(pid);
    // Measurement window: a master seeing a hang-up would poll busily in it.
    std::this_thread::sleep_for(ms(1000));
    long used = cpu_ticks(pid) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 10) << "CPU ticks in 1 s";

    // The next client is served as before.
    int again = open_client("ctrl");
    ASSERT_GE(again, 0);
    EXPECT_EQ(at(again, "AT"), ok_reply);
}

void expect_clean_exit(int wait_status) {
    ASSERT_TRUE(WIFEXITED(wait_status)) << "wait status " << wait_status;
    EXPECT_EQ(WEXITSTATUS(wait_status), 0);
}

TEST_F(Emulator, SigtermDuringACallExitsCleanlyAndRemovesItsFiles) {
    ASSERT_TRUE(start());
    int ctrl = ctrl_client();
    ASSERT_GE(ctrl, 0);
    EXPECT_EQ(at(ctrl, "ATD123;"), ok_reply);
    expect_clean_exit(stop(SIGTERM));
    EXPECT_TRUE(sees_hangup(ctrl));
    for (const char *name : {"ctrl", "audio", "control", "ready"}) {
        EXPECT_TRUE(absent(path(name))) << name;
    }
}

TEST_F(Emulator, SigintExitsCleanlyAndRemovesItsFiles) {
    ASSERT_TRUE(start());
    expect_clean_exit(stop(SIGINT));
    for (const char *name : {"ctrl", "audio", "control", "ready"}) {
        EXPECT_TRUE(absent(path(name))) << name;
    }
}

TEST_F(Emulator, ReplacesWhatIsLeftAtItsPaths) {
    { std::ofstream(path("ctrl")) << "stale"; }
    fs::create_symlink("/dev/pts/nonexistent", path("audio"));
    ASSERT_EQ(mkfifo(path("control").c_str(), 0600), 0);
    { std::ofstream(path("ready")) << "stale"; }

    spawn(default_args());
    ASSERT_GT(pid, 0);
    // The stale ready file must not be taken for the new one.
    std::string want = "pid=" + std::to_string(pid);
    EXPECT_TRUE(wait_until([&] {
        std::ifstream f(path("ready"));
        std::string first;
        f >> first;
        return first == want || reaped();
    }));
    ASSERT_GT(pid, 0) << "emulator exited";
    EXPECT_TRUE(link_target(path("ctrl")).starts_with("/dev/pts/"));
    EXPECT_TRUE(link_target(path("audio")).starts_with("/dev/pts/"));
    EXPECT_EQ(status()["ctrl"], "up");
}

TEST_F(Emulator, RunsWithTheCtrlChannelAlone) {
    ASSERT_TRUE(start({"--ctrl", path("ctrl"), "--control", path("control"), "--status",
                       path("status"), "--ready-file", path("ready")}));
    EXPECT_TRUE(absent(path("audio")));
    int ctrl = ctrl_client();
    ASSERT_GE(ctrl, 0);
    EXPECT_EQ(at(ctrl, "ATD123;"), ok_reply);
    status_map st = status();
    EXPECT_EQ(st["audio"], "off");
    EXPECT_EQ(st["call"], "active");
    expect_clean_exit(stop(SIGTERM));
}

TEST_F(Emulator, UsageErrorsExitWithStatus2) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--bogus"}, {"--ctrl", path("ctrl"), "extra"}};
    for (const std::vector<std::string> &args : cases) {
        spawn(args);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_until([&] { return reaped(); }));
        ASSERT_TRUE(WIFEXITED(exit_status));
        EXPECT_EQ(WEXITSTATUS(exit_status), 2);
    }
    EXPECT_TRUE(absent(path("ctrl")));
}

} // namespace
