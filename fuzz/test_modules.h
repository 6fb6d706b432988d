// Small tracker modules built in code: MODs of any layout (31 or 15 samples, any tag, 4 channels or n for
// an nCHN tag, any header values), and tiny S3M, XM and IT songs. The import fuzzer's seeds and the
// import tests use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ModSampleLayout {
    std::string name;
    std::uint16_t words = 0; // length in 2-byte words; the data is a triangle wave
    std::uint8_t finetune = 0, volume = 64;
    std::uint16_t loopStart = 0, loopWords = 1; // as stored: words (bytes in a 15-sample song)
};

// One cell of a MOD pattern.
struct ModCellLayout {
    std::size_t pattern = 0, row = 0, channel = 0;
    std::uint8_t sample = 0;
    std::uint16_t period = 0;
    std::uint8_t effect = 0, param = 0;
};

struct ModLayout {
    std::string title = "test module";
    std::string tag = "M.K.";             // 4 characters ("8CHN": 8 channels); "" for 15 samples, untagged
    std::vector<ModSampleLayout> samples; // slot 1 first; the rest of the slots are empty
    std::uint8_t length = 1, restart = 0;
    std::vector<std::uint8_t> orders{0}; // the first entries of the 128; the rest are 0
    std::size_t patterns = 1;            // patterns stored
    std::vector<ModCellLayout> cells;    // the rest of every pattern is empty
};

// The MOD file a layout describes.
std::vector<std::uint8_t> buildMod(const ModLayout& layout);

// A two-sample, two-pattern M.K. song with notes on every channel, a loop and a few commands.
ModLayout smallModLayout();

// The channels of a MOD: n for an "nCHN" tag, else 4.
std::size_t modChannels(const ModLayout& layout);

// One-pattern songs with two samples (one looped) and notes on two channels.
std::vector<std::uint8_t> tinyS3m();
// The XM at `bpm` and `speed` (ticks per row).
std::vector<std::uint8_t> tinyXm(unsigned bpm = 125, unsigned speed = 6);
std::vector<std::uint8_t> tinyIt();

// One command of an S3M or IT pattern, by its letter (B: position jump, C: pattern break, S: extended).
struct LetterCommand {
    std::size_t pattern = 0, row = 0, channel = 0;
    char letter = 'A';
    std::uint8_t param = 0;
};

// An S3M (or, with `it`, an IT) song of four channels at speed 6 and 125 BPM: `patterns` patterns of 64
// rows, each starting a looped triangle note on channel 0, played in the order `orders`, with `commands`.
std::vector<std::uint8_t> letterSong(bool it, std::size_t patterns, const std::vector<std::uint8_t>& orders,
                                     const std::vector<LetterCommand>& commands);

// An XM song of four channels at speed 6 and 125 BPM, laid out as letterSong's, each command's letter the
// hex digit of its effect (B: position jump, D: pattern break, E: extended), saved (by its header's
// tracker field) by `tracker`: "FastTracker v2.00", "MilkyTracker 1.00", "OpenMPT 1.31", ...
std::vector<std::uint8_t> letterXm(std::size_t patterns, const std::vector<std::uint8_t>& orders,
                                   const std::vector<LetterCommand>& commands,
                                   const char* tracker = "nibplay");

// An IT song of up to 64 channels. With instruments, instrument i plays sample i (from 1) on every key,
// through its volume envelope if it has one; without, the song is in sample mode.
struct ItSampleLayout {
    std::string name;
    std::uint32_t frames = 2048;
    bool loops = true;        // the whole sample
    std::uint32_t cycle = 32; // frames per cycle of its triangle wave; 0: a noise burst that decays
    std::uint8_t globalVolume = 64, volume = 64;
};

struct ItInstrumentLayout {
    std::string name;
    std::uint8_t globalVolume = 128;
    // (tick, level 0-64) nodes; none: no volume envelope. The last node is held (a sustain point).
    std::vector<std::pair<std::uint16_t, std::uint8_t>> envelope;
    std::uint8_t randomVolume = 0; // each note's volume varied at random by up to this percent (0-100)
};

struct ItNoteLayout {
    std::size_t pattern = 0, row = 0, channel = 0;
    std::uint8_t note = 60;      // 0-119 (60: C-5); 255: note off
    std::uint8_t instrument = 1; // an instrument, or a sample in sample mode (from 1)
    std::uint8_t volume = 255;   // 0-64; 255: the sample's own
};

struct ItLayout {
    std::string title = "test it";
    std::size_t channels = 8;
    std::uint8_t speed = 6, tempo = 125, globalVolume = 128, mixVolume = 48;
    std::vector<ItSampleLayout> samples;
    std::vector<ItInstrumentLayout> instruments; // none: sample mode
    std::size_t patterns = 1;                    // of 64 rows
    std::vector<std::uint8_t> orders{0};
    std::vector<ItNoteLayout> notes;
};

// The IT file a layout describes.
std::vector<std::uint8_t> buildIt(const ItLayout& layout);

// A large XM: `channels` channels, `orders` order positions each naming its own pattern of `rows` rows,
// and a note in every cell (3 bytes packed): 64, 256, 256 make 12.6 MB.
std::vector<std::uint8_t> denseXm(unsigned channels, unsigned orders, unsigned rows);
