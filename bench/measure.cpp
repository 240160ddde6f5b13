#include "measure.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace bench {

using std::chrono::duration;

namespace {

// The pattern's period is prime, so a lost chunk of any size shows.
constexpr std::size_t pattern_period = 65521;

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

} // namespace

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

std::string idle_tool() {
    return have_program("perf") ? "perf" : have_program("strace") ? "strace" : "";
}

std::string idle_count_command(const std::vector<pid_t> &pids, int seconds,
                               const std::string &file) {
    std::string list;
    std::string each;
    for (const pid_t pid : pids) {
        list += (list.empty() ? "" : ",") + std::to_string(pid);
        each += " -p " + std::to_string(pid);
    }
    const std::string time = std::to_string(seconds);
    const std::string tool = idle_tool();
    if (tool == "perf") {
        return "perf stat -x, -o '" + file + "' -e raw_syscalls:sys_enter -p " + list +
               " -- sleep " + time + " >/dev/null 2>&1";
    }
    if (tool == "strace") {
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

} // namespace bench
