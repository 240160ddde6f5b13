#include "logged.hpp"

#include "common/debug.hpp"
#include "common/log.hpp"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>

std::vector<message> logged;

namespace {

std::string format_text(const char *format, va_list args) {
    std::array<char, 8192> text{};
    (void)std::vsnprintf(text.data(), text.size(), format, args);
    return text.data();
}

} // namespace

std::vector<std::string> logged_texts(int priority) {
    std::vector<std::string> out;
    for (const auto &m : logged) {
        if (priority < 0 || m.priority == priority) {
            out.push_back(m.text);
        }
    }
    return out;
}

void log_message(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    logged.push_back({priority, format_text(format, args)});
    va_end(args);
}

void log_failure(int priority, int error, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    logged.push_back(
        {priority, text + " (" + std::to_string(error) + ", " + std::strerror(error) + ")"});
}

void log_debug(std::int32_t bit, const char *format, ...) {
    if (!debug_enabled(bit)) {
        return;
    }
    va_list args;
    va_start(args, format);
    logged.push_back({LOG_DEBUG, format_text(format, args)});
    va_end(args);
}
