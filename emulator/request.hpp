#pragma once

#include <string>
#include <string_view>

inline constexpr const char *default_ring_number = "0123456789";
inline constexpr int default_unplug_ms = 500;
inline constexpr int max_unplug_ms = 600000;

enum class request_kind { invalid, ring, hangup, unplug, status };

// One line of the control FIFO.
struct request {
    request_kind kind = request_kind::invalid;
    std::string number; // ring
    bool ctrl = false;  // unplug
    bool audio = false; // unplug
    int ms = default_unplug_ms;
};

// Words are separated by spaces or tabs; a trailing CR is ignored.
//   ring [number] | hangup | unplug ctrl|audio|both [ms] | status
request parse_request(std::string_view line);
