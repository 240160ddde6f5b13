// A client that closes a terminal link and opens it again at once, counting
// what every reopen met. Shared by the pseudo-terminal tests and the board.
#pragma once

#include <chrono>
#include <cstdio>

enum class cycle_mode {
    exchange,         // open, raw, "AT", read "OK", close
    listen_after_ati, // one client sends "ATI" and closes, the next only listens
    exclusive,        // one client sets TIOCEXCL and its speed, exchanges, closes;
                      // the next opens, looks at both, and exchanges
};

struct cycle_counts {
    int cycles = 0;
    int answered = 0; // exchange: OK read; the measuring modes: second open succeeded
    int missing = 0;  // ENOENT at open
    int ended = 0;    // end of file, EIO, or raw mode refused on the terminal
    int busy = 0;     // EBUSY at open, or exclusive mode found set
    int other = 0;
    int inherited = 0; // bytes heard by a client that only listened, or the
                       // previous client's speed found

    double longest_wait_ms = 0; // longest wait for the link after a failed cycle
};

cycle_counts run_cycles(const char *link, int cycles, int delay_us, cycle_mode mode,
                        std::chrono::milliseconds answer_limit);
void print_counts(const cycle_counts &counts, FILE *out);
