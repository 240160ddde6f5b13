// In place of the daemon for the init script's tests: run from
// ROOT/usr/sbin/ptybridge (STANDIN_DAEMON under a root of the test's), it
// publishes the daemon's two links and takes its two master locks there,
// and on SIGTERM takes a second, as a lock wait would, before it removes
// them and exits 0. It ends by itself after two minutes.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
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
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::size_t suffix = std::strlen(STANDIN_DAEMON);
    if (n <= 0 || static_cast<std::size_t>(n) <= suffix ||
        std::strcmp(exe + n - suffix, STANDIN_DAEMON) != 0) {
        std::fprintf(stderr, "init-standin: not run as ROOT%s\n", STANDIN_DAEMON);
        return 2;
    }
    const std::string root(exe, static_cast<std::size_t>(n) - suffix);

    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    struct sigaction action {};
    action.sa_handler = on_term;
    sigaction(SIGTERM, &action, nullptr);
    alarm(120);

    for (const char *link : links) {
        const std::string path = root + link;
        unlink(path.c_str());
        if (symlink("/dev/null", path.c_str()) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    for (const char *lock : locks) {
        const std::string path = root + lock;
        FILE *file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            std::perror(path.c_str());
            return 1;
        }
        std::fprintf(file, "%10d\n", static_cast<int>(getpid()));
        std::fclose(file);
    }

    sigset_t waiting;
    sigprocmask(SIG_SETMASK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    while (!stop)
        sigsuspend(&waiting);

    const timespec second{1, 0};
    nanosleep(&second, nullptr);
    for (const char *link : links)
        unlink((root + link).c_str());
    for (const char *lock : locks)
        unlink((root + lock).c_str());
    return 0;
}
