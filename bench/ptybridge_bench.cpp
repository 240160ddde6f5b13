// ptybridge-bench: what the daemon costs against what a user would run
// instead. Three contenders carry the same traffic, interleaved round by
// round so that drift of the machine hits all of them alike:
//
//   ptybridge  the daemon (the shipped sources, devices in a scratch dir)
//   socat      one socat per channel, PTY <-> modem device, blocks of 4095
//   no relay   the client writes straight into the modem pseudo-terminal
//
// The benchmark is the modem (it holds the masters of the modem
// pseudo-terminals) and the client. The daemon drops what it cannot write
// at once, so every transfer is paced by a window of bytes in flight and
// checked byte for byte; a window that loses data does not count.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <numeric>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#ifndef PTYBRIDGE_BENCH_DAEMON
#error "PTYBRIDGE_BENCH_DAEMON must name the daemon build to measure"
#endif

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::duration;

// Windows of bytes in flight, tried from small to large until one loses
// data. A relay without a queue can lose once a window exceeds what the
// destination pseudo-terminal takes before its reader runs (8 KiB of
// flip buffers on Linux, plus what the line discipline has already taken).
constexpr std::array<std::size_t, 5> windows{4096, 8192, 12288, 16384, 32768};
constexpr std::array<std::size_t, 3> chunk_sizes{64, 1024, 4095};
// The pattern's period is prime, so a lost chunk of any size shows.
constexpr std::size_t pattern_period = 65521;
constexpr std::size_t read_size = 65536;

// ---------------------------------------------------------------- helpers

double seconds_since(steady::time_point t0) {
    return duration<double>(steady::now() - t0).count();
}

