// End-to-end tests of scripts/demo: a real terminal program from the
// distribution is the client, its AT commands go through the daemon to the
// modem emulator, and after the demo ends no process and no lock file may
// be left.

#include "sandbox.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef PTYBRIDGE_DEMO_SCRIPT
#error "PTYBRIDGE_DEMO_SCRIPT must name scripts/demo"
#endif
#ifndef PTYBRIDGE_BUILD_DIR
#error "PTYBRIDGE_BUILD_DIR must name the build tree"
#endif

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// Generous: the tests run in parallel on a loaded machine.
constexpr auto patience = 60s;
// Linux's default soft limit of open files, which a login session gets.
constexpr rlim_t stock_open_files = 1024;

bool installed(const std::string &program) {
    const std::string command = "command -v " + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0; // NOLINT(cert-env33-c): a shell builtin
}

bool finish(struct demo &d, steady::duration limit = patience);

// The demo script running on the far side of a pipe or a pseudo-terminal.
// A test that stops early still lets it clean up: SIGTERM, then its end.
struct demo {
    pid_t pid = -1;
    int fd = -1; // its output (and, on a pseudo-terminal, its input)
    std::string output;
    int status = -1;
    bool done = false;

    demo() = default;
    demo(const demo &) = delete;
    demo &operator=(const demo &) = delete;
    demo(demo &&other) noexcept
        : pid(other.pid), fd(other.fd), output(std::move(other.output)), status(other.status),
          done(other.done) {
        other.done = true;
    }
    ~demo() {
        if (!done && pid > 0) {
            kill(pid, SIGTERM);
            finish(*this);
        }
    }
};

std::vector<std::string> demo_args(const std::vector<std::string> &extra) {
    std::vector<std::string> args{PTYBRIDGE_DEMO_SCRIPT, "--no-build", "--build-dir",
                                  PTYBRIDGE_BUILD_DIR, "--keep"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// The demo runs as a login on a stock machine would run it: with at most
// 1024 open files, whatever limit the suite itself was given.
[[noreturn]] void exec_args(const std::vector<std::string> &args) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur > stock_open_files) {
        files.rlim_cur = stock_open_files;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](const std::string &a) { return const_cast<char *>(a.c_str()); });
    execv(argv[0], argv.data());
    _exit(127);
}

// Output goes to a pipe: the demo's scripted mode.
demo start_piped(const std::vector<std::string> &extra) {
    const auto args = demo_args(extra);
    int ends[2];
    demo d;
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return d;
    }
    d.pid = sandbox::fork_child();
    if (d.pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        dup2(ends[1], STDERR_FILENO);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        exec_args(args);
    }
    close(ends[1]);
    d.fd = ends[0];
    return d;
}

// On a pseudo-terminal, as a user at a terminal would run it. A raw
// terminal shows the bytes as the programs wrote them.
demo start_on_terminal(const std::vector<std::string> &extra, bool raw) {
    const auto args = demo_args(extra);
    termios settings{};
    cfmakeraw(&settings);
    if (!raw) {
        // A freshly set-up terminal: line editing, echo, Ctrl-C.
        settings.c_iflag = ICRNL | IXON;
        settings.c_oflag = OPOST | ONLCR;
        settings.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
        settings.c_cc[VINTR] = 3;
        settings.c_cc[VEOF] = 4;
        settings.c_cc[VERASE] = 127;
    }
    winsize size{40, 120, 0, 0};
    demo d;
    const pid_t parent = getpid();
    d.pid = forkpty(&d.fd, nullptr, &settings, &size);
    if (d.pid == 0) {
        sandbox::die_with_parent(parent);
        exec_args(args);
    }
    return d;
}

