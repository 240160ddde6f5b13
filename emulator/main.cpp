#include "emulator.hpp"
#include "log.hpp"

#include <cstdio>
#include <getopt.h>

namespace {

void usage(FILE *f) {
    std::fputs(
        "usage: gsm-modem-emulator [--device] [--ctrl PATH] [--audio PATH] [--control FIFO]\n"
        "                          [--status PATH] [--ready-file PATH] [--log PATH] [-v]\n"
        "Plays a two-channel USB GSM modem on pseudo-terminals, or with --device on\n"
        "the existing serial devices --ctrl and --audio name; see emulator/README.md.\n",
        f);
}

} // namespace

int main(int argc, char **argv) {
    static const option longopts[] = {
        {"ctrl", required_argument, nullptr, 'c'},
        {"audio", required_argument, nullptr, 'a'},
        {"control", required_argument, nullptr, 'f'},
        {"status", required_argument, nullptr, 's'},
        {"ready-file", required_argument, nullptr, 'r'},
        {"log", required_argument, nullptr, 'l'},
        {"device", no_argument, nullptr, 'd'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    options opt;
    int c = 0;
    while ((c = getopt_long(argc, argv, "vh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c':
            opt.ctrl = optarg;
            break;
        case 'a':
            opt.audio = optarg;
            break;
        case 'f':
            opt.control = optarg;
            break;
        case 's':
            opt.status = optarg;
            break;
        case 'r':
            opt.ready = optarg;
            break;
        case 'l':
            opt.log = optarg;
            break;
        case 'd':
            opt.device = true;
            break;
        case 'v':
            opt.verbose = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind != argc || (opt.ctrl == nullptr && opt.audio == nullptr)) {
        std::fputs("gsm-modem-emulator: give --ctrl, --audio or both, and no other arguments\n",
                   stderr);
        usage(stderr);
        return 2;
    }
    if (!log_open(opt.log, opt.verbose)) {
        std::perror(opt.log);
        return 1;
    }
    return emulator_run(opt);
}
