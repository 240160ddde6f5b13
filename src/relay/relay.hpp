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
