#include "effect_streams.h"

#include <algorithm>
#include <cmath>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "host/load.h"
#include "host/playback.h"
#include "host/song_walk.h"

namespace {

constexpr double kMostSeconds = 30 * 60; // a song that never repeats is measured this long

// Two losses closer than this are as good: the higher stream is kept.
constexpr double kSameLoss = 1e-9;

bool changed(const MixerState& a, const MixerState& b, std::size_t s) {
    return a.position[s] != b.position[s] || a.step[s] != b.step[s] || a.running[s] != b.running[s] ||
           a.end[s] != b.end[s] || a.nibble[s] != b.nibble[s];
}

} // namespace

SongStreams measureStreams(const std::vector<std::uint8_t>& rom, std::uint8_t number, int rate,
                           double longestEffect) {
    SongStreams out;
    out.callSeconds = double(kStepsPerCall) / rate;
    loadIntoEngine(rom);
    const SongLength length = measureSong(number, std::uint64_t(kMostSeconds * rate / kStepsPerCall));
    loadIntoEngine(rom);
    const std::uint64_t once =
        length.repeats ? length.onceThroughCalls : std::uint64_t(kMostSeconds * rate / kStepsPerCall);
    // Past the once-through: the repeat, long enough for the longest effect and the next notes; or, for
    // a song that ends, silence.
    const auto effectCalls = static_cast<std::uint64_t>(std::ceil(longestEffect / out.callSeconds)) + 1;
    const std::uint64_t after = length.ends ? effectCalls : std::max(effectCalls, length.passCalls);
    out.calls = static_cast<std::size_t>(once);
    for (auto& v : out.sounds)
        v.reserve(once + after);

    Playback playback;
    playback.start(number);
    std::uint8_t block[kStepsPerCall];
    for (std::uint64_t call = 0; call < once + (length.ends ? 0 : after); ++call) {
        timer0_isr(block, kStepsPerCall); // as Playback renders: 13 steps, then the sequencer's call
        const MixerState before = snapshotMixer();
        const bool newTick = subTick >= durationTick;
        const std::uint8_t lineTick = tick;
        std::uint8_t cells[kLineBytes];
        imageBytes(rowPosition(Pattern, Line), cells, kLineBytes);
        songTick();
        const MixerState after_ = snapshotMixer();
        for (std::size_t s = 0; s < kStreams; ++s) {
            const bool note = newTick && lineTick == 0 && cellSample(cells[kCellBytes * s + kCellHead]) != 0;
            out.sounds[s].push_back(before.running[s] != 0);
            out.notes[s].push_back(note);
            out.touches[s].push_back(note || changed(before, after_, s));
        }
    }
    for (std::size_t s = 0; s < kStreams; ++s) {
        if (length.ends) {
            out.sounds[s].resize(once + after, 0);
            out.notes[s].resize(once + after, 0);
            out.touches[s].resize(once + after, 0);
        }
        std::size_t sounding = 0;
        for (std::size_t c = 0; c < out.calls; ++c)
            sounding += out.sounds[s][c];
        out.music[s] = out.calls > 0 ? double(sounding) / double(out.calls) : 0;
    }
    resetEngine();
    return out;
}

double expectedLoss(const SongStreams& song, std::size_t stream, double seconds) {
    const std::vector<std::uint8_t>& sounds = song.sounds[stream];
    const std::vector<std::uint8_t>& notes = song.notes[stream];
    const std::vector<std::uint8_t>& touches = song.touches[stream];
    const std::size_t n = sounds.size();
    if (song.calls == 0 || n == 0) return 0;
    // Backwards: the next call after which a note starts or the song touches the stream, and the calls
    // the song sounds from each call on.
    std::vector<std::size_t> soundsFrom(n + 1, 0);
    for (std::size_t c = n; c-- > 0;)
        soundsFrom[c] = soundsFrom[c + 1] + sounds[c];
    std::size_t nextNote = n - 1, nextTouch = n - 1; // none: as if at the end
    double sum = 0;
    const double effectCalls = seconds / song.callSeconds;
    for (std::size_t c = n; c-- > 0;) {
        if (notes[c]) nextNote = c;
        if (touches[c]) nextTouch = c;
        if (c >= song.calls) continue;
        // Started before call c's steps: the song's sound is lost up to and including the call after
        // which its next note starts; the effect plays whole until the song touches its stream.
        const double musicLost = double(soundsFrom[c] - soundsFrom[nextNote + 1]);
        const double effectLost = std::max(0.0, effectCalls - double(nextTouch - c + 1));
        sum += musicLost + effectLost;
    }
    return sum / double(song.calls) * song.callSeconds;
}

std::uint8_t bestStream(const std::vector<const SongStreams*>& songs, double seconds) {
    std::uint8_t best = kStreams - 1;
    double least = 0;
    for (std::size_t s = kStreams; s-- > 0;) {
        double loss = 0;
        for (const SongStreams* song : songs)
            loss += expectedLoss(*song, s, seconds);
        if (s == kStreams - 1 || loss < least - kSameLoss) best = static_cast<std::uint8_t>(s), least = loss;
    }
    return best;
}
