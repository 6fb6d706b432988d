#include "song.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "host/load.h"

namespace {

// A song that never comes back to a line ends after this long, where `nibtool render` ends it.
constexpr double kCapSeconds = 30 * 60;

// How far a stream's current nibble swings from the middle, 0-8.
std::uint8_t streamLevel(std::uint8_t s) {
    if (getStreamRunning(s) == 0) return 0;
    const std::uint8_t byte = imageByte(AS[s]);
    const int nibble = getNibbleSelect(s) != 0 ? byte >> 4 : byte & 15;
    return static_cast<std::uint8_t>(nibble < 8 ? nibble : 16 - nibble);
}

} // namespace

SongPlayer::SongPlayer(int rate, Ending ending) : rate_(rate), ending_(ending) {}

std::uint64_t SongPlayer::bytesLeft() const {
    if (ending_.bytes > 0) return ending_.bytes - rendered_;
    if (ending_.loop) return std::numeric_limits<std::uint64_t>::max();
    const auto cap = static_cast<std::uint64_t>(kCapSeconds * rate_);
    return cap - std::min(cap, rendered_ - restartAt_);
}

void SongPlayer::load(const std::vector<std::uint8_t>& rom, const SongPosition* at) {
    rendered_ -= chunkSize_ - chunkUsed_; // the old song's bytes not yet handed out are dropped
    loadIntoEngine(rom);
    const std::uint64_t calls = walk(at);
    resetEngine(); // the walk moved the song clock; the image and tables stay
    playback_ = Playback();
    playback_.start(song_);
    restartEnding();
    channels_ = {};
    for (std::uint64_t i = 0; i < calls; ++i)
        advanceCall();
    chunkUsed_ = chunkSize_ = 0;
}

// The sequencer alone decides the song's course (the mixer never feeds back into it), so the walk calls
// only the sequencer. Returns the calls after which `at` first starts, or 0.
std::uint64_t SongPlayer::walk(const SongPosition* at) {
    facts_ = {};
    songTick(); // primed as the playback loop starts it
    playSong(song_);
    SongWalk lines;
    SongPasses passes;
    bool played[256] = {};
    std::uint64_t calls = 0, lineCall = 0, orderCall = 0;
    const auto cap = static_cast<std::uint64_t>(kCapSeconds * rate_) / kStepsPerCall;
    while (calls < cap) {
        songTick();
        ++calls;
        if (lines.afterCall()) {
            const LineState& s = lines.started();
            played[s.order] = true;
            if (at && s.order == at->order) {
                if (orderCall == 0) orderCall = calls;
                if (lineCall == 0 && s.line == at->line) lineCall = calls;
            }
        }
        if (passes.afterCall()) {
            facts_.repeats = true;
            break;
        }
    }
    facts_.onceThroughBytes = calls * kStepsPerCall;
    for (int order = 0; order < 256; ++order)
        if (played[order]) facts_.orders.push_back(static_cast<std::uint8_t>(order));
    return lineCall != 0 ? lineCall : orderCall;
}

// One sequencer call's bytes into the chunk, then what the call did: a line started, a pass ended, how
// loud each stream is. Returns true if the call ended a pass.
bool SongPlayer::advanceCall() {
    playback_.render(chunk_, kStepsPerCall);
    if (lines_.afterCall()) {
        const LineState& s = lines_.started();
        const Position row = rowPosition(s.order, s.line);
        for (std::uint8_t c = 0; c < kStreams; ++c) {
            const Position cell = row + kCellBytes * c;
            const std::uint8_t sample = cellSample(imageByte(cell + kCellHead));
            if (sample == 0) continue;
            channels_[c].sample = sample;
            channels_[c].tone = imageByte(cell + kCellTone);
        }
    }
    for (std::uint8_t c = 0; c < kStreams; ++c)
        channels_[c].level = std::max(channels_[c].level, streamLevel(c));
    return passes_.afterCall();
}

// The next chunk for the device. A song with a fixed length or a cap ends inside a chunk: its last
// bytes are the first ones of a call, as the renderer writes them.
void SongPlayer::renderChunk() {
    const std::uint64_t left = bytesLeft();
    chunkUsed_ = 0;
    if (left < kStepsPerCall) {
        chunkSize_ = static_cast<std::size_t>(left);
        playback_.render(chunk_, chunkSize_);
        endAfterChunk_ = true;
    } else {
        chunkSize_ = kStepsPerCall;
        const bool passEnded = advanceCall();
        endAfterChunk_ = left == kStepsPerCall || (passEnded && passes_.count() >= ending_.passes &&
                                                   !ending_.loop && ending_.bytes == 0);
    }
    rendered_ += chunkSize_;
}

void SongPlayer::fill(std::uint8_t* out, std::size_t size) {
    while (size > 0 && !finished_ && !paused_) {
        if (chunkUsed_ == chunkSize_) renderChunk();
        const std::size_t n = std::min(size, chunkSize_ - chunkUsed_);
        std::memcpy(out, chunk_ + chunkUsed_, n);
        chunkUsed_ += n;
        out += n;
        size -= n;
        played_ += n;
        delivered_ += n;
        if (chunkUsed_ == chunkSize_ && endAfterChunk_) finished_ = true;
    }
    std::memset(out, kSilence, size);
    if (!finished_) delivered_ += size;
}

void SongPlayer::restartEnding() {
    lines_ = SongWalk();
    passes_ = SongPasses();
    restartAt_ = rendered_;
    if (ending_.bytes == 0) endAfterChunk_ = false;
}

void SongPlayer::step(int direction) {
    const std::vector<std::uint8_t>& orders = facts_.orders;
    std::uint8_t target = Pattern;
    if (direction > 0) {
        const auto next = std::upper_bound(orders.begin(), orders.end(), Pattern);
        if (next == orders.end()) return;
        target = *next;
    } else {
        const auto here = std::lower_bound(orders.begin(), orders.end(), Pattern);
        if (here != orders.begin()) target = *(here - 1);
    }
    // Line 0's first tick comes on the next call, from its start, as after a pattern break; the speeds
    // stay as they are.
    seekSong({target, 0, durationLine, durationTick, 0});
    restartEnding();
}

SongPosition SongPlayer::position() const {
    return {Pattern, Line};
}

PlayerState SongPlayer::look() {
    PlayerState state;
    state.at = position();
    state.pattern = imageByte(PatternOrderTable + Pattern);
    state.lineTicks = durationLine;
    state.tickCalls = durationTick;
    state.playedBytes = played_;
    state.paused = paused_;
    state.finished = finished_;
    for (std::uint8_t c = 0; c < kStreams; ++c) {
        state.channels[c] = channels_[c];
        state.channels[c].running = getStreamRunning(c) != 0;
        channels_[c].level = 0;
    }
    imageBytes(PatternOrderTable + songOffset(state.pattern), state.rows.data(), state.rows.size());
    return state;
}
