// Soak: runs the sandbox daemon for a chosen time under bidirectional
// traffic on both channels, with client hang-ups and modem unplugs in
// between, and checks that every byte not lost to a disconnect or to a
// loss the daemon logged arrived intact and in order, that its descriptors,
// memory and lock files stayed as they were, and that it leaves no lock.
//
//   ptybridge_soak [--seconds N] [--seed N] [--valgrind]
//
// Time alternates between traffic phases (no fault: nothing may be lost
// unless the daemon says so) and fault phases (a hang-up or an unplug with
// frames in flight: what is lost then is put down to the disconnect).

#include "field.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace field;
namespace fs = std::filesystem;

namespace {

// A frame: marker, sequence number, length, payload, check sum. Payload
// bytes follow from the sequence number, so a frame that passes its check
// is the one that was sent; the rest of a frame cut by a loss is skipped.
constexpr unsigned char marker = 0xa5;
constexpr std::size_t header = 6;
constexpr std::size_t trailer = 2;
// Little enough in flight that the other side can always take a chunk
// whole: the daemon keeps no queue.
constexpr std::size_t window = 1024;

std::uint16_t fletcher(const unsigned char *p, std::size_t n) {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    for (std::size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<std::uint16_t>(b << 8 | a);
}

std::string make_frame(std::uint32_t seq, std::size_t length) {
    std::string f(header + length + trailer, '\0');
    auto *p = reinterpret_cast<unsigned char *>(f.data());
    p[0] = marker;
    std::memcpy(p + 1, &seq, 4);
    p[5] = static_cast<unsigned char>(length);
    for (std::size_t i = 0; i < length; ++i) {
        p[header + i] = static_cast<unsigned char>(seq * 31 + i * 7 + 1);
    }
    const std::uint16_t sum = fletcher(p + 1, header - 1 + length);
    std::memcpy(p + header + length, &sum, 2);
    return f;
}

struct direction {
    std::string name;
    std::vector<std::string> loss_prefixes; // daemon messages of a loss here
    bool enabled = true;

    std::uint32_t next_seq = 1;
    std::string pending;                       // bytes not yet written
    std::map<std::uint32_t, std::size_t> sent; // in flight: seq -> bytes
    std::vector<std::size_t> lost;             // this phase's lost frames
    std::string buffer;                        // received, not yet parsed
    std::uint32_t last_seq = 0;

    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_delivered = 0;
    std::uint64_t lost_disconnect = 0;
    std::uint64_t lost_reported = 0;
    std::uint64_t lost_unexplained = 0;
    std::uint64_t out_of_order = 0;
    std::uint64_t progress = 0; // frames delivered

    std::size_t in_flight() const {
        std::size_t n = 0;
        for (const auto &s : sent) {
            n += s.second;
        }
        return n;
    }

    void send_frame(std::mt19937 &random) {
        const std::size_t length = 1 + random() % 200;
        const std::string f = make_frame(next_seq, length);
        sent[next_seq++] = f.size();
        pending += f;
        bytes_sent += f.size();
    }

    void receive(const char *data, std::size_t n) {
        buffer.append(data, n);
        const auto *p = reinterpret_cast<const unsigned char *>(buffer.data());
        std::size_t at = 0;
        while (buffer.size() - at >= header + trailer) {
            const std::size_t length = p[at + 5];
            const std::size_t whole = header + length + trailer;
            if (p[at] != marker || length == 0) {
                ++at;
                continue;
            }
            if (buffer.size() - at < whole) {
                break;
            }
            std::uint16_t sum = 0;
            std::uint32_t seq = 0;
            std::memcpy(&sum, p + at + header + length, 2);
            std::memcpy(&seq, p + at + 1, 4);
            if (sum != fletcher(p + at + 1, header - 1 + length)) {
                ++at;
                continue;
            }
            at += whole;
            const auto found = sent.find(seq);
            if (seq <= last_seq || found == sent.end()) {
                ++out_of_order; // duplicated, reordered, or never sent
                continue;
            }
            // Whatever was sent before it and has not come is lost.
            while (sent.begin()->first < seq) {
                lost.push_back(sent.begin()->second);
                sent.erase(sent.begin());
            }
            bytes_delivered += found->second;
            sent.erase(found);
            last_seq = seq;
            ++progress;
        }
        buffer.erase(0, at);
    }

    // At the end of a phase: what has not come by now never will.
    void settle(bool disconnect, bool reported) {
        for (const auto &s : sent) {
            lost.push_back(s.second);
        }
        sent.clear();
        pending.clear();
        buffer.clear();
        for (const std::size_t bytes : lost) {
            (reported ? lost_reported : disconnect ? lost_disconnect : lost_unexplained) += bytes;
        }
        lost.clear();
    }
};

class soak {
  public:
    explicit soak(unsigned seed) : random_(seed), b_(daemon_options()) {
        for (const channel c : {channel::ctrl, channel::audio}) {
            const auto i = static_cast<std::size_t>(c);
            client_[i] = b_.attach(c);
            attached_[i] = 1;
            const std::string pty = pty_path(c);
            const std::string gsm = gsm_path(c);
            const char *name = c == channel::ctrl ? "ctrl" : "audio";
            dirs_[2 * i].name = std::string(name) + " client->modem";
            dirs_[2 * i].loss_prefixes = {pty + " data lost", gsm + " write error"};
            dirs_[2 * i + 1].name = std::string(name) + " modem->client";
            dirs_[2 * i + 1].loss_prefixes = {gsm + " data lost", pty + " write error"};
        }
    }

    bool ok() const {
        return client_[0] >= 0 && client_[1] >= 0;
    }

    // The modem ports open on the client's first bytes: until then what
    // the modem sends is not taken.
    void begin() {
        const std::size_t before = b_.texts().size();
        dirs_[1].enabled = false;
        dirs_[3].enabled = false;
        reopen_modem(channel::ctrl);
        reopen_modem(channel::audio);
        drain(3s);
        settle(before, false);
    }

    // One traffic phase and one fault phase.
    void cycle() {
        traffic_phase(std::chrono::milliseconds(150 + random_() % 350));
        check_resources();
        fault_phase();
        ++cycles_;
    }

    int finish(double seconds_run) {
        const auto status = b_.stop(SIGTERM, 60s);
        std::vector<std::string> left;
        for (const auto &e : fs::directory_iterator(b_.path("lock"))) {
            left.push_back(e.path().filename().string());
        }
        std::uint64_t sent = 0;
        std::uint64_t delivered = 0;
        std::uint64_t disconnect = 0;
        std::uint64_t reported = 0;
        std::uint64_t unexplained = 0;
        std::uint64_t disorder = 0;
        std::printf("\n%-22s %12s %12s %12s %12s %12s\n", "direction", "sent", "delivered",
                    "lost:unplug", "lost:logged", "unexplained");
        for (const auto &d : dirs_) {
            std::printf("%-22s %12llu %12llu %12llu %12llu %12llu\n", d.name.c_str(),
                        static_cast<unsigned long long>(d.bytes_sent),
                        static_cast<unsigned long long>(d.bytes_delivered),
                        static_cast<unsigned long long>(d.lost_disconnect),
                        static_cast<unsigned long long>(d.lost_reported),
                        static_cast<unsigned long long>(d.lost_unexplained));
            sent += d.bytes_sent;
            delivered += d.bytes_delivered;
            disconnect += d.lost_disconnect;
            reported += d.lost_reported;
            unexplained += d.lost_unexplained;
            disorder += d.out_of_order;
        }
        std::printf("\nduration            %.1f s\n", seconds_run);
        std::printf("cycles              %llu (hang-ups %llu, unplugs %llu, unplugs with "
                    "bytes for the absent modem %llu)\n",
                    static_cast<unsigned long long>(cycles_),
                    static_cast<unsigned long long>(hangups_),
                    static_cast<unsigned long long>(unplugs_),
                    static_cast<unsigned long long>(absent_sends_));
        std::printf("bytes sent          %llu\n", static_cast<unsigned long long>(sent));
        std::printf("bytes delivered     %llu (in order, intact)\n",
                    static_cast<unsigned long long>(delivered));
        std::printf("bytes lost          %llu to disconnects, %llu with a daemon loss message, "
                    "%llu unexplained\n",
                    static_cast<unsigned long long>(disconnect),
                    static_cast<unsigned long long>(reported),
                    static_cast<unsigned long long>(unexplained));
        std::printf("frames out of order %llu\n", static_cast<unsigned long long>(disorder));
        std::printf("daemon loss messages %zu (data lost %zu, write error %zu)\n",
                    count_prefix({"data lost", "write error"}), count_prefix({"data lost"}),
                    count_prefix({"write error"}));
        std::map<std::string, std::size_t> kinds;
        for (const auto &t : b_.texts()) {
            if (t.find("data lost") != std::string::npos || t.find("error") != std::string::npos ||
                t.rfind("cannot", 0) == 0) {
                ++kinds[t.substr(0, t.find(" ("))];
            }
        }
        for (const auto &[text, n] : kinds) {
            std::printf("  %5zu x %s\n", n, text.c_str());
        }
        // Flat: the second half of the run never needs more than the first.
        const std::size_t half = rss_.size() / 2;
        const long first_half =
            rss_.empty()
                ? 0
                : *std::max_element(rss_.begin(), rss_.begin() + static_cast<long>(half + 1));
        const long second_half =
            rss_.empty() ? 0
                         : *std::max_element(rss_.begin() + static_cast<long>(half), rss_.end());
        const bool rss_flat = !memory_is_measured() || second_half <= first_half;
        std::printf("descriptors, locks  %llu checks, %llu differing\n",
                    static_cast<unsigned long long>(checks_),
                    static_cast<unsigned long long>(resource_changes_));
        std::printf("RSS                 %ld kB first, %ld kB at most in the first half, %ld kB at "
                    "most in the second, %ld kB last%s\n",
                    rss_.empty() ? 0 : rss_.front(), first_half, second_half,
                    rss_.empty() ? 0 : rss_.back(),
                    memory_is_measured() ? "" : " (not judged: valgrind or sanitizers)");
        std::printf("lock files left     %zu\n", left.size());
        const bool stopped = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
        std::printf("stop                %s\n",
                    stopped ? "exit 0"
                    : status && WIFEXITED(*status)
                        ? ("exit " + std::to_string(WEXITSTATUS(*status))).c_str()
                        : "not clean");
        if (under_valgrind()) {
            // Its report goes to the daemon's standard error, empty when clean.
            const std::string report = file_text(b_.path("stderr"));
            std::printf("valgrind report     %zu bytes%s\n", report.size(),
                        report.empty() ? "" : (":\n" + report).c_str());
        }
        const bool pass = stopped && left.empty() && unexplained == 0 && disorder == 0 &&
                          resource_changes_ == 0 && rss_flat && failures_ == 0;
        std::printf("%s\n", pass ? "PASS" : "FAIL");
        for (const int fd : client_) {
            if (fd >= 0) {
                close(fd);
            }
        }
        return pass ? 0 : 1;
    }

  private:
    int src(std::size_t d) {
        const auto c = static_cast<channel>(d / 2);
        return d % 2 == 0 ? client_[d / 2] : modem_[d / 2].master(b_, c);
    }
    int dst(std::size_t d) {
        const auto c = static_cast<channel>(d / 2);
        return d % 2 == 0 ? modem_[d / 2].master(b_, c) : client_[d / 2];
    }

    // One round of sending (new frames when `fresh`) and receiving.
    void step(bool fresh) {
        for (std::size_t d = 0; d < dirs_.size(); ++d) {
            auto &dir = dirs_[d];
            if (fresh && dir.enabled && dir.pending.empty() && dir.in_flight() < window) {
                dir.send_frame(random_);
            }
            if (!dir.pending.empty() && src(d) >= 0) {
                const ssize_t n = write(src(d), dir.pending.data(), dir.pending.size());
                if (n > 0) {
                    dir.pending.erase(0, static_cast<std::size_t>(n));
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    dir.pending.clear(); // its frames count as lost
                }
            }
        }
        std::array<pollfd, 4> p{};
        for (std::size_t d = 0; d < dirs_.size(); ++d) {
            p[d] = {dst(d), POLLIN, 0};
        }
        if (poll(p.data(), p.size(), 5) <= 0) {
            return;
        }
        char data[8192];
        for (std::size_t d = 0; d < dirs_.size(); ++d) {
            if (p[d].fd >= 0 && (p[d].revents & POLLIN) != 0) {
                const ssize_t n = read(p[d].fd, data, sizeof data);
                if (n > 0) {
                    dirs_[d].receive(data, static_cast<std::size_t>(n));
                }
            }
        }
    }

    void run_for(steady::duration d) {
        const auto end = steady::now() + d;
        while (steady::now() < end) {
            step(true);
        }
    }

    // Lets what is in flight arrive; gives up after `quiet` without progress.
    void drain(steady::duration quiet) {
        auto last = steady::now();
        std::uint64_t before = total_progress();
        for (;;) {
            bool empty = true;
            for (const auto &d : dirs_) {
                empty = empty && d.sent.empty();
            }
            if (empty || steady::now() - last > quiet) {
                return;
            }
            step(false);
            if (total_progress() != before) {
                before = total_progress();
                last = steady::now();
            }
        }
    }

    std::uint64_t total_progress() const {
        std::uint64_t n = 0;
        for (const auto &d : dirs_) {
            n += d.progress;
        }
        return n;
    }

    std::size_t count_prefix(const std::vector<std::string> &words, std::size_t from = 0) {
        const auto texts = b_.texts();
        std::size_t n = 0;
        for (std::size_t i = from; i < texts.size(); ++i) {
            for (const auto &w : words) {
                if (texts[i].find(w) != std::string::npos) {
                    ++n;
                    break;
                }
            }
        }
        return n;
    }

    void settle(std::size_t messages_before, bool disconnect) {
        const auto texts = b_.texts();
        for (auto &d : dirs_) {
            bool reported = false;
            for (std::size_t i = messages_before; i < texts.size(); ++i) {
                for (const auto &prefix : d.loss_prefixes) {
                    reported = reported || texts[i].rfind(prefix, 0) == 0;
                }
            }
            const std::uint64_t unexplained_before = d.lost_unexplained;
            d.settle(disconnect, reported);
            if (d.lost_unexplained != unexplained_before) {
                std::printf(
                    "cycle %llu: %s lost %llu bytes with no disconnect and no message\n",
                    static_cast<unsigned long long>(cycles_), d.name.c_str(),
                    static_cast<unsigned long long>(d.lost_unexplained - unexplained_before));
            }
        }
    }

    void traffic_phase(steady::duration d) {
        const std::size_t before = b_.texts().size();
        run_for(d);
        drain(3s);
        settle(before, false);
    }

    void check_resources() {
        if (!poll_until([&] { return b_.idle(); }, 10s)) {
            ++failures_;
            std::printf("cycle %llu: the daemon did not come back to its wait\n",
                        static_cast<unsigned long long>(cycles_));
            return;
        }
        resources now = resources_of(b_.pid(), b_.path("lock"));
        rss_.push_back(now.rss_kb);
        // Memory is judged over the whole run (a path taken for the first
        // time touches a page or two once); descriptors and locks each time.
        now.rss_kb = 0;
        if (cycles_ == 0) {
            baseline_ = now;
        } else {
            ++checks_;
            if (!(now == baseline_)) {
                ++resource_changes_;
                std::printf("cycle %llu: resources changed\n  before: %s\n  now:    %s\n",
                            static_cast<unsigned long long>(cycles_), describe(baseline_).c_str(),
                            describe(now).c_str());
                baseline_ = now; // report each change once
            }
        }
    }

    // Only the client's side runs until the modem port is open again (it
    // opens on the client's bytes; what the modem sends before is flushed).
    void reopen_modem(channel c) {
        const auto i = static_cast<std::size_t>(c);
        dirs_[2 * i + 1].enabled = false;
        const std::uint64_t before = dirs_[2 * i].progress;
        const auto end = steady::now() + 10s;
        while (dirs_[2 * i].progress == before && steady::now() < end) {
            step(true);
        }
        dirs_[2 * i + 1].enabled = true;
    }

    void fault_phase() {
        const std::size_t before = b_.texts().size();
        const auto c = static_cast<channel>(random_() % 2);
        const auto i = static_cast<std::size_t>(c);
        const std::string gsm = gsm_path(c);
        // Frames in flight when it happens.
        run_for(std::chrono::milliseconds(random_() % 30));
        switch (random_() % 3) {
        case 0: { // the client hangs up and comes back
            ++hangups_;
            close(client_[i]);
            client_[i] = -1;
            if (!poll_until([&] { return b_.opens(pty_path(c)) > attached_[i]; })) {
                ++failures_;
            }
            client_[i] = b_.attach(c, attached_[i]++);
            if (client_[i] < 0) {
                ++failures_;
            }
            break;
        }
        case 1: // the modem is unplugged and comes back as a new terminal
        case 2: {
            ++unplugs_;
            modem_[i].unplug(b_, c);
            if (!poll_until([&] { return !b_.lock_exists(gsm.c_str()); })) {
                ++failures_;
            }
            if (random_() % 3 == 2) {
                // The client goes on sending to the absent modem.
                ++absent_sends_;
                dirs_[2 * i + 1].enabled = false;
                const std::size_t lost_before = count_prefix({"data lost"});
                const auto end = steady::now() + 10s;
                while (count_prefix({"data lost"}) == lost_before && steady::now() < end) {
                    step(true);
                }
                dirs_[2 * i + 1].enabled = true;
            }
            modem_[i].replug(b_, c);
            break;
        }
        }
        reopen_modem(c);
        run_for(50ms);
        drain(300ms);
        settle(before, true);
    }

    std::mt19937 random_;
    bridge b_;
    std::array<int, 2> client_{-1, -1};
    std::array<std::size_t, 2> attached_{0, 0};
    std::array<modem_side, 2> modem_;
    std::array<direction, 4> dirs_;
    resources baseline_;
    std::vector<long> rss_;
    std::uint64_t cycles_ = 0;
    std::uint64_t hangups_ = 0;
    std::uint64_t unplugs_ = 0;
    std::uint64_t absent_sends_ = 0;
    std::uint64_t checks_ = 0;
    std::uint64_t resource_changes_ = 0;
    std::uint64_t failures_ = 0;
};

} // namespace

int main(int argc, char **argv) {
    int seconds = 60;
    auto seed = static_cast<unsigned>(getpid());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (a == "--seed" && i + 1 < argc) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--valgrind") {
            setenv("PTYBRIDGE_VALGRIND", "1", 1);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--seed N] [--valgrind]\n", argv[0]);
            return 2;
        }
    }
    std::printf("soak: %d s, seed %u%s\n", seconds, seed,
                under_valgrind() ? ", daemon under valgrind" : "");
    std::fflush(stdout);
    const auto start = steady::now();
    soak s(seed);
    if (!s.ok()) {
        std::printf("FAIL: the daemon's masters could not be reached\n");
        return 1;
    }
    s.begin();
    while (steady::now() - start < std::chrono::seconds(seconds)) {
        s.cycle();
    }
    const double run = std::chrono::duration<double>(steady::now() - start).count();
    return s.finish(run);
}
