// Fuzzes what the daemon reads from lock files that anyone may write: the
// owner parser against strtoll, and the stale-lock path of dev_lock on a
// lock file holding the fuzzer's bytes.

#include "port/lock.hpp"
#include "port/port.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *device = "/dev/ttyFUZZ";
const std::string lock_file = std::string(lock_directory) + "/LCK..ttyFUZZ";
// What the daemon reads of a lock file.
constexpr std::size_t read_limit = 63;

// The owner as the C library reads a decimal number (strtoll in the C
// locale takes the same blanks and sign), with its own range check: no
// number, or one no process ID can be, is 0. `text` ends at its first zero
// byte, as the daemon's buffer does.
long long reference_owner(const std::string &text) {
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value > INT_MAX || value < -INT_MAX) {
        return 0;
    }
    return value;
}

void fail(const char *what) {
    std::fprintf(stderr, "fuzz_lock: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    mkdir(lock_directory, 0755);
    unlink(lock_file.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);

    // The parser against the reference, on text that ends at its first
    // zero byte; and, whatever the reference says, the result is a
    // possible process ID, its negative, or 0.
    const std::string text = bytes.substr(0, bytes.find('\0'));
    const pid_t owner_read = lock_owner(bytes.c_str());
    if (owner_read != reference_owner(text)) {
        fail("lock_owner disagrees with strtoll");
    }
    if (owner_read == INT_MIN) {
        fail("lock_owner gave a value no process ID can negate");
    }

    // The stale-lock path: only where the owner cannot be alive, so that
    // no input costs a whole lock wait. A file naming this process that it
    // did not write is stale too.
    const std::string seen = bytes.substr(0, read_limit);
    const long long owner = reference_owner(seen.substr(0, seen.find('\0')));
    if (owner > 0 && owner != getpid() &&
        (kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)) {
        return 0;
    }
    const int fd = open(lock_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
        fail("cannot write the lock file");
    }
    close(fd);
    const std::int64_t start = monotonic_seconds();
    if (!dev_lock(device, 1)) {
        fail("a stale lock was not taken over");
    }
    if (monotonic_seconds() - start > 1) {
        fail("a stale lock was taken over only after a wait");
    }
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(getpid()));
    std::ifstream taken(lock_file);
    if (std::string(std::istreambuf_iterator<char>(taken), {}) != mine) {
        fail("the lock file does not hold this process's ID");
    }
    dev_unlock(device);
    struct stat st {};
    if (lstat(lock_file.c_str(), &st) == 0) {
        fail("the lock file stayed after dev_unlock");
    }
    return 0;
}
