#include "report.hpp"

#include "measure.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

std::string cell(double x, const char *format) {
    char text[32];
    if (x < 0) {
        std::snprintf(text, sizeof text, "%10s", "-");
    } else {
        std::snprintf(text, sizeof text, format, x);
    }
    return text;
}

std::string ratio(double a, double b) {
    char text[32];
    if (a < 0 || b <= 0) {
        std::snprintf(text, sizeof text, "%9s", "-");
    } else {
        std::snprintf(text, sizeof text, "%9.2f", a / b);
    }
    return text;
}

} // namespace

void table::add(const std::string &name, const char *format, bool higher_is_better, double target) {
    rows_.push_back({name, format, higher_is_better, target, {}});
}

void table::add_mean(const std::string &name, double target) {
    mean_name_ = name;
    mean_target_ = target;
}

row &table::at(const std::string &name) {
    const auto found =
        std::find_if(rows_.begin(), rows_.end(), [&](const row &r) { return r.name == name; });
    if (found == rows_.end()) {
        std::fprintf(stderr, "ptybridge-bench: no row \"%s\"\n", name.c_str());
        std::abort();
    }
    return *found;
}

// "  ok" when the ratio reaches the target, "  short" when not, "" without one.
const char *verdict(double ratio, double target, bool higher_is_better) {
    if (target <= 0 || ratio < 0) {
        return "";
    }
    return (higher_is_better ? ratio >= target : ratio <= target) ? "  ok" : "  short";
}

void table::print() const {
    std::printf("%-34s%10s%10s%10s%9s%9s  %s\n", "", "ptybridge", "socat", "no relay", "pb/socat",
                "pb/none", "target");
    double log_sum = 0;
    int ratios = 0;
    for (const row &r : rows_) {
        const std::array<double, 3> v{median(r.values[0]), median(r.values[1]),
                                      median(r.values[2])};
        const double to_socat = v[0] >= 0 && v[1] > 0 ? v[0] / v[1] : -1;
        char target[16] = "";
        if (r.target > 0) {
            std::snprintf(target, sizeof target, "%s%.2f",
                          r.higher_is_better ? ">=" : "<=", r.target);
        }
        if (r.target > 0 && r.higher_is_better && to_socat > 0) {
            log_sum += std::log(to_socat);
            ++ratios;
        }
        std::printf("%-34s%s%s%s%s%s  %-6s%s\n", r.name.c_str(), cell(v[0], r.format).c_str(),
                    cell(v[1], r.format).c_str(), cell(v[2], r.format).c_str(),
                    ratio(v[0], v[1]).c_str(), ratio(v[0], v[2]).c_str(), target,
                    verdict(to_socat, r.target, r.higher_is_better));
    }
    if (!mean_name_.empty() && ratios > 0) {
        const double mean = std::exp(log_sum / ratios);
        std::printf("%-34s%30s%9.2f%9s  >=%.2f%s\n", mean_name_.c_str(), "", mean, "", mean_target_,
                    verdict(mean, mean_target_, true));
    }
}

void print_breakdown(const std::vector<std::string> &cases,
                     const std::vector<std::array<relay_counts, 2>> &spent) {
    std::printf("\nwhere the time goes, per relay over each case's transfers (/proc):\n");
    std::printf("%-34s%-10s%9s%9s%11s%11s%10s%9s\n", "", "relay", "B/read", "B/write", "waits/read",
                "preempt/rd", "us/read", "kernel");
    for (std::size_t k = 0; k < cases.size(); ++k) {
        for (std::size_t i = 0; i < 2; ++i) {
            const relay_counts &c = spent[k][i];
            if (c.reads <= 0) {
                continue;
            }
            const double cpu = c.user_s + c.system_s;
            std::printf("%-34s%-10s%9.0f%9.0f%11.2f%11.2f%10.1f%8.0f%%\n",
                        i == 0 ? cases[k].c_str() : "", i == 0 ? "ptybridge" : "socat",
                        c.bytes_read / c.reads, c.writes > 0 ? c.bytes_written / c.writes : 0,
                        c.waits / c.reads, c.preempted / c.reads, cpu / c.reads * 1e6,
                        cpu > 0 ? 100 * c.system_s / cpu : 0);
        }
    }
}

} // namespace bench
