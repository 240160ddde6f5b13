#pragma once

// Paths from the command line; nullptr when not given.
struct options {
    const char *ctrl = nullptr;    // the control channel: symlink to make, or device
    const char *audio = nullptr;   // the audio channel: symlink to make, or device
    const char *control = nullptr; // FIFO of run-time requests
    const char *status = nullptr;  // file the status request writes
    const char *ready = nullptr;   // written once every channel is up
    const char *log = nullptr;     // log file
    bool verbose = false;          // log to stderr
    // --ctrl and --audio name existing serial devices (the far end of a USB
    // gadget, say) to open and drive instead of symlinks to make.
    bool device = false;
};

// Runs until SIGTERM, SIGINT or SIGHUP. Returns the process exit code.
int emulator_run(const options &opt);
