#include "platform/tone.h"

#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/test_support.h"

namespace {

// Sign changes from negative to non-negative: one per period of the sine.
size_t RisingCrossings(const std::vector<int16_t>& samples) {
    size_t crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0)
            ++crossings;
    }
    return crossings;
}

TEST(FillSineWave, HasTheRequestedFrequencyAndASafeAmplitude) {
    for (uint32_t hz : {2000u, 3000u, 440u}) {
        std::vector<int16_t> second(kToneSampleRate);
        FillSineWave(second.data(), second.size(), hz, kToneSampleRate, 0);
        const size_t crossings = RisingCrossings(second);
        EXPECT_GE(crossings + 1, hz) << hz;
        EXPECT_LE(crossings, hz + 1) << hz;
        int peak = 0;
        for (int16_t s : second)
            peak = std::max(peak, std::abs(static_cast<int>(s)));
        EXPECT_GT(peak, 8000) << hz;
        EXPECT_LT(peak, 32767) << hz;
        EXPECT_EQ(second[0], 0);
    }
}

TEST(FillSineWave, BlocksJoinWithoutAJump) {
    std::vector<int16_t> whole(4800);
    FillSineWave(whole.data(), whole.size(), 3000, kToneSampleRate, 0);
    std::vector<int16_t> parts(4800);
    FillSineWave(parts.data(), 1234, 3000, kToneSampleRate, 0);
    FillSineWave(parts.data() + 1234, 4800 - 1234, 3000, kToneSampleRate, 1234);
    EXPECT_EQ(whole, parts);
}

TEST(SoundTone, LastsItsLengthWithOrWithoutASoundDevice) {
    SoundTone tone;
    for (uint32_t hz : {3000u, 0u}) {
        const auto start = std::chrono::steady_clock::now();
        tone.Tone(hz, 200);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(200)) << hz;
        // Generous: a loaded machine or a slow device may add some time, never seconds.
        EXPECT_LT(took, std::chrono::milliseconds(3000)) << hz;
    }
    const auto start = std::chrono::steady_clock::now();
    tone.Tone(3000, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(tone.lastToneAudible());
}

}  // namespace
