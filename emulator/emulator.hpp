#pragma once

// Paths from the command line; nullptr when not given.
struct options {
    const char *ctrl = nullptr;    // symlink to the slave of the control channel
    const char *audio = nullptr;   // symlink to the slave of the audio channel
    const char *control = nullptr; // FIFO of run-time requests
    const char *status = nullptr;  // file the status request writes
    const char *ready = nullptr;   // written once every symlink exists
    const char *log = nullptr;     // log file
    bool verbose = false;          // log to stderr
};

// Runs until SIGTERM, SIGINT or SIGHUP. Returns the process exit code.
int emulator_run(const options &opt);
