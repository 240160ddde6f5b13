#pragma once

#include <array>
#include <cstdint>

// Audio of the modem: 8 kHz, 16-bit signed little-endian, mono, 20 ms frames.
inline constexpr int audio_rate = 8000;
inline constexpr int frame_ms = 20;
inline constexpr int frame_samples = audio_rate * frame_ms / 1000;
inline constexpr int frame_bytes = frame_samples * 2;

inline constexpr int tone_hz = 1000;
inline constexpr int tone_amplitude = 16384; // -6 dBFS

using audio_frame = std::array<unsigned char, frame_bytes>;

// Next frame of the test tone; sample counts the samples made so far, so
// consecutive frames continue the sine without a phase jump.
void tone_frame(std::uint64_t &sample, audio_frame &frame);
