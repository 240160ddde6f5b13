#pragma once

#include <array>
#include <cstdint>

// Audio of the modem: 8 kHz, 16-bit signed little-endian, mono, 20 ms frames.
inline constexpr int AUDIO_RATE = 8000;
inline constexpr int FRAME_MS = 20;
inline constexpr int FRAME_SAMPLES = AUDIO_RATE * FRAME_MS / 1000;
inline constexpr int FRAME_BYTES = FRAME_SAMPLES * 2;

inline constexpr int TONE_HZ = 1000;
inline constexpr int TONE_AMPLITUDE = 16384; // -6 dBFS

using audio_frame = std::array<unsigned char, FRAME_BYTES>;

// Next frame of the test tone; sample counts the samples made so far, so
// consecutive frames continue the sine without a phase jump.
void tone_frame(std::uint64_t &sample, audio_frame &frame);