void fatal(const char *what) {
    std::fprintf(stderr, "ptybridge-bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

bool set_raw_nonblocking(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    const int flags = fcntl(fd, F_GETFL);
    return tcsetattr(fd, TCSANOW, &t) == 0 && flags >= 0 &&
           fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool wait_until(bool (*done)(const void *), const void *arg, double limit_seconds) {
    const auto t0 = steady::now();
    while (!done(arg)) {
        if (seconds_since(t0) > limit_seconds) {
            return false;
        }
        usleep(2000);
    }
    return true;
}

bool path_exists(const void *path) {
    struct stat st {};
    return stat(static_cast<const char *>(path), &st) == 0;
}

std::string proc_text(pid_t pid, const char *file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Blocked in select over FD_SETSIZE descriptors: the daemon's main wait.
bool daemon_idle(const void *pid) {
    std::istringstream s(proc_text(*static_cast<const pid_t *>(pid), "syscall"));
    std::string number;
    std::string first;
    s >> number >> first;
    return first == "0x400";
}

// User plus system time of a process, in seconds.
double cpu_seconds(pid_t pid) {
    const std::string text = proc_text(pid, "stat");
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::istringstream s(text.substr(end + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && s >> field; ++i) {
        if (i == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long status_kib(pid_t pid, const char *key) {
    std::istringstream s(proc_text(pid, "status"));
    std::string line;
    while (std::getline(s, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
        }
    }
    return -1;
}

std::string run_output(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r"); // NOLINT(cert-env33-c): our own fixed commands
    if (p == nullptr) {
        return out;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    pclose(p);
    return out;
}

bool have_program(const char *name) {
    const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0; // NOLINT(cert-env33-c): a shell builtin
}

// ---------------------------------------------------------- the contenders

// A modem pseudo-terminal: the benchmark holds the master; the slave path
// is the modem device the relay opens.
struct modem_pty {
    int master = -1;
    int slave = -1; // kept open: the pair outlives a relay's close
    std::string path;
};

struct channel_ends {
    int client = -1; // what the client writes to and reads from
    int modem = -1;  // the modem's end (a master the benchmark holds)
};

enum class kind { daemon, socat, direct };

struct contender {
    kind k;
    const char *name;
    std::vector<pid_t> relays; // the relay's processes
    std::array<modem_pty, 2> modems;
    std::array<channel_ends, 2> ends; // [0] ctrl, [1] audio
    bool usable = false;
};

modem_pty open_modem() {
    modem_pty m;
    m.master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[64];
    if (m.master < 0 || grantpt(m.master) != 0 || unlockpt(m.master) != 0 ||
        ptsname_r(m.master, name, sizeof name) != 0) {
        fatal("posix_openpt");
    }
    m.path = name;
    m.slave = open(name, O_RDWR | O_NOCTTY);
    if (m.slave < 0 || !set_raw_nonblocking(m.slave) || !set_raw_nonblocking(m.master)) {
        fatal("modem pseudo-terminal");
    }
    return m;
}

// Empties whatever waits on both ends of both channels.
void drain(const contender &c) {
    char buffer[read_size];
    for (int quiet = 0; quiet < 3;) {
        bool any = false;
        for (const auto &e : c.ends) {
            for (const int fd : {e.client, e.modem}) {
                while (fd >= 0 && read(fd, buffer, sizeof buffer) > 0) {
                    any = true;
                }
            }
        }
        quiet = any ? 0 : quiet + 1;
        usleep(3000);
    }
}

// One byte from the client must come out at this channel's modem: it
// opens the modem port of a relay that opens on demand, and proves which
// client end belongs to which channel.
bool probe(int client, int modem) {
    if (write(client, "p", 1) != 1) {
        return false;
    }
    const auto t0 = steady::now();
    char byte = 0;
    while (seconds_since(t0) < 5) {
        pollfd p{modem, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && read(modem, &byte, 1) == 1) {
            return byte == 'p';
        }
    }
    return false;
}

pid_t spawn(const std::vector<std::string> &args, const std::string &dir, const std::string &out) {
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](const std::string &a) { return const_cast<char *>(a.c_str()); });
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null_fd < 0 || out_fd < 0 || chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        dup2(null_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(out_fd, STDERR_FILENO);
        setsid();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The slaves of the daemon's two masters, found through pidfd_getfd (the
// masters come from opening /dev/ptmx through a link, so their slaves are
// locked and nameless) and told apart by a probe byte.
bool attach_daemon(contender &c) {
    const pid_t pid = c.relays[0];
    if (!wait_until(daemon_idle, &pid, 10)) {
        return false;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        return false;
    }
    std::vector<int> slaves;
    for (int fd = 0; fd < 1024; ++fd) {
        const int master = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
        if (master < 0) {
            continue;
        }
        struct stat st {};
        int unlock = 0;
        if (fstat(master, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 5 &&
            minor(st.st_rdev) == 2 && ioctl(master, TIOCSPTLCK, &unlock) == 0) {
            const int slave = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY);
            if (slave >= 0 && set_raw_nonblocking(slave)) {
                slaves.push_back(slave);
            }
        }
        close(master);
    }
    close(pidfd);
    for (auto &e : c.ends) {
        e.client = -1;
    }
    for (const int slave : slaves) {
        for (std::size_t ch = 0; ch < 2; ++ch) {
            if (c.ends[ch].client < 0 && probe(slave, c.ends[ch].modem)) {
                c.ends[ch].client = slave;
                break;
            }
        }
    }
    return c.ends[0].client >= 0 && c.ends[1].client >= 0;
}

bool start_daemon(contender &c, const std::string &scratch) {
    const std::string dir = scratch + "/ptybridge";
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/dev").c_str(), 0755);
    mkdir((dir + "/lock").c_str(), 0755);
    const bool linked = symlink("/dev/ptmx", (dir + "/dev/ptyp6").c_str()) == 0 &&
                        symlink("/dev/ptmx", (dir + "/dev/ptyp7").c_str()) == 0 &&
                        symlink(c.modems[0].path.c_str(), (dir + "/dev/ttyACM12").c_str()) == 0 &&
                        symlink(c.modems[1].path.c_str(), (dir + "/dev/ttyACM11").c_str()) == 0;
    if (!linked) {
        return false;
    }
    c.relays.push_back(spawn({PTYBRIDGE_BENCH_DAEMON, "-d", "0"}, dir, dir + "/output"));
    return attach_daemon(c);
}

bool start_socat(contender &c, const std::string &scratch) {
    for (std::size_t ch = 0; ch < 2; ++ch) {
        const std::string link = scratch + (ch == 0 ? "/socat-ctrl" : "/socat-audio");
        c.relays.push_back(spawn(
            {"socat", "-b4095", "PTY,raw,echo=0,link=" + link, c.modems[ch].path + ",raw,echo=0"},
            scratch, link + ".output"));
        if (!wait_until(path_exists, link.c_str(), 10)) {
            return false;
        }
        c.ends[ch].client = open(link.c_str(), O_RDWR | O_NOCTTY);
        if (c.ends[ch].client < 0 || !set_raw_nonblocking(c.ends[ch].client) ||
            !probe(c.ends[ch].client, c.ends[ch].modem)) {
            return false;
        }
    }
    return true;
}

bool start_direct(contender &c) {
    for (std::size_t ch = 0; ch < 2; ++ch) {
        c.ends[ch].client = c.modems[ch].slave;
        if (!probe(c.ends[ch].client, c.ends[ch].modem)) {
            return false;
        }
    }
    return true;
}

void setup(contender &c, const std::string &scratch) {
    for (std::size_t ch = 0; ch < 2; ++ch) {
        c.modems[ch] = open_modem();
        c.ends[ch].modem = c.modems[ch].master;
    }
    if (c.k == kind::daemon) {
        c.usable = start_daemon(c, scratch);
    } else if (c.k == kind::socat) {
        c.usable = start_socat(c, scratch);
    } else {
        c.usable = start_direct(c);
    }
    if (!c.usable) {
        std::fprintf(stderr, "ptybridge-bench: %s could not be set up; left out\n", c.name);
    }
    drain(c);
}

double relay_cpu(const contender &c) {
    return std::accumulate(c.relays.begin(), c.relays.end(), 0.0,
                           [](double sum, pid_t pid) { return sum + cpu_seconds(pid); });
}

// ------------------------------------------------------------- throughput

struct stream {
    int from;
    int to;
    std::size_t sent = 0;
    std::size_t received = 0;
    bool intact = true;
};

struct transfer {
    double bytes = 0;
    double seconds = 0;
    bool lossless = false;
};

const std::vector<unsigned char> &pattern() {
    static const std::vector<unsigned char> p = [] {
        std::vector<unsigned char> bytes(pattern_period + read_size);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::size_t k = i % pattern_period;
            bytes[i] = static_cast<unsigned char>(k * 7 + (k >> 8));
        }
        return bytes;
    }();
    return p;
}

// Sends chunks on every stream for `seconds`, never more than `window`
// bytes in flight per stream, then waits for the last byte. Lossless only
// when every byte arrived, in order and unchanged.
transfer move(std::vector<stream> &streams, std::size_t chunk, std::size_t window, double seconds) {
    const auto &pat = pattern();
    std::vector<unsigned char> buffer(read_size);
    const auto t0 = steady::now();
    auto last_progress = t0;
    std::vector<pollfd> fds(streams.size() * 2);
    for (;;) {
        const bool sending = seconds_since(t0) < seconds;
        bool all_in = true;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            stream &s = streams[i];
            all_in = all_in && s.received == s.sent;
            const bool room = sending && s.sent - s.received + chunk <= window;
            fds[2 * i] = {room ? s.from : -1, POLLOUT, 0};
            fds[2 * i + 1] = {s.to, POLLIN, 0};
        }
        const bool intact =
            std::all_of(streams.begin(), streams.end(), [](const stream &s) { return s.intact; });
        if ((!sending && all_in) || !intact) {
            break;
        }
        if (!sending && duration<double>(steady::now() - last_progress).count() > 0.5) {
            break; // bytes that have not come for half a second are lost
        }
        if (poll(fds.data(), fds.size(), 10) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < streams.size(); ++i) {
            stream &s = streams[i];
            if ((fds[2 * i].revents & POLLOUT) != 0) {
                const ssize_t n = write(s.from, &pat[s.sent % pattern_period], chunk);
                if (n > 0) {
                    s.sent += static_cast<std::size_t>(n);
                }
            }
            if ((fds[2 * i + 1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                const ssize_t n = read(s.to, buffer.data(), buffer.size());
                if (n > 0) {
                    const auto got = static_cast<std::size_t>(n);
                    s.intact =
                        s.intact && s.received + got <= s.sent &&
                        std::memcmp(buffer.data(), &pat[s.received % pattern_period], got) == 0;
                    s.received += got;
                    last_progress = steady::now();
                }
            }
        }
    }
    transfer t;
    t.seconds = duration<double>(last_progress - t0).count();
    t.lossless = true;
    for (const stream &s : streams) {
        t.bytes += static_cast<double>(s.received);
        t.lossless = t.lossless && s.intact && s.received == s.sent;
    }
    return t;
}

enum class pattern_kind { one_way, both_ways, both_channels };

std::vector<stream> streams_for(const contender &c, pattern_kind p) {
    std::vector<stream> s{{c.ends[0].client, c.ends[0].modem}};
    if (p != pattern_kind::one_way) {
        s.push_back({c.ends[0].modem, c.ends[0].client});
    }
    if (p == pattern_kind::both_channels) {
        s.push_back({c.ends[1].client, c.ends[1].modem});
        s.push_back({c.ends[1].modem, c.ends[1].client});
    }
    return s;
}

// ---------------------------------------------------------------- latency

// AT CR from the client; the modem answers CR LF OK CR LF as soon as it has
// the whole command. Returns the round trips in microseconds.
std::vector<double> exchanges(const channel_ends &e, int count) {
    std::vector<double> out;
    char buffer[256];
    for (int i = 0; i < count; ++i) {
        const auto t0 = steady::now();
        if (write(e.client, "AT\r", 3) != 3) {
            break;
        }
        std::size_t request = 0;
        std::size_t answer = 0;
        while (answer < 6 && seconds_since(t0) < 2) {
            pollfd fds[2] = {{e.modem, POLLIN, 0}, {e.client, POLLIN, 0}};
            if (poll(fds, 2, 100) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = read(e.modem, buffer, sizeof buffer);
                request += n > 0 ? static_cast<std::size_t>(n) : 0;
                if (request == 3 && write(e.modem, "\r\nOK\r\n", 6) != 6) {
                    break;
                }
            }
            if ((fds[1].revents & POLLIN) != 0) {
                const ssize_t n = read(e.client, buffer, sizeof buffer);
                answer += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        }
        if (answer != 6) {
            break;
        }
        out.push_back(duration<double, std::micro>(steady::now() - t0).count());
    }
    return out;
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    const auto index = static_cast<std::size_t>(std::lround(q * static_cast<double>(v.size() - 1)));
    return v[std::min(index, v.size() - 1)];
}

double median(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return x < 0; }), v.end());
    return percentile(v, 0.5);
}

// ------------------------------------------------------------- idle cost

// System calls the processes make while idle: counted by the kernel's
// tracepoint (perf), which leaves the processes alone; strace is the
// fallback, and its attach itself restarts a waiting call. Returns the
// command that writes the count to `file`.
std::string idle_count_command(const std::vector<pid_t> &pids, int seconds, const std::string &file,
                               std::string &tool) {
    std::string list;
    std::string each;
    for (const pid_t pid : pids) {
        list += (list.empty() ? "" : ",") + std::to_string(pid);
        each += " -p " + std::to_string(pid);
    }
    const std::string time = std::to_string(seconds);
    if (have_program("perf")) {
        tool = "perf";
        return "perf stat -x, -o '" + file + "' -e raw_syscalls:sys_enter -p " + list +
               " -- sleep " + time + " >/dev/null 2>&1";
    }
    if (have_program("strace")) {
        tool = "strace";
        return "timeout -s INT " + time + " strace -c -f -q -o '" + file + "'" + each +
               " >/dev/null 2>&1";
    }
    return "";
}

long idle_count(const std::string &file, const std::string &tool) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (tool == "perf" && line.find(",raw_syscalls:sys_enter") != std::string::npos) {
            // "<count>,,raw_syscalls:sys_enter,...", or "<not counted>" for
            // a process that never ran
            return line.find("not counted") != std::string::npos
                       ? 0
                       : std::strtol(line.c_str(), nullptr, 10);
        }
        if (tool == "strace" && line.find(" total") != std::string::npos) {
            std::istringstream s(line);
            std::vector<std::string> words;
            std::string w;
            while (s >> w) {
                words.push_back(w);
            }
            // % time, seconds, usecs/call, calls[, errors], total
            return words.size() >= 5 ? std::strtol(words[3].c_str(), nullptr, 10) : -1;
        }
    }
    return -1;
}

// --------------------------------------------------------------- the table

struct options {
    int rounds = 5;
    double seconds = 0.2; // per transfer
    int exchanges = 1000; // per round and contender
    int idle_seconds = 5;
    bool verbose = false;   // every transfer on stderr
    std::string only;       // "throughput" or "latency": the rest is skipped
    std::string only_case;  // throughput cases whose name contains this
    std::size_t window = 0; // one window instead of the ladder
};

struct results {
    // [case][contender] -> one value per round
    std::vector<std::array<std::vector<double>, 3>> rows;
};

void print_row(const std::string &name, const std::array<double, 3> &v, const char *format,
               bool higher_is_better) {
    auto cell = [&](double x) {
        char text[32];
        if (x < 0) {
            std::snprintf(text, sizeof text, "%10s", "-");
        } else {
            std::snprintf(text, sizeof text, format, x);
        }
        return std::string(text);
    };
    auto ratio = [&](double a, double b) {
        char text[32];
        if (a < 0 || b <= 0) {
            std::snprintf(text, sizeof text, "%9s", "-");
        } else {
            std::snprintf(text, sizeof text, "%9.2f", a / b);
        }
        return std::string(text);
    };
    const char *mark = "";
    if (v[0] >= 0 && v[1] >= 0) {
        const bool met = higher_is_better ? v[0] >= v[1] : v[0] <= v[1];
        mark = met ? "  ok" : "  short";
    }
    std::printf("%-34s%s%s%s%s%s%s\n", name.c_str(), cell(v[0]).c_str(), cell(v[1]).c_str(),
                cell(v[2]).c_str(), ratio(v[0], v[1]).c_str(), ratio(v[0], v[2]).c_str(), mark);
}

bool parse(int argc, char **argv, options &opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            opt.rounds = 3;
            opt.seconds = 0.08;
            opt.exchanges = 500;
        } else if (arg == "--verbose") {
            opt.verbose = true;
        } else if (arg == "--only" && i + 1 < argc) {
            opt.only = argv[++i];
        } else if (arg == "--case" && i + 1 < argc) {
            opt.only_case = argv[++i];
        } else if (arg == "--window" && i + 1 < argc) {
            opt.window = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--rounds" && i + 1 < argc) {
            opt.rounds = std::max(1, static_cast<int>(std::strtol(argv[++i], nullptr, 10)));
        } else if (arg == "--seconds" && i + 1 < argc) {
            opt.seconds = std::max(0.02, std::strtod(argv[++i], nullptr));
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    options opt;
    if (!parse(argc, argv, opt)) {
        std::fputs(
            "usage: ptybridge-bench [--quick] [--rounds N] [--seconds S] [--verbose]\n"
            "                       [--only throughput|latency] [--case TEXT] [--window N]\n",
            stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const auto started = steady::now();
    char scratch_template[] = "/tmp/ptybridge-bench-XXXXXX";
    const char *scratch_dir = mkdtemp(scratch_template);
    if (scratch_dir == nullptr) {
        fatal("mkdtemp");
    }
    const std::string scratch = scratch_dir;

    std::array<contender, 3> all{{{kind::daemon, "ptybridge", {}, {}, {}, false},
                                  {kind::socat, "socat", {}, {}, {}, false},
                                  {kind::direct, "no relay", {}, {}, {}, false}}};
    if (!have_program("socat")) {
        std::fputs("ptybridge-bench: socat is not installed; its column stays empty\n", stderr);
    }
    for (auto &c : all) {
        if (c.k != kind::socat || have_program("socat")) {
            setup(c, scratch);
        }
    }

    struct case_def {
        std::string name;
        pattern_kind p;
        std::size_t chunk;
    };
    std::vector<case_def> cases;
    for (const std::size_t chunk : chunk_sizes) {
        const std::string size = chunk == 1024 ? "1 KiB" : std::to_string(chunk) + " B";
        cases.push_back({"MB/s " + size + " one way", pattern_kind::one_way, chunk});
        cases.push_back({"MB/s " + size + " both ways", pattern_kind::both_ways, chunk});
        cases.push_back({"MB/s " + size + " both channels", pattern_kind::both_channels, chunk});
    }
    const std::size_t latency_p50 = cases.size();
    const std::size_t latency_p99 = latency_p50 + 1;
    const std::size_t cpu_row = latency_p50 + 2;
    results r;
    r.rows.resize(cases.size() + 3);
    std::array<std::size_t, 3> losses{};

    for (int round = 0; round < opt.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d\n", round + 1, opt.rounds);
        std::array<double, 3> cpu_before{};
        std::array<double, 3> moved{};
        for (std::size_t i = 0; i < 3; ++i) {
            cpu_before[i] = relay_cpu(all[i]);
        }
        for (std::size_t k = 0; k < cases.size() && opt.only != "latency"; ++k) {
            for (std::size_t turn = 0; turn < 3; ++turn) {
                // A, B, C; then B, C, A; ...
                const std::size_t i = (turn + static_cast<std::size_t>(round) + k) % 3;
                contender &c = all[i];
                if (!c.usable || cases[k].name.find(opt.only_case) == std::string::npos) {
                    r.rows[k][i].push_back(-1);
                    continue;
                }
                double best = -1;
                for (const std::size_t window : windows) {
                    if (opt.window != 0 && window != windows.front()) {
                        break;
                    }
                    const std::size_t w = opt.window != 0 ? opt.window : window;
                    auto streams = streams_for(c, cases[k].p);
                    const transfer t = move(streams, cases[k].chunk, w, opt.seconds);
                    moved[i] += t.bytes;
                    if (opt.verbose) {
                        std::fprintf(stderr, "  %-10s %-28s window %5zu: %8.2f MB/s%s\n", c.name,
                                     cases[k].name.c_str(), w, t.bytes / t.seconds / 1e6,
                                     t.lossless ? "" : "  LOSS");
                    }
                    if (!t.lossless) {
                        ++losses[i];
                        drain(c);
                        if (c.k == kind::daemon && !attach_daemon(c)) {
                            c.usable = false;
                        }
                        break; // a larger window would only lose more
                    }
                    best = std::max(best, t.bytes / t.seconds / 1e6);
                }
                r.rows[k][i].push_back(best);
            }
        }
        for (std::size_t i = 0; i < 3; ++i) {
            const double cpu = relay_cpu(all[i]) - cpu_before[i];
            r.rows[cpu_row][i].push_back(
                all[i].relays.empty() || moved[i] <= 0 ? -1 : cpu / (moved[i] / 1e6));
        }
        for (std::size_t turn = 0; turn < 3 && opt.only != "throughput"; ++turn) {
            const std::size_t i = (turn + static_cast<std::size_t>(round)) % 3;
            const auto times =
                all[i].usable ? exchanges(all[i].ends[0], opt.exchanges) : std::vector<double>{};
            const bool complete = static_cast<int>(times.size()) == opt.exchanges;
            r.rows[latency_p50][i].push_back(complete ? percentile(times, 0.5) : -1);
            r.rows[latency_p99][i].push_back(complete ? percentile(times, 0.99) : -1);
        }
    }

    // Idle: every relay at once, nothing moving.
    std::fprintf(stderr, "idle for %d s\n", opt.idle_seconds);
    std::array<long, 3> idle{-1, -1, -1};
    std::array<std::string, 3> idle_tool;
    {
        // Side by side, so the idle time is spent once.
        std::string commands;
        for (std::size_t i = 0; i < 2; ++i) {
            if (all[i].usable) {
                const std::string file = scratch + "/idle-" + std::to_string(i);
                const std::string command =
                    idle_count_command(all[i].relays, opt.idle_seconds, file, idle_tool[i]);
                commands += command.empty() ? "" : command + " & ";
            }
        }
        run_output(commands + "wait");
        for (std::size_t i = 0; i < 2; ++i) {
            if (!idle_tool[i].empty()) {
                idle[i] = idle_count(scratch + "/idle-" + std::to_string(i), idle_tool[i]);
            }
        }
    }
    std::array<double, 3> rss{-1, -1, -1};
    for (std::size_t i = 0; i < 2; ++i) {
        for (const pid_t pid : all[i].relays) {
            rss[i] = std::max(rss[i], static_cast<double>(status_kib(pid, "VmHWM:")));
        }
    }

    // Stop the relays: the daemon in order, as on a board.
    bool daemon_clean = false;
    for (const auto &c : all) {
        for (const pid_t pid : c.relays) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            if (c.k == kind::daemon) {
                daemon_clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
        }
    }
    run_output("rm -rf '" + scratch + "'");

    std::printf("\nptybridge-bench: %d rounds, medians; transfers of %.2f s, windows up to %zu "
                "bytes in flight; %d AT exchanges per round\n",
                opt.rounds, opt.seconds, windows.back(), opt.exchanges);
    std::printf("%-34s%10s%10s%10s%9s%9s\n", "", "ptybridge", "socat", "no relay", "pb/socat",
                "pb/none");
    for (std::size_t k = 0; k < cases.size(); ++k) {
        print_row(cases[k].name, {median(r.rows[k][0]), median(r.rows[k][1]), median(r.rows[k][2])},
                  "%10.2f", true);
    }
    print_row("latency AT p50 (us)",
              {median(r.rows[latency_p50][0]), median(r.rows[latency_p50][1]),
               median(r.rows[latency_p50][2])},
              "%10.1f", false);
    print_row("latency AT p99 (us)",
              {median(r.rows[latency_p99][0]), median(r.rows[latency_p99][1]),
               median(r.rows[latency_p99][2])},
              "%10.1f", false);
    print_row("CPU s per MB (user+sys)",
              {median(r.rows[cpu_row][0]), median(r.rows[cpu_row][1]), median(r.rows[cpu_row][2])},
              "%10.4f", false);
    print_row("syscalls in " + std::to_string(opt.idle_seconds) + " s idle (" +
                  (idle_tool[0].empty() ? "n/a" : idle_tool[0]) + ")",
              {static_cast<double>(idle[0]), static_cast<double>(idle[1]), -1}, "%10.0f", false);
    print_row("peak RSS KiB (per process)", {rss[0], rss[1], -1}, "%10.0f", false);
    std::printf("lossy windows: ptybridge %zu, socat %zu, no relay %zu; daemon stopped %s; "
                "%.0f s\n",
                losses[0], losses[1], losses[2], daemon_clean ? "cleanly" : "NOT cleanly",
                seconds_since(started));
    return daemon_clean ? 0 : 1;
}
