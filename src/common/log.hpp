#pragma once

#include "common/debug.hpp"

#include <cstdint>

// Every message of the daemon goes to the system log through these. The
// logger keeps its default identity and facility: openlog is never called.

// A message of its own format at the given priority.
void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A failed call: the formatted text followed by " (<errno>, <its text>)".
void log_failure(int priority, int error, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Whether a bit of the debug mask is set; inline, as the relay asks for
// every chunk.
[[nodiscard]] inline bool debug_enabled(std::int32_t bit) {
    return (debug_mask & bit) != 0;
}

// A LOG_DEBUG message, only while its bit of the debug mask is set.
void log_debug(std::int32_t bit, const char *format, ...) __attribute__((format(printf, 2, 3)));
