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

#include "contenders.hpp"
#include "measure.hpp"
#include "report.hpp"
#include "sandbox.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace bench;

namespace {

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
    const std::string scratch = sandbox::make_temp_dir("ptybridge-bench");
    if (scratch.empty()) {
        fatal("mkdtemp");
    }

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
    const std::string latency_p50 = "latency AT p50 (us)";
    const std::string latency_p99 = "latency AT p99 (us)";
    const std::string cpu_per_mb = "CPU s per MB (user+sys)";
    const std::string tool = idle_tool();
    const std::string idle_calls = "syscalls in " + std::to_string(opt.idle_seconds) + " s idle (" +
                                   (tool.empty() ? "n/a" : tool) + ")";
    const std::string peak_rss = "peak RSS KiB (per process)";
    table r;
    // The targets: ahead of socat in every throughput cell and on average,
    // with lower latency and much less CPU.
    for (const auto &k : cases) {
        r.add(k.name, "%10.2f", true, 1.05);
    }
    r.add_mean("MB/s geometric mean of pb/socat", 1.2);
    r.add(latency_p50, "%10.1f", false, 0.9);
    r.add(latency_p99, "%10.1f", false, 1.0);
    r.add(cpu_per_mb, "%10.4f", false, 0.7);
    r.add(idle_calls, "%10.0f", false);
    r.add(peak_rss, "%10.0f", false);
    std::array<std::size_t, 3> losses{};
    std::vector<std::array<relay_counts, 2>> spent(cases.size());

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
                    r.at(cases[k].name).values[i].push_back(-1);
                    continue;
                }
                double best = -1;
                const relay_counts before = i < 2 ? relay_counters(c) : relay_counts{};
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
                r.at(cases[k].name).values[i].push_back(best);
                if (i < 2) {
                    spent[k][i].add(relay_counters(c), 1);
                    spent[k][i].add(before, -1);
                }
            }
        }
        for (std::size_t i = 0; i < 3; ++i) {
            const double cpu = relay_cpu(all[i]) - cpu_before[i];
            r.at(cpu_per_mb)
                .values[i]
                .push_back(all[i].relays.empty() || moved[i] <= 0 ? -1 : cpu / (moved[i] / 1e6));
        }
        for (std::size_t turn = 0; turn < 3 && opt.only != "throughput"; ++turn) {
            const std::size_t i = (turn + static_cast<std::size_t>(round)) % 3;
            const auto times =
                all[i].usable ? exchanges(all[i].ends[0], opt.exchanges) : std::vector<double>{};
            const bool complete = static_cast<int>(times.size()) == opt.exchanges;
            r.at(latency_p50).values[i].push_back(complete ? percentile(times, 0.5) : -1);
            r.at(latency_p99).values[i].push_back(complete ? percentile(times, 0.99) : -1);
        }
    }

    // Idle: every relay at once, nothing moving.
    std::fprintf(stderr, "idle for %d s\n", opt.idle_seconds);
    {
        // Side by side, so the idle time is spent once.
        std::string commands;
        for (std::size_t i = 0; i < 2; ++i) {
            if (all[i].usable) {
                const std::string file = scratch + "/idle-" + std::to_string(i);
                const std::string command =
                    idle_count_command(all[i].relays, opt.idle_seconds, file);
                commands += command.empty() ? "" : command + " & ";
            }
        }
        run_output(commands + "wait");
        for (std::size_t i = 0; i < 2; ++i) {
            if (!tool.empty()) {
                r.at(idle_calls).values[i] = {
                    static_cast<double>(idle_count(scratch + "/idle-" + std::to_string(i), tool))};
            }
        }
    }
    for (std::size_t i = 0; i < 2; ++i) {
        r.at(peak_rss).values[i] = {peak_rss_kib(all[i])};
    }

    // Stop the relays: the daemon in order, as on a board.
    const bool daemon_clean = stop(all);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);

    std::printf("\nptybridge-bench: %d rounds, medians; transfers of %.2f s, windows up to %zu "
                "bytes in flight; %d AT exchanges per round\n",
                opt.rounds, opt.seconds, windows.back(), opt.exchanges);
    r.print();
    std::vector<std::string> names;
    for (const auto &k : cases) {
        names.push_back(k.name);
    }
    print_breakdown(names, spent);
    std::printf("lossy windows: ptybridge %zu, socat %zu, no relay %zu; daemon stopped %s; "
                "%.0f s\n",
                losses[0], losses[1], losses[2], daemon_clean ? "cleanly" : "NOT cleanly",
                seconds_since(started));
    return daemon_clean ? 0 : 1;
}
