#include "report.hpp"

#include "measure.hpp"

#include <algorithm>
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

void table::add(const std::string &name, const char *format, bool higher_is_better) {
    rows_.push_back({name, format, higher_is_better, {}});
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

void table::print() const {
    std::printf("%-34s%10s%10s%10s%9s%9s\n", "", "ptybridge", "socat", "no relay", "pb/socat",
                "pb/none");
    for (const row &r : rows_) {
        const std::array<double, 3> v{median(r.values[0]), median(r.values[1]),
                                      median(r.values[2])};
        const char *mark = "";
        if (v[0] >= 0 && v[1] >= 0) {
            const bool met = r.higher_is_better ? v[0] >= v[1] : v[0] <= v[1];
            mark = met ? "  ok" : "  short";
        }
        std::printf("%-34s%s%s%s%s%s%s\n", r.name.c_str(), cell(v[0], r.format).c_str(),
                    cell(v[1], r.format).c_str(), cell(v[2], r.format).c_str(),
                    ratio(v[0], v[1]).c_str(), ratio(v[0], v[2]).c_str(), mark);
    }
}

} // namespace bench
