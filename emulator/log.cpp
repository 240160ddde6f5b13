#include "log.hpp"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

FILE *log_file = nullptr; // nullptr: log is off
timespec start_time{};

void emit(FILE *f, const char *text) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    double t = static_cast<double>(now.tv_sec - start_time.tv_sec) +
               static_cast<double>(now.tv_nsec - start_time.tv_nsec) / 1e9;
    (void)std::fprintf(f, "[%9.3f] %s\n", t, text);
    (void)std::fflush(f);
}

// Lines longer than the buffer are cut: they are for people to read.
// The NOLINT: clang-tidy 14 takes this va_list for uninitialised when it
// checks several files in one run; the file alone is clean.
__attribute__((format(printf, 3, 0))) void emit_formatted(FILE *to, FILE *also, const char *fmt,
                                                          va_list ap) {
    char line[1024];
    (void)std::vsnprintf(line, sizeof line, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    emit(to, line);
    if (also != nullptr && also != to) {
        emit(also, line);
    }
}

} // namespace

bool log_open(const char *path, bool to_stderr) {
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    if (path != nullptr) {
        log_file = std::fopen(path, "ae");
        return log_file != nullptr;
    }
    if (to_stderr) {
        log_file = stderr;
    }
    return true;
}

void emu_log(const char *fmt, ...) {
    if (log_file == nullptr) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    emit_formatted(log_file, nullptr, fmt, ap);
    va_end(ap);
}

void emu_log_always(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit_formatted(log_file != nullptr ? log_file : stderr, nullptr, fmt, ap);
    va_end(ap);
}

void emu_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit_formatted(stderr, log_file, fmt, ap);
    va_end(ap);
}
