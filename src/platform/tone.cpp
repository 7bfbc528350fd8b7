#include "platform/tone.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include <alsa/asoundlib.h>

namespace {

// Amplitude well below full scale: a warning tone, not a siren.
constexpr double kAmplitude = 12000.0;
// Samples written per ALSA call: 50 ms.
constexpr size_t kBlock = kToneSampleRate / 20;

void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void QuietAlsaOnce() {
    // A machine without sound would otherwise print ALSA's complaints on every tone.
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&SilentAlsaErrors); });
}

void SleepUntil(std::chrono::steady_clock::time_point end) {
    std::this_thread::sleep_until(end);
}

}  // namespace

void FillSineWave(int16_t* out, size_t count, uint32_t frequencyHz, uint32_t sampleRate,
                  uint64_t first) {
    const double step = 2.0 * M_PI * static_cast<double>(frequencyHz) / sampleRate;
    for (size_t i = 0; i < count; ++i) {
        // step * sampleRate is a whole number of turns, so the wave repeats every
        // sampleRate samples; reducing the sample number keeps the phase exact however long
        // the tone.
        const double phase = step * static_cast<double>((first + i) % sampleRate);
        out[i] = static_cast<int16_t>(std::lround(kAmplitude * std::sin(phase)));
    }
}

void SoundTone::Tone(uint32_t frequencyHz, uint32_t durationMs) {
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(durationMs);
    m_lastAudible = false;
    if (durationMs == 0)
        return;
    QuietAlsaOnce();
    snd_pcm_t* pcm = nullptr;
    if (frequencyHz == 0 || frequencyHz >= kToneSampleRate / 2 ||
        snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        SleepUntil(end);
        return;
    }
    bool ok = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                 kToneSampleRate, 1, 100000) >= 0;
    const uint64_t total = static_cast<uint64_t>(kToneSampleRate) * durationMs / 1000;
    std::vector<int16_t> block(kBlock);
    uint64_t written = 0;
    while (ok && written < total) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, total - written));
        FillSineWave(block.data(), n, frequencyHz, kToneSampleRate, written);
        size_t done = 0;
        while (ok && done < n) {
            snd_pcm_sframes_t r = snd_pcm_writei(pcm, block.data() + done, n - done);
            if (r < 0)
                r = snd_pcm_recover(pcm, static_cast<int>(r), 1);
            if (r < 0)
                ok = false;
            else
                done += static_cast<size_t>(r);
        }
        written += done;
    }
    if (ok) {
        snd_pcm_drain(pcm);
        m_lastAudible = true;
    }
    snd_pcm_close(pcm);
    // A device that failed part way, or played faster than real time, is topped up with
    // silence so the tone always lasts its length.
    SleepUntil(end);
}

ToneOutput& DefaultToneOutput() {
    static SoundTone tone;
    return tone;
}
