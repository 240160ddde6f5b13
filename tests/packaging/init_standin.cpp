// In place of the daemon for the init script's tests, run as
// ROOT/usr/sbin/ptybridge: it publishes the daemon's links and takes its
// master locks under ROOT, and on SIGTERM takes a second, as a lock wait
// would, before it removes them and exits 0. It ends by itself after two
// minutes.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t stop = 0;
void on_term(int) {
    stop = 1;
}
const char *const links[] = {STANDIN_CTRL_LINK, STANDIN_AUDIO_LINK};
const char *const locks[] = {STANDIN_CTRL_LOCK, STANDIN_AUDIO_LOCK};
} // namespace

int main() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::size_t suffix = std::strlen(STANDIN_DAEMON);
    if (n <= static_cast<ssize_t>(suffix) || std::strncmp(exe + n - suffix, STANDIN_DAEMON, suffix))
        return 2;
    const std::string root(exe, static_cast<std::size_t>(n) - suffix);

    sigset_t term, waiting;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &waiting);
    signal(SIGTERM, on_term);
    alarm(120);

    for (const char *link : links) {
        unlink((root + link).c_str());
        if (symlink("/dev/null", (root + link).c_str()) != 0)
            return 1;
    }
    for (const char *lock : locks) {
        FILE *file = std::fopen((root + lock).c_str(), "w");
        if (file == nullptr)
            return 1;
        std::fprintf(file, "%10d\n", static_cast<int>(getpid()));
        std::fclose(file);
    }

    while (!stop)
        sigsuspend(&waiting);
    sleep(1);
    for (const char *link : links)
        unlink((root + link).c_str());
    for (const char *lock : locks)
        unlink((root + lock).c_str());
    return 0;
}
