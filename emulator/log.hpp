#pragma once

// Log of what the emulator does. Off unless log_open enabled it.
// Returns false when the file cannot be opened.
bool log_open(const char *path, bool to_stderr);

// One line, prefixed with the seconds since start; a newline is added.
void emu_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Like emu_log, but written to stderr when the log is off.
void emu_log_always(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Errors always go to stderr, and to the log file as well.
void emu_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
