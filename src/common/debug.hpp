#pragma once

#include <cstdint>

// Debug mask, set once from the command line before the event loop starts.
extern std::int32_t debug_mask;

constexpr std::int32_t DEBUG_CTRL = 1;  // data of the ctrl channel
constexpr std::int32_t DEBUG_AUDIO = 2; // data of the audio channel
constexpr std::int32_t DEBUG_PORTS = 4; // every port open and close

// The mask an option's text gives: a decimal number after optional white
// space and sign, read up to the first other character, clamped to 32 bits;
// no number gives 0.
[[nodiscard]] std::int32_t parse_mask(const char *text);
