// A game's sound bank: up to four songs and a few sound effects in one ROM image. The songs go through the
// import's pipeline (load, capture, voices, samples, compile) and share the image's 14 sample entries a
// cell can name and its 32 KB; the effects take entry 0, which no cell can name, and then entries from
// the top of the 14, each stored so that a tone plays it at its recorded pitch.
//
// Sharing:
//   - A sample that sounds the same in several songs is stored once: the same length and loop, and frames
//     that differ by less than a quarter of a 4-bit level (RMS) before resampling. It is resampled once, for
//     where all the songs together play it most.
//   - When the songs need more entries than there are, the samples heard least across the bank (seconds
//     heard, weighted by volume, summed over the songs) are left out; each song's block names what it lost.
//   - Space: every song keeps the least compact form that fits while the samples keep what they need an
//     octave below their best rates; when they do not all fit, the song taking the most bytes takes the
//     import's next step of compactness, again and again. As the import does, the bank is laid out leaving
//     the samples three amounts of room and, where those differ, every song is rendered and the layout whose
//     songs are closest to their modules on average is kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "effects.h"
#include "loss.h"
#include "measure/measure.h"
#include "rom/signature.h"
#include "sample_facts.h"

constexpr std::size_t kBankSongs = 4;
// Effects a bank holds: entry 0 and up to seven of the 14, so that the songs keep at least seven.
constexpr std::size_t kBankEffects = 8;

struct BankSongInput {
    std::string name;                // the file's name, for the report
    std::vector<std::uint8_t> bytes; // a module, or a ROM image whose song 0 the bank takes
    bool rom = false;                // `bytes` are a ROM image
    int romRate = kDefaultRate;      // the rate the ROM was made for
    std::string title{};             // the name the game knows it by; empty: the module's title
    bool once = false;               // the song ends on silence after one pass, as a jingle
};

struct BankOptions {
    int rate = kDefaultRate;
    bool measure = true; // measure every song's fidelity to its module
};

struct BankSong {
    std::string name, title, format; // title: the name given, else the module's
    std::string moduleTitle;
    std::vector<Loss> losses;        // what the import gave up for this song, and what the bank cost it
    std::vector<std::string> report; // their lines
    std::vector<int> entries;        // the table entries its cells name
    std::uint32_t address = 0;       // its data in the image
    std::size_t bytes = 0;           // order list and patterns
    double moduleSeconds = 0, romSeconds = 0;
    int channels = 0;
    bool measured = false;
    Fidelity fidelity;
    bool ends = false;       // it ends on silence after one pass
    std::uint64_t calls = 0; // songTick calls after playSong once through (for a song that ends: until
                             // its streams stop); 0 for a song that never repeats
    std::vector<EffectStream> streams; // per effect: the stream to start it on during this song
};

struct BankEffect {
    std::string name;
    int entry = 0;
    std::uint8_t tone = 20;
    double seconds = 0;
    std::size_t bytes = 0;
    EffectStream stream{}; // the stream to start it on whatever song plays (music: the songs' mean share)
};

struct BankResult {
    std::vector<std::uint8_t> rom; // 32768 bytes, with the signature naming songs and effects
    int rate = kDefaultRate;
    std::vector<BankSong> songs;
    std::vector<BankEffect> effects;
    std::vector<Loss> samplesLosses;        // the shared samples' losses (rates, lengths)
    std::vector<std::string> samplesReport; // their lines
    std::vector<std::string> effectsReport;
    std::size_t sharedSamples = 0; // samples stored once for several songs
    std::size_t songEntries = 0;   // entries the songs' samples and offsets take
    std::size_t songBytes = 0, sampleBytes = 0, signatureBytes = 0;
    std::vector<SampleFacts> samples; // every song's samples: what became of each
};

// Builds a bank. False, with one line in `error` naming the song, for a song that cannot be imported or a
// bank that does not fit.
bool buildBank(const std::vector<BankSongInput>& songs, const std::vector<EffectRecording>& effects,
               const BankOptions& options, BankResult& result, std::string& error);
