#include "common/log.hpp"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

// Room for any action and device path of the daemon's messages; a longer
// text is cut short rather than lost.
constexpr std::size_t failure_text_size = 512;

} // namespace

// printf-style wrappers of syslog: the compiler checks every format against
// its arguments, which a parameter pack would not.
// NOLINTBEGIN(cert-dcl50-cpp)

void log_message(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
}

void log_failure(int priority, int error, const char *format, ...) {
    std::array<char, failure_text_size> text{};
    va_list args;
    va_start(args, format);
    // A false alarm: args was started on the line above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    syslog(priority, "%s (%i, %s)", text.data(), error, strerror(error));
}

void log_debug(std::int32_t bit, const char *format, ...) {
    if (!debug_enabled(bit)) {
        return;
    }
    va_list args;
    va_start(args, format);
    vsyslog(LOG_DEBUG, format, args);
    va_end(args);
}
// NOLINTEND(cert-dcl50-cpp)
