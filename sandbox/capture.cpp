// Preloaded into the daemon under test: reports every syslog message and
// every open to the test through an inherited pipe, leaving the daemon's
// own calls untouched. Records are lines: "S <priority> <usec> <text>" and
// "O <fd> <usec> <path>", the time read from the monotonic clock, with backslash, newline and
// non-printing bytes escaped as \\, \n and \xHH.

// This library defines open and open64 side by side: with 64-bit file
// offsets on a 32-bit target the headers would turn the first into a
// second open64. Built without them, it catches both kinds of caller.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int events_fd() {
    static const int fd = [] {
        const char *value = std::getenv("PTYBRIDGE_TEST_EVENTS_FD");
        return value != nullptr ? std::atoi(value) : -1;
    }();
    return fd;
}

void emit(char kind, int number, const char *text, std::size_t length) {
    const int fd = events_fd();
    if (fd < 0) {
        return;
    }
    const int saved_errno = errno;
    std::string line;
    line.reserve(length + 32);
    line += kind;
    line += ' ';
    line += std::to_string(number);
    line += ' ';
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    line += std::to_string(static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
    line += ' ';
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            line += "\\\\";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            line += hex;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    const char *data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    errno = saved_errno;
}

void emit_message(int priority, const char *format, va_list args) {
    char text[16384];
    if (std::vsnprintf(text, sizeof text, format, args) < 0) {
        text[0] = '\0';
    }
    emit('S', priority & 7, text, std::strlen(text));
}

bool takes_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int open_file(const char *path, int flags, mode_t mode) {
    const long fd = syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    const int saved_errno = errno;
    emit('O', static_cast<int>(fd), path, std::strlen(path));
    errno = saved_errno;
    return static_cast<int>(fd);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void vsyslog(int priority, const char *format,
                                                    va_list args) {
    emit_message(priority, format, args);
}

__attribute__((visibility("default"))) void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    emit_message(priority, format, args);
    va_end(args);
}

__attribute__((visibility("default"))) void __syslog_chk(int priority, int, const char *format,
                                                         ...) {
    va_list args;
    va_start(args, format);
    emit_message(priority, format, args);
    va_end(args);
}

__attribute__((visibility("default"))) void __vsyslog_chk(int priority, int, const char *format,
                                                          va_list args) {
    emit_message(priority, format, args);
}

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return open_file(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return open_file(path, flags | O_LARGEFILE, mode);
}

__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    return open_file(path, flags, 0);
}

__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    return open_file(path, flags | O_LARGEFILE, 0);
}

} // extern "C"
