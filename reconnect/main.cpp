// reconnect-client [--delay-us N] [--mode exchange|listen|exclusive]
//                  [--user NAME] [--answer-ms N] LINK CYCLES
//
// Closes LINK and opens it again CYCLES times without retrying, and prints
// what the reopens met. Exits 0 in exchange mode only when every cycle was
// answered; the other modes measure and always exit 0.
#include "cycle.hpp"

#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

int usage() {
    (void)std::fputs("usage: reconnect-client [--delay-us N] [--mode exchange|listen|exclusive] "
                     "[--user NAME] [--answer-ms N] LINK CYCLES\n",
                     stderr);
    return 2;
}

bool number(const char *text, int &value) {
    char *end = nullptr;
    long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 0 || n > 1000000000) {
        return false;
    }
    value = static_cast<int>(n);
    return true;
}

// Root ignores TIOCEXCL: the exclusive measure needs an ordinary user.
bool become(const char *name) {
    const passwd *pw = getpwnam(name);
    if (pw == nullptr || initgroups(name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 ||
        setuid(pw->pw_uid) != 0) {
        (void)std::fprintf(stderr, "reconnect-client: cannot become %s\n", name);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    int delay_us = 0;
    int answer_ms = 2000;
    int cycles = 0;
    cycle_mode mode = cycle_mode::exchange;
    const char *user = nullptr;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        const char *option = argv[i];
        const char *value = argv[i + 1];
        if (std::strcmp(option, "--delay-us") == 0 && number(value, delay_us)) {
            continue;
        }
        if (std::strcmp(option, "--answer-ms") == 0 && number(value, answer_ms)) {
            continue;
        }
        if (std::strcmp(option, "--user") == 0) {
            user = value;
            continue;
        }
        if (std::strcmp(option, "--mode") != 0) {
            return usage();
        }
        if (std::strcmp(value, "exchange") == 0) {
            mode = cycle_mode::exchange;
        } else if (std::strcmp(value, "listen") == 0) {
            mode = cycle_mode::listen_after_ati;
        } else if (std::strcmp(value, "exclusive") == 0) {
            mode = cycle_mode::exclusive;
        } else {
            return usage();
        }
    }
    if (argc - i != 2 || !number(argv[i + 1], cycles)) {
        return usage();
    }
    if (user != nullptr && !become(user)) {
        return 2;
    }
    cycle_counts counts =
        run_cycles(argv[i], cycles, delay_us, mode, std::chrono::milliseconds(answer_ms));
    print_counts(counts, stdout);
    if (mode != cycle_mode::exchange) {
        return 0;
    }
    return counts.answered == counts.cycles ? 0 : 1;
}
