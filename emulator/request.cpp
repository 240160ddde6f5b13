#include "request.hpp"

#include "at_engine.hpp"

#include <charconv>
#include <vector>

namespace {

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

bool parse_ms(std::string_view s, int &ms) {
    int v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size() || v < 0 || v > max_unplug_ms) {
        return false;
    }
    ms = v;
    return true;
}

} // namespace

request parse_request(std::string_view line) {
    request r;
    std::vector<std::string_view> w = split_words(line);
    if (w.empty()) {
        return r;
    }

    if (w[0] == "ring" && w.size() <= 2) {
        r.number = w.size() == 2 ? std::string(w[1]) : default_ring_number;
        if (at_valid_number(r.number)) {
            r.kind = request_kind::ring;
        }
    } else if (w[0] == "hangup" && w.size() == 1) {
        r.kind = request_kind::hangup;
    } else if (w[0] == "status" && w.size() == 1) {
        r.kind = request_kind::status;
    } else if (w[0] == "unplug" && (w.size() == 2 || w.size() == 3)) {
        r.ctrl = w[1] == "ctrl" || w[1] == "both";
        r.audio = w[1] == "audio" || w[1] == "both";
        bool ms_ok = w.size() == 2 || parse_ms(w[2], r.ms);
        if ((r.ctrl || r.audio) && ms_ok) {
            r.kind = request_kind::unplug;
        }
    }
    return r;
}
