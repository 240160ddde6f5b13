#pragma once

#include "port/port.hpp"

#include <array>
#include <cstdint>
#include <sys/select.h>

enum class side : std::uint8_t { none, source, destination };

// One of the four directions of the bridge: what differs between them.
struct relay_direction {
    std::int32_t debug_bit;
    const char *debug_format;                   // takes the byte count and a text
    bool audio;                                 // chunks of 32 bytes or more show as "{audio}"
    bool open_destination;                      // a closed destination is opened, not given up
    std::array<side, 2> close_on_read_failure;  // in this order
    std::array<side, 2> close_on_write_failure; // in this order
    std::uint8_t held;                          // which held chunk is this direction's, 0 to 3
};

extern const relay_direction ctrl_pty_to_gsm;
extern const relay_direction audio_pty_to_gsm;
extern const relay_direction ctrl_gsm_to_pty;
extern const relay_direction audio_gsm_to_pty;

// Moves one chunk of at most 4095 bytes from a ready source to the other
// side of its channel. What the destination cannot take at once is held
// (below); a failed read or write closes the ports that the direction names.
void relay(const relay_direction &direction, port &source, port &destination);
// The same from the terminal of a client of `source` (a pseudo-terminal
// direction), off the link.
void relay(const relay_direction &direction, port &source, terminal &client, port &destination);

// A chunk that its destination did not take whole at once is held, and the
// direction's sources are not read meanwhile: bytes keep their order, and
// a reader that is a moment slow, or a modem port that waits for its lock
// file, loses nothing. A destination that takes nothing for a second has
// stopped reading: the rest is lost (logged), and until it takes a chunk
// whole again, what it cannot take at once is lost as well, so that its
// source is not held up behind it.
[[nodiscard]] bool relay_holds(const relay_direction &direction);
// Adds to `writable` the descriptors that still owe part of the held
// chunk. Returns when the hold must be looked at again at the latest
// (monotonic ms), or 0 without a held chunk.
std::int64_t relay_watch(const relay_direction &direction, const port &destination,
                         fd_set &writable);
// Writes what is held once a descriptor of `writable` takes it, or tries
// the destination's open again once its lock wait is due, or gives the
// chunk up once the destination has taken nothing for a second.
void relay_resume(const relay_direction &direction, port &source, port &destination,
                  const fd_set &writable);
// The last client of a channel let go of its terminals (a pseudo-terminal
// direction): what they still hold goes to the modem, and the modem port
// closes, so that its late answers reach no later client.
void relay_session_end(const relay_direction &direction, port &source, port &destination);
