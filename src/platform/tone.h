#pragma once

#include <cstddef>
#include <cstdint>

// Plays a tone of a frequency and a duration, returning when it has sounded. The beep
// thread is its only caller; tests replace it with a recording fake.
class ToneOutput {
public:
    virtual ~ToneOutput() = default;
    // Sounds `frequencyHz` for `durationMs` and returns after about that time. Calling thread.
    virtual void Tone(uint32_t frequencyHz, uint32_t durationMs) = 0;
};

// The real tone: a sine wave on the default sound device. When no device opens (or one
// fails while playing) the rest of the tone is a silent wait of the same length, so
// callers see the same timing either way. Any one thread at a time.
class SoundTone : public ToneOutput {
public:
    void Tone(uint32_t frequencyHz, uint32_t durationMs) override;
    // True when the last Tone reached a sound device (tests and diagnostics).
    bool lastToneAudible() const { return m_lastAudible; }

private:
    bool m_lastAudible = false;
};

// The process-wide real tone. Any thread.
ToneOutput& DefaultToneOutput();

// Sample rate of the sine wave.
constexpr uint32_t kToneSampleRate = 48000;

// Writes `count` samples of a full-scale-safe 16-bit sine of `frequencyHz` at `sampleRate`,
// starting at sample number `first` (so consecutive blocks join without a click).
void FillSineWave(int16_t* out, size_t count, uint32_t frequencyHz, uint32_t sampleRate,
                  uint64_t first);