// Reads until `text` has appeared (after `from`) or the deadline passes.
bool read_until(demo &d, const std::string &text, std::size_t from = 0,
                steady::duration limit = patience) {
    const auto deadline = steady::now() + limit;
    char buffer[4096];
    while (d.output.find(text, from) == std::string::npos) {
        if (steady::now() > deadline) {
            return false;
        }
        pollfd p{d.fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        const ssize_t n = read(d.fd, buffer, sizeof buffer);
        if (n > 0) {
            d.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return d.output.find(text, from) != std::string::npos; // the demo is gone
        }
    }
    return true;
}

// Reads everything up to the demo's exit and reaps it.
bool finish(demo &d, steady::duration limit) {
    const auto deadline = steady::now() + limit;
    read_until(d, std::string(1, '\0'), 0, limit); // no zero byte comes: reads to the end
    while (steady::now() < deadline) {
        int status = 0;
        if (waitpid(d.pid, &status, WNOHANG) == d.pid) {
            d.status = status;
            d.done = true;
            close(d.fd);
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(d.pid, SIGKILL);
    waitpid(d.pid, &d.status, 0);
    d.done = true;
    close(d.fd);
    return false;
}

void type(const demo &d, const std::string &keys) {
    ASSERT_EQ(write(d.fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

// Sends a command until its answer shows: a terminal program may still be
// setting up its terminal (and discard what was typed before) when the
// first keys arrive.
bool send_command(demo &d, const std::string &keys, const std::string &answer) {
    const auto deadline = steady::now() + patience;
    const std::size_t from = d.output.size();
    while (steady::now() < deadline) {
        if (write(d.fd, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
            return false;
        }
        if (read_until(d, answer, from, 3s)) {
            return true;
        }
    }
    return false;
}

std::string match(const std::string &text, const std::string &pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

bool process_gone(const std::string &pid) {
    return !pid.empty() && !std::filesystem::exists("/proc/" + pid);
}

using sandbox::file_text;

// What every demo run must leave: its own verdict, the daemon and the
// emulator gone, an empty lock directory, an orderly stop in the log.
void expect_clean_end(const demo &d) {
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 0) << d.output;
    EXPECT_NE(d.output.find("no process and no lock file left"), std::string::npos) << d.output;
    const std::string daemon_pid = match(d.output, R"(ptybridge -d 7, pid (\d+))");
    const std::string emulator_pid = match(d.output, R"(modem emulator \(pid (\d+)\): stopped)");
    EXPECT_TRUE(process_gone(daemon_pid)) << "daemon pid '" << daemon_pid << "'";
    EXPECT_TRUE(process_gone(emulator_pid)) << "emulator pid '" << emulator_pid << "'";
    const std::string run = match(d.output, R"(run directory: ([^\r\n]+))");
    ASSERT_FALSE(run.empty()) << d.output;
    EXPECT_TRUE(std::filesystem::is_empty(run + "/lock"));
    const std::string log = file_text(run + "/daemon.log");
    EXPECT_NE(log.find("info    received signal 15"), std::string::npos) << log;
    EXPECT_NE(log.find("info    exit"), std::string::npos) << log;
    EXPECT_EQ(log.find(" err "), std::string::npos) << log;
    if (!::testing::Test::HasFailure()) {
        std::filesystem::remove_all(run);
    }
}

TEST(Demo, ScriptedSessionThroughSocat) {
    if (!installed("socat")) {
        GTEST_SKIP() << "socat is not installed: apt-get install socat";
    }
    demo d = start_piped({"--non-interactive"});
    ASSERT_GT(d.pid, 0);
    ASSERT_TRUE(finish(d));
    const std::string &out = d.output;
    EXPECT_NE(out.find("client< PTYBRIDGE GSM-EMU-2CH Revision 1.0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("client< +CSQ: 20,99\n"), std::string::npos) << out;
    const std::size_t junk = out.find("client> AT+NOSUCH\n");
    ASSERT_NE(junk, std::string::npos) << out;
    EXPECT_NE(out.find("client< ERROR\n", junk), std::string::npos) << out;
    EXPECT_NE(out.find("every command answered as expected"), std::string::npos) << out;
    // The daemon's log, live on the demo's output, shows the chunks it relayed.
    EXPECT_NE(out.find(R"(debug   ctrl PTY-GSM, [7] "AT+CSQ\r")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"(debug   ctrl GSM-PTY, [)"), std::string::npos) << out;
    // The modem itself saw the commands: the answers were not made up on the way.
    const std::string run = match(out, R"(run directory: ([^\r\n]+))");
    const std::string modem_log = file_text(run + "/modem.log");
    EXPECT_NE(modem_log.find("AT+CSQ"), std::string::npos) << modem_log;
    expect_clean_end(d);
}

TEST(Demo, PicocomAtATerminal) {
    if (!installed("picocom")) {
        GTEST_SKIP() << "picocom is not installed: apt-get install picocom";
    }
    demo d = start_on_terminal({"--client", "picocom", "--no-split"}, true);
    ASSERT_GT(d.pid, 0);
    ASSERT_TRUE(read_until(d, "Quit: Ctrl-A Ctrl-X")) << d.output;
    // Raw bytes as picocom shows them; the log shows CR and LF as \r and \n.
    EXPECT_TRUE(send_command(d, "AT\r", "AT\r\r\nOK\r\n")) << d.output;
    EXPECT_TRUE(send_command(d, "AT+CSQ\r", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n")) << d.output;
    EXPECT_TRUE(send_command(d, "AT+NOSUCH\r", "AT+NOSUCH\r\r\nERROR\r\n")) << d.output;
    type(d, "\x01\x18"); // Ctrl-A Ctrl-X: picocom's quit
    ASSERT_TRUE(finish(d));
    expect_clean_end(d);
}

TEST(Demo, CtrlCStopsEverything) {
    if (!installed("socat")) {
        GTEST_SKIP() << "socat is not installed: apt-get install socat";
    }
    demo d = start_on_terminal({"--client", "socat", "--no-split"}, false);
    ASSERT_GT(d.pid, 0);
    ASSERT_TRUE(read_until(d, "Quit: Ctrl-D or Ctrl-C")) << d.output;
    // Line mode: Enter sends the line; socat turns its end into CR LF, and
    // the modem's CR LF back into new lines.
    EXPECT_TRUE(send_command(d, "AT+CSQ\r", "\n+CSQ: 20,99\r\n")) << d.output;
    type(d, "\x03");
    ASSERT_TRUE(finish(d));
    expect_clean_end(d);
}

} // namespace
