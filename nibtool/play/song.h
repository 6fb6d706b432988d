// nibtool play's song: song 0 of a ROM image on the engine, handed out in device buffers of any size, with
// what the view shows of it. The engine is one per process; while a SongPlayer plays, it owns the engine,
// and every call into it must come from the audio thread or hold the audio device's lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "host/playback.h"
#include "host/song_walk.h"

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
};

// What the view shows, taken under the device lock.
struct PlayerState {
    SongPosition at;          // the line playing
    std::uint8_t pattern = 0; // the pattern at that order position
    std::uint8_t lineTicks = 0, tickCalls = 0;
    std::uint64_t playedBytes = 0; // song bytes played, pauses excluded
    bool paused = false, finished = false;
    std::array<ChannelState, kStreams> channels{};
    std::array<std::uint8_t, kPatternBytes> rows{}; // the playing pattern's lines
};

// What one walk through song 0 finds out.
struct SongFacts {
    std::vector<std::uint8_t> orders; // the order positions it plays, ascending
    std::uint64_t onceThroughBytes = 0;
    bool repeats = false; // false: it did not come back to a line within the cap
};

class SongPlayer {
  public:
    // How the song ends: after `bytes` song bytes when that is set, else once through (where `nibtool
    // render` ends it) unless `loop`.
    struct Ending {
        bool loop = false;
        std::uint64_t bytes = 0;
        int passes = 1; // times through, when neither of the others is set
    };
    SongPlayer(int rate, Ending ending);

    // The song of the image to play (0-3; nibplay's is 0), from the next load on.
    void setSong(std::uint8_t song) { song_ = song; }
    // Starts a sample entry over the song on the effects' stream, as a game plays an effect: stream 3,
    // which a song of fewer than four channels leaves free (the importer gives channels streams from 0
    // up); a note of the song on that stream cuts the effect, as on the target.
    void playEffect(std::uint8_t entry, std::uint8_t tone) { playSample(entry, kEffectStream, tone); }
    static constexpr std::uint8_t kEffectStream = 3;

    // Places a ROM file in the image and starts song 0. With `at`, goes on from where the song first
    // starts that line (or, failing that, that order position) as if it had played up to there.
    void load(const std::vector<std::uint8_t>& rom, const SongPosition* at = nullptr);

    // Writes the next `size` device bytes: the song's, or silence while paused and once it has ended.
    void fill(std::uint8_t* out, std::size_t size);

    // Moves to line 0 of the previous (-1) or next (+1) order position among those the song plays; back
    // from the first one restarts it. The song then ends where it next comes back to a line it played
    // since the move.
    void step(int direction);
    void setPaused(bool paused) { paused_ = paused; }
    bool paused() const { return paused_; }
    // Ends the song here, as its end would.
    void stop() { finished_ = true; }

    // The line playing: the order position and line the sequencer is at.
    SongPosition position() const;
    // The state for the view; the channels' levels start again from here.
    PlayerState look();
    const SongFacts& facts() const { return facts_; }
    bool finished() const { return finished_; }
    // Bytes handed to the device before the song ended: the song's and the pauses' silence.
    std::uint64_t deliveredBytes() const { return delivered_; }

  private:
    std::uint64_t walk(const SongPosition* at);
    bool advanceCall();
    void renderChunk();
    void restartEnding();
    std::uint64_t bytesLeft() const;

    int rate_;
    Ending ending_;
    std::uint8_t song_ = 0;
    Playback playback_;
    SongWalk lines_;    // which line each call starts, for the channels' notes
    SongPasses passes_; // where once through ends
    SongFacts facts_;
    std::uint8_t chunk_[kStepsPerCall] = {}; // one sequencer call's bytes, handed out in pieces
    std::size_t chunkUsed_ = 0, chunkSize_ = 0;
    std::uint64_t rendered_ = 0;  // song bytes rendered for the device
    std::uint64_t restartAt_ = 0; // rendered_ when the song last started or moved
    std::uint64_t played_ = 0, delivered_ = 0;
    bool endAfterChunk_ = false, paused_ = false, finished_ = false;
    std::array<ChannelState, kStreams> channels_{};
};
