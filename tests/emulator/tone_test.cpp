#include "tone.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

std::vector<int> decode_le(const audio_frame &f) {
    std::vector<int> s;
    for (std::size_t i = 0; i + 1 < f.size(); i += 2) {
        auto u = static_cast<std::uint16_t>(f[i] | (f[i + 1] << 8));
        s.push_back(static_cast<std::int16_t>(u));
    }
    return s;
}

TEST(Tone, ConsecutiveFramesAreOneContinuousLittleEndianSine) {
    std::uint64_t sample = 0;
    std::vector<int> all;
    for (int n = 0; n < 3; ++n) {
        audio_frame f;
        tone_frame(sample, f);
        std::vector<int> s = decode_le(f);
        all.insert(all.end(), s.begin(), s.end());
    }
    EXPECT_EQ(sample, 3u * frame_samples);
    const double step = 2.0 * M_PI * tone_hz / audio_rate;
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_NEAR(all[i], tone_amplitude * std::sin(step * static_cast<double>(i)), 1.0)
            << "sample " << i;
    }
}

TEST(Tone, PhaseStaysExactLateInALongCall) {
    // Ten hours of samples: an accumulating phase would have drifted by now.
    std::uint64_t sample = 36000ull * audio_rate + 2;
    audio_frame f;
    tone_frame(sample, f);
    std::vector<int> s = decode_le(f);
    EXPECT_EQ(s[0], tone_amplitude); // a quarter period of 1 kHz at 8 kHz
    EXPECT_EQ(s[4], -tone_amplitude);
}

} // namespace
