#include "contenders.hpp"

#include "proc.hpp"
#include "sandbox.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

bool set_raw_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return set_raw(fd) && flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// User and system time of a process, in seconds.
std::array<double, 2> cpu_seconds(pid_t pid) {
    const auto ticks = cpu_ticks(pid);
    const auto tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {std::max(0L, ticks[0]) / tick, std::max(0L, ticks[1]) / tick};
}

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

pid_t start(const std::vector<std::string> &argv, const std::string &dir, const std::string &out) {
    sandbox::spawn_options run;
    run.argv = argv;
    run.env = {"PATH=/usr/bin:/bin"};
    run.dir = dir;
    run.out = out;
    run.new_session = true;
    return sandbox::spawn(run);
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
    c.relays.push_back(
        start({sandbox::sandbox_programs().daemon, "-d", "0"}, dir, dir + "/output"));
    return attach_daemon(c);
}

bool start_socat(contender &c, const std::string &scratch) {
    for (std::size_t ch = 0; ch < 2; ++ch) {
        const std::string link = scratch + (ch == 0 ? "/socat-ctrl" : "/socat-audio");
        c.relays.push_back(start({sandbox::find_program("socat"), "-b4095",
                                  "PTY,raw,echo=0,link=" + link, c.modems[ch].path + ",raw,echo=0"},
                                 scratch, link + ".output"));
        struct stat st {};
        if (!sandbox::poll_until([&] { return stat(link.c_str(), &st) == 0; },
                                 std::chrono::seconds(10))) {
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

} // namespace

void fatal(const char *what) {
    std::fprintf(stderr, "ptybridge-bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
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

// The slaves of the daemon's two masters, found through pidfd_getfd (the
// masters come from opening /dev/ptmx through a link, so their slaves are
// locked and nameless) and told apart by a probe byte.
bool attach_daemon(contender &c) {
    const pid_t pid = c.relays[0];
    sandbox::wait_probe last;
    if (!sandbox::poll_until(
            [&] {
                last = sandbox::probe_wait(pid);
                return last.main_wait;
            },
            std::chrono::seconds(10))) {
        std::fprintf(stderr, "ptybridge-bench: %s\n", sandbox::not_idle_reason(last).c_str());
        return false;
    }
    std::vector<int> slaves;
    for (int fd = 0; fd < 1024; ++fd) {
        const int master = sandbox::take_master(pid, fd);
        if (master < 0) {
            continue;
        }
        const int slave = sandbox::open_slave(master, O_RDWR | O_NOCTTY);
        if (slave >= 0 && set_raw_nonblocking(slave)) {
            slaves.push_back(slave);
        }
        close(master);
    }
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
    return std::accumulate(c.relays.begin(), c.relays.end(), 0.0, [](double sum, pid_t pid) {
        const auto t = cpu_seconds(pid);
        return sum + t[0] + t[1];
    });
}

relay_counts relay_counters(const contender &c) {
    relay_counts sum;
    for (const pid_t pid : c.relays) {
        const auto t = cpu_seconds(pid);
        const relay_counts one{
            static_cast<double>(proc_value(pid, "io", "syscr:")),
            static_cast<double>(proc_value(pid, "io", "syscw:")),
            static_cast<double>(proc_value(pid, "io", "rchar:")),
            static_cast<double>(proc_value(pid, "io", "wchar:")),
            static_cast<double>(proc_value(pid, "status", "voluntary_ctxt_switches:")),
            static_cast<double>(proc_value(pid, "status", "nonvoluntary_ctxt_switches:")),
            t[0],
            t[1]};
        sum.add(one, 1);
    }
    return sum;
}

double peak_rss_kib(const contender &c) {
    double rss = -1;
    for (const pid_t pid : c.relays) {
        rss = std::max(rss, static_cast<double>(proc_value(pid, "status", "VmHWM:")));
    }
    return rss;
}

bool stop(const std::array<contender, 3> &all) {
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
    return daemon_clean;
}

} // namespace bench
