#include "tone.hpp"

#include <cmath>
#include <numbers>

void tone_frame(std::uint64_t &sample, audio_frame &frame) {
    for (std::size_t i = 0; i < frame_samples; ++i, ++sample) {
        // Phase from the sample index modulo the rate, so it stays exact for
        // any length of call.
        double phase = 2.0 * std::numbers::pi * tone_hz * static_cast<double>(sample % audio_rate) /
                       audio_rate;
        auto v = static_cast<std::int16_t>(std::lround(tone_amplitude * std::sin(phase)));
        auto u = static_cast<std::uint16_t>(v);
        // Little-endian whatever the host's byte order.
        frame[2 * i] = static_cast<unsigned char>(u & 0xff);
        frame[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
}
