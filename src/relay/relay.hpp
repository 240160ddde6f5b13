#pragma once

#include "port/port.hpp"

#include <array>
#include <cstdint>

enum class side : std::uint8_t { none, source, destination };

// One of the four directions of the bridge: what differs between them.
struct relay_direction {
    std::int32_t debug_bit;
    const char *debug_format;                   // takes the byte count and a text
    bool audio;                                 // chunks of 32 bytes or more show as "{audio}"
    bool open_destination;                      // a closed destination is opened, not given up
    std::array<side, 2> close_on_read_failure;  // in this order
    std::array<side, 2> close_on_write_failure; // in this order
};

extern const relay_direction ctrl_pty_to_gsm;
extern const relay_direction audio_pty_to_gsm;
extern const relay_direction ctrl_gsm_to_pty;
extern const relay_direction audio_gsm_to_pty;

// Moves one chunk of at most 4095 bytes from a ready source to the other
// side of its channel. What cannot be written at once is dropped and logged;
// a failed read or write also closes the ports that the direction names.
void relay(const relay_direction &direction, port &source, port &destination);
// The same from the terminal of a client of `source` (a pseudo-terminal
// direction), off the link.
void relay(const relay_direction &direction, port &source, terminal &client, port &destination);
// A destination that is waiting for its lock file (port_open gave
// port_waiting) holds the chunk read for it, and its source is not read
// meanwhile: this tries the open again and writes the chunk, or drops it
// as lost once the wait ends without the lock.
void relay_resume(const relay_direction &direction, port &source, port &destination);
// The last client of a channel let go of its terminals (a pseudo-terminal
// direction): what they still hold goes to the modem, and the modem port
// closes, so that its late answers reach no later client.
void relay_session_end(const relay_direction &direction, port &source, port &destination);
