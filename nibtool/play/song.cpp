#include "song.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "engine/sequencer.h"
#include "engine/state.h"
#include "host/load.h"

namespace {

// An offered version that has no state for the lines playing takes over after this many calls anyway.
constexpr std::uint64_t kOfferPatienceCalls = 400;

// How far a stream's current nibble swings from the middle, 0-8.
std::uint8_t streamLevel(std::uint8_t s) {
    if (getStreamRunning(s) == 0) return 0;
    const std::uint8_t byte = imageByte(AS[s]);
    const int nibble = getNibbleSelect(s) != 0 ? byte >> 4 : byte & 15;
    return static_cast<std::uint8_t>(nibble < 8 ? nibble : 16 - nibble);
}

} // namespace

SongPlayer::SongPlayer(Ending ending) : ending_(ending) {}

std::uint64_t SongPlayer::fixedBytes() const {
    if (ending_.bytes > 0) return ending_.bytes;
    return static_cast<std::uint64_t>(ending_.seconds * (song_ ? song_->rate : 0) + 0.5);
}

std::uint64_t SongPlayer::bytesLeft() const {
    if (const std::uint64_t fixed = fixedBytes(); fixed > 0) return fixed - std::min(fixed, rendered_);
    if (ending_.loop || (song_ && song_->preview)) return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t end = countsPasses() ? song_->facts.capCalls : song_->facts.callsFor(ending_.passes);
    return (end - std::min(end, songCall_)) * kStepsPerCall;
}

// Places the song's image and its state at `resume`: the song goes on from there on the next byte.
void SongPlayer::adopt(std::shared_ptr<const Playable> song, const Resume& resume) {
    const auto begin = std::chrono::steady_clock::now();
    loadIntoEngine(song->rom);
    restoreEngine(resume.state);
    playback_ = Playback();
    lines_ = SongLines();
    songCall_ = clockCall_ = resume.call;
    takenAt_ = resume.place;
    released_ = std::move(song_);
    song_ = std::move(song);
    takeoverMicros_ =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count();
}

void SongPlayer::start(std::shared_ptr<const Playable> song) {
    const Resume& resume = song->resumes.front();
    adopt(std::move(song), resume);
    offered_.reset();
    rendered_ = 0;
    chunkUsed_ = chunkSize_ = 0;
    moved_ = endAfterChunk_ = finished_ = false;
    channels_ = {};
    restartEnding();
    if (startEffect_ >= 0) {
        const auto entry = static_cast<std::uint8_t>(startEffect_);
        playEffect(entry, song_->effectTone(entry), song_->effectStream(entry));
    }
}

void SongPlayer::offer(std::shared_ptr<const Playable> song) {
    if (!song_) {
        start(std::move(song));
        return;
    }
    offered_ = std::move(song);
    offeredAtCall_ = songCall_;
}

// At a line start, the offered version takes over if it has a state for the place playing; after a
// while without one, at the first place it has. Returns where it took over, or null.
const Resume* SongPlayer::takeOffer() {
    const LineState& s = lines_.started();
    const Place here = song_->placeOf(s.order, s.line);
    const std::vector<Resume>& resumes = offered_->resumes;
    auto match =
        std::find_if(resumes.begin() + 1, resumes.end(), [&](const Resume& r) { return r.place == here; });
    if (match == resumes.end()) {
        if (songCall_ - offeredAtCall_ < kOfferPatienceCalls && !moved_) return nullptr;
        match = resumes.size() > 1 ? resumes.begin() + 1 : resumes.begin();
    }
    const Resume& resume = *match;
    std::shared_ptr<const Playable> song = std::move(offered_);
    adopt(std::move(song), resume);
    if (moved_) restartEnding(); // the ending stays the one a move set
    return &resume;
}

