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
    std::fprintf(f, "[%9.3f] %s\n", t, text);
    std::fflush(f);
}

} // namespace

bool log_open(const char *path, bool to_stderr) {
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    if (path != nullptr) {
        log_file = std::fopen(path, "ae");
        return log_file != nullptr;
    }
    if (to_stderr)
        log_file = stderr;
    return true;
}

// Lines longer than the buffer are cut: they are for people to read.
// The NOLINTs: clang-tidy 14 takes these va_lists for uninitialised when it
// checks several files in one run; each file alone is clean.

void emu_log(const char *fmt, ...) {
    if (log_file == nullptr)
        return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    emit(log_file, line);
}

void emu_log_always(const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    emit(log_file != nullptr ? log_file : stderr, line);
}

void emu_error(const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    emit(stderr, line);
    if (log_file != nullptr && log_file != stderr)
        emit(log_file, line);
}
