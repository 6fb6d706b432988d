#include "effect_streams.h"

#include <algorithm>
#include <cmath>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "host/load.h"
#include "walk/song_walk.h"

namespace {

// Two losses closer than this are as good: the higher stream is kept.
constexpr double kSameLoss = 1e-9;

bool changed(const MixerState& a, const MixerState& b, std::size_t s) {
    return a.position[s] != b.position[s] || a.step[s] != b.step[s] || a.running[s] != b.running[s] ||
           a.end[s] != b.end[s] || a.nibble[s] != b.nibble[s];
}

// Per call of the song, a bit per stream: it sounds (bits 0-3), a note starts on it after the call
// (bits 4-7), the song touches it after the call (bits 8-11).
using CallFlags = std::uint16_t;
constexpr unsigned kNoteBit = 4, kTouchBit = 8;

// The expected seconds lost when an effect of `seconds` starts on `stream` at a call of the once-through
// taken at random.
double expectedLoss(const std::vector<CallFlags>& calls, std::size_t once, std::size_t stream, double seconds,
                    double callSeconds) {
    const std::size_t n = calls.size();
    if (once == 0 || n == 0) return 0;
    const auto bit = [&](std::size_t c, unsigned b) { return (calls[c] >> (b + stream) & 1u) != 0; };
    // Backwards: the next call after which a note starts or the song touches the stream, and the calls
    // the song sounds from each call on.
    std::vector<std::uint32_t> soundsFrom(n + 1, 0);
    for (std::size_t c = n; c-- > 0;)
        soundsFrom[c] = soundsFrom[c + 1] + (bit(c, 0) ? 1u : 0u);
    std::size_t nextNote = n - 1, nextTouch = n - 1; // none: as if at the end
    double sum = 0;
    const double effectCalls = seconds / callSeconds;
    for (std::size_t c = n; c-- > 0;) {
        if (bit(c, kNoteBit)) nextNote = c;
        if (bit(c, kTouchBit)) nextTouch = c;
        if (c >= once) continue;
        // Started before call c's steps: the song's sound is lost up to and including the call after
        // which its next note starts; the effect plays whole until the song touches its stream.
        const double musicLost = double(soundsFrom[c] - soundsFrom[nextNote + 1]);
        const double effectLost = std::max(0.0, effectCalls - double(nextTouch - c + 1));
        sum += musicLost + effectLost;
    }
    return sum / double(once) * callSeconds;
}

// Each call's flags, as the song plays with its sound.
struct StreamFlags : WalkVisitor {
    std::vector<CallFlags>& calls;
    MixerState before; // the mixer after the call's steps, before the sequencer's call

    explicit StreamFlags(std::vector<CallFlags>& c) : calls(c) {}
    void steps(const std::uint8_t*) { before = snapshotMixer(); }
    bool call(const WalkCall& c, const SongLines&) {
        std::uint8_t cells[kLineBytes];
        imageBytes(rowPosition(c.order, c.line), cells, kLineBytes);
        const MixerState after = snapshotMixer();
        CallFlags flags = 0;
        for (std::size_t s = 0; s < kStreams; ++s) {
            const bool note = c.tick && c.lineTick == 0 && cellSample(cells[kCellBytes * s + kCellHead]) != 0;
            flags = static_cast<CallFlags>(flags | (before.running[s] != 0 ? 1u << s : 0u) |
                                           (note ? 1u << (kNoteBit + s) : 0u) |
                                           (note || changed(before, after, s) ? 1u << (kTouchBit + s) : 0u));
        }
        calls.push_back(flags);
        return true;
    }
};

} // namespace

SongStreams measureStreams(const std::vector<std::uint8_t>& rom, std::uint8_t number, int rate,
                           const std::vector<double>& effectSeconds) {
    SongStreams out;
    const double callSeconds = double(kStepsPerCall) / rate;
    const std::uint64_t capCalls = longestSongCalls(rate);
    loadIntoEngine(rom);
    const EngineSnapshot start = songStart(number);
    const SongLength length = walkSong(start, capCalls);
    const std::uint64_t once = length.repeats ? length.onceThroughCalls : capCalls;
    double longest = 0;
    for (const double s : effectSeconds)
        longest = std::max(longest, s);
    // Past the once-through: the repeat, long enough for the longest effect and the next notes; or, for
    // a song that ends, silence.
    const auto effectCalls = static_cast<std::uint64_t>(std::ceil(longest / callSeconds)) + 1;
    const std::uint64_t after = length.ends ? effectCalls : std::max(effectCalls, length.passCalls);
    std::vector<CallFlags> calls;
    calls.reserve(once + after);
    StreamFlags flags(calls);
    walkSong(start, {once + (length.ends ? 0 : after), true, true}, flags);
    resetEngine();
    if (length.ends) calls.resize(once + after, 0);
    out.calls = static_cast<std::size_t>(once);
    for (std::size_t s = 0; s < kStreams; ++s) {
        std::size_t sounding = 0;
        for (std::size_t c = 0; c < out.calls; ++c)
            sounding += calls[c] >> s & 1u;
        out.music[s] = out.calls > 0 ? double(sounding) / double(out.calls) : 0;
    }
    for (const double seconds : effectSeconds) {
        std::array<double, kStreams> loss{};
        for (std::size_t s = 0; s < kStreams; ++s)
            loss[s] = expectedLoss(calls, out.calls, s, seconds, callSeconds);
        out.loss.push_back(loss);
    }
    return out;
}

std::uint8_t bestStream(const std::vector<const SongStreams*>& songs, std::size_t effect) {
    std::uint8_t best = kStreams - 1;
    double least = 0;
    for (std::size_t s = kStreams; s-- > 0;) {
        double loss = 0;
        for (const SongStreams* song : songs)
            if (effect < song->loss.size()) loss += song->loss[effect][s];
        if (s == kStreams - 1 || loss < least - kSameLoss) best = static_cast<std::uint8_t>(s), least = loss;
    }
    return best;
}
