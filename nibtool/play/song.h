// nibtool play's song: a prepared song (source.h) on the engine, handed out in device buffers of any size,
// with what the view shows of it. The engine is one per process; while a SongPlayer plays, it owns the
// engine, and every call into it must come from the audio thread or hold the audio device's lock. Nothing
// here prepares a song: a new one is taken over in the time it takes to place a ROM and restore a state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "host/playback.h"
#include "source.h"
#include "walk/song_walk.h"

constexpr std::uint8_t kSilence = 128;

// An order position and line of song 0.
struct SongPosition {
    std::uint8_t order = 0, line = 0;
};

struct ChannelState {
    std::uint8_t sample = 0; // the sample the channel's last note started; 0 before its first note
    std::uint8_t tone = 0;   // that note's tone
    bool running = false;    // whether the channel's stream sounds
    std::uint8_t level = 0;  // the loudest nibble read since the last look, 0-8
    int moduleChannel = -1;  // for a module: the module channel the stream plays in this line, or -1
};

// What the view shows, taken under the device lock.
struct PlayerState {
    bool playing = false;       // a song is loaded
    int rate = kDefaultRate;    // its rate
    std::uint8_t number = 0;    // the song of the image (0-3)
    std::size_t file = 0;       // which of the files named it is
    const void* song = nullptr; // which version of it plays (compared, never followed)
    Place takenAt;              // where that version took over
    std::string title;
    SongPosition at;          // the line playing
    std::uint8_t pattern = 0; // the pattern at that order position
    std::uint8_t lineTicks = 0, tickCalls = 0;
    Place place;                 // the module's order position and row (a ROM's order position and line)
    int moduleChannels = 0;      // the module's channels; 0 for a ROM
    int lastOrder = 0;           // the last order position (the module's, for a module) the song plays
    bool preview = false;        // a quick first import plays while the whole one is made
    std::uint64_t songBytes = 0; // the song's position in time, in bytes from its start
    std::uint64_t onceThroughBytes = 0;
    bool repeats = false;
    std::uint64_t playedBytes = 0; // song bytes played, pauses excluded
    bool paused = false, finished = false;
    std::array<ChannelState, kStreams> channels{};
    std::array<std::uint8_t, kPatternBytes> rows{}; // the playing pattern's lines
};

class SongPlayer {
  public:
    // How the song ends: after `bytes` song bytes (or `seconds` of song at its rate) when that is set,
    // else `passes` times through (where `nibtool render` ends it) unless `loop`.
    struct Ending {
        bool loop = false;
        std::uint64_t bytes = 0;
        double seconds = 0;
        int passes = 1;
    };
    explicit SongPlayer(Ending ending);

    // Plays `song` from its start, from the next byte on; the count of bytes played starts again.
    void start(std::shared_ptr<const Playable> song);
    // Offers another version of the song playing: it takes over at the next line start whose place it
    // has a state for (see addResumes), and past its window at the first place it has, after the start.
    void offer(std::shared_ptr<const Playable> song);
    bool offered() const { return offered_ != nullptr; }
    // The song to play when this one ends, straight after its last byte.
    void queue(std::shared_ptr<const Playable> song) { queued_ = std::move(song); }
    bool queued() const { return queued_ != nullptr; }
    // Starts a sample entry over the song, as a game plays an effect, on the stream the ROM gives it
    // (Playable::effectStream); a note of the song on that stream cuts the effect, as on the target.
    void playEffect(std::uint8_t entry, std::uint8_t tone, std::uint8_t stream) {
        playSample(entry, stream, tone);
    }
    // A sample entry started as an effect as each song begins (--sfx), at the tone its ROM names; -1: none.
    void setStartEffect(int entry) { startEffect_ = entry; }

    // Writes the next `size` device bytes: the song's, or silence while paused, before a song and once
    // it has ended.
    void fill(std::uint8_t* out, std::size_t size);

    // Moves to the first line of the previous (-1) or next (+1) order position among those the song
    // plays (a module's own order positions for a module); back from the first one restarts it. The song
    // then ends where it next comes back to a line it played since the move.
    void step(int direction);
    void setPaused(bool paused) { paused_ = paused; }
    // Loops the song for ever, or ends it as `ending` said, from now on.
    void setLoop(bool loop) { ending_.loop = loop; }
    bool paused() const { return paused_; }
    // Ends the song here, as its end would.
    void stop() { finished_ = true; }

    // The line playing and its place.
    SongPosition position() const;
    Place place() const;
    // The state for the view; the channels' levels start again from here. Gives back a song the player
    // has let go of, to be freed away from the audio thread.
    PlayerState look(std::shared_ptr<const Playable>* released = nullptr);
    const Playable* song() const { return song_.get(); }
    std::shared_ptr<const Playable> shared() const { return song_; }
    bool finished() const { return finished_; }
    // Bytes handed to the device for songs since the first started: the songs' and the pauses' silence.
    std::uint64_t deliveredBytes() const { return delivered_; }
    // How long the last takeover held the engine, in microseconds.
    double takeoverMicroseconds() const { return takeoverMicros_; }

  private:
    void adopt(std::shared_ptr<const Playable> song, const Resume& resume);
    const Resume* takeOffer();
    bool advanceCall();
    void renderChunk();
    void restartEnding();
    std::uint64_t bytesLeft() const;
    std::uint64_t fixedBytes() const; // the song's length when it is fixed, else 0
    // After a move the song ends where passes from there end; else where its walk found the passes end.
    bool countsPasses() const { return moved_; }

    Ending ending_;
    std::shared_ptr<const Playable> song_, offered_, queued_, released_;
    std::uint64_t offeredAtCall_ = 0;
    Playback playback_;
    SongLines lines_;                        // which line each call starts, for the channels' notes
    SongPasses passes_;                      // where the song ends after a move
    std::uint8_t chunk_[kStepsPerCall] = {}; // one sequencer call's bytes, handed out in pieces
    std::size_t chunkUsed_ = 0, chunkSize_ = 0;
    std::uint64_t rendered_ = 0;  // song bytes rendered for the device
    std::uint64_t songCall_ = 0;  // sequencer calls on the song's own course from its start
    std::uint64_t clockCall_ = 0; // the song's position in time, in calls
    std::uint64_t played_ = 0, delivered_ = 0;
    bool moved_ = false, endAfterChunk_ = false, paused_ = false, finished_ = false;
    double takeoverMicros_ = 0;
    int startEffect_ = -1;
    Place takenAt_;
    std::array<ChannelState, kStreams> channels_{};
};
