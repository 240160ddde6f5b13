#include "proc.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <termios.h>

namespace bench {

namespace {

std::string proc_text(pid_t pid, const char *file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

std::array<long, 2> cpu_ticks(pid_t pid) {
    const std::string text = pid > 0 ? proc_text(pid, "stat") : std::string();
    // The name, field 2, may hold spaces and parentheses: fields 3 on
    // follow the last ')'. utime and stime are fields 14 and 15.
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return {-1, -1};
    }
    std::istringstream s(text.substr(end + 1));
    std::string field;
    std::array<long, 2> ticks{-1, -1};
    for (int i = 3; i <= 15 && s >> field; ++i) {
        if (i >= 14) {
            ticks[static_cast<std::size_t>(i - 14)] = std::strtol(field.c_str(), nullptr, 10);
        }
    }
    return ticks;
}

long proc_value(pid_t pid, const char *file, const char *key) {
    std::istringstream s(proc_text(pid, file));
    std::string line;
    while (std::getline(s, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
        }
    }
    return -1;
}

bool set_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace bench