// One sequencer call's bytes into the chunk, then what the call did: a line started, a pass ended, how
// loud each stream is. Returns true if the call ended a pass.
bool SongPlayer::advanceCall() {
    playback_.render(chunk_, kStepsPerCall);
    ++songCall_;
    ++clockCall_;
    const bool started = lines_.afterCall();
    const bool passEnded = passes_.afterCall();
    if (started) {
        SongPosition at{lines_.started().order, lines_.started().line};
        if (offered_)
            if (const Resume* taken = takeOffer()) at = {taken->order, taken->line};
        if (const LineStart* first = song_->firstStart(at.order, at.line)) clockCall_ = first->call;
        const Position row = rowPosition(at.order, at.line);
        const LineOrigin* origin =
            at.order < song_->origins.size() && at.line < song_->origins[at.order].size()
                ? &song_->origins[at.order][at.line]
                : nullptr;
        for (std::uint8_t c = 0; c < kStreams; ++c) {
            channels_[c].moduleChannel = origin ? origin->channels[c] : -1;
            const Position cell = row + kCellBytes * c;
            const std::uint8_t sample = cellSample(imageByte(cell + kCellHead));
            if (sample == 0) continue;
            channels_[c].sample = sample;
            channels_[c].tone = imageByte(cell + kCellTone);
        }
    }
    for (std::uint8_t c = 0; c < kStreams; ++c)
        channels_[c].level = std::max(channels_[c].level, streamLevel(c));
    return countsPasses() && passEnded;
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
                                                   !ending_.loop && fixedBytes() == 0);
    }
    rendered_ += chunkSize_;
}

void SongPlayer::fill(std::uint8_t* out, std::size_t size) {
    for (;;) {
        if (finished_ && queued_) start(std::move(queued_));
        if (size == 0 || !song_ || finished_ || paused_) break;
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
    if (song_ && !finished_) delivered_ += size;
}

void SongPlayer::restartEnding() {
    passes_ = SongPasses();
    if (fixedBytes() == 0) endAfterChunk_ = false;
}

void SongPlayer::step(int direction) {
    if (!song_) return;
    // The order positions to move between: the module's for a module, the ROM's own for a ROM.
    std::vector<int> orders;
    for (const LineStart& s : song_->facts.lines)
        if (s.place.order >= 0) orders.push_back(s.place.order);
    std::sort(orders.begin(), orders.end());
    orders.erase(std::unique(orders.begin(), orders.end()), orders.end());
    if (orders.empty()) return;
    const int here = place().order;
    int target = orders.front();
    if (direction > 0) {
        const auto next = std::upper_bound(orders.begin(), orders.end(), here);
        if (next == orders.end()) return;
        target = *next;
    } else {
        const auto at = std::lower_bound(orders.begin(), orders.end(), here);
        if (at != orders.begin()) target = *(at - 1);
    }
    const LineStart* first = song_->find({target, -1});
    if (!first) return;
    // Line 0's first tick comes on the next call, from its start, as after a pattern break.
    seekSong({first->order, first->line, first->lineTicks, first->tickCalls, 0});
    lines_ = SongLines();
    songCall_ = first->call - 1;
    clockCall_ = songCall_;
    moved_ = true;
    restartEnding();
}

SongPosition SongPlayer::position() const {
    return {Pattern, Line};
}

Place SongPlayer::place() const {
    return song_ ? song_->placeOf(Pattern, Line) : Place{};
}

PlayerState SongPlayer::look(std::shared_ptr<const Playable>* released) {
    if (released) *released = std::move(released_);
    PlayerState state;
    state.playedBytes = played_;
    state.paused = paused_;
    state.finished = finished_;
    if (!song_) return state;
    state.playing = true;
    state.rate = song_->rate;
    state.number = song_->number;
    state.file = song_->file;
    state.song = song_.get();
    state.takenAt = takenAt_;
    state.title = song_->title;
    state.at = position();
    state.place = place();
    state.pattern = imageByte(PatternOrderTable + Pattern);
    state.lineTicks = durationLine;
    state.tickCalls = durationTick;
    state.moduleChannels = song_->channels;
    state.preview = song_->preview;
    state.songBytes = (song_->startCall + clockCall_) * kStepsPerCall;
    state.onceThroughBytes = song_->facts.callsFor(1) * kStepsPerCall;
    state.repeats = song_->facts.length.repeats;
    for (const LineStart& s : song_->facts.lines)
        state.lastOrder = std::max(state.lastOrder, s.place.order);
    for (std::uint8_t c = 0; c < kStreams; ++c) {
        state.channels[c] = channels_[c];
        state.channels[c].running = getStreamRunning(c) != 0;
        channels_[c].level = 0;
    }
    imageBytes(PatternOrderTable + songOffset(state.pattern), state.rows.data(), state.rows.size());
    return state;
}
