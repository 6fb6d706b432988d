// What an import changed or gave up, as facts: a record per kind of loss, which the report's lines are
// made from (report.h) and which tools read by kind rather than by their words (play's reload names what
// a file cut short has lost).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

enum class LossKind {
    Repair,         // the file was mended to load (a field out of range, an unknown tag): `text`
    FileCut,        // a file cut short, and what each part lost: `text`
    Timing,         // the module's timing read as the tracker that made it played it: `text`
    HiddenSongs,    // songs of the order list played after the first: `text`
    LengthCapped,   // the module did not repeat within the import's bounds: `text`
    RomSong,        // a bank's song taken from a ROM image: `text`
    PartMeasured,   // the fidelity measured on the song's start only: `text`
    ShortTicks,     // ticks shorter than the engine's shortest: `text`
    NotesLeftOut,   // notes the four streams could not play: `count` of `of`, `channels`
    SamplesUnnamed, // samples past the entries a ROM names: `samples` (notes, first heard), `count` entries
    BankSamplesUnnamed, // a bank's song's samples left out: `samples` (seconds heard, first heard), `count`
                        // entries
    RatesLowered,       // samples stored at a lower rate: `samples` (semitones, the band kept and needed)
    SamplesShortened,   // samples or loops kept in part: `samples` (percent kept, `how`)
    SamplesDropped,     // samples left out to fit: `samples` (notes, first heard)
    OffsetsFromStart,   // notes from a sample offset with no entry left: `count`
    CommandsDropped,    // note cuts, delays or resumes whose cell a control took: `count`
    PatternsShared,     // a pattern played again replays its first playing
    RowsShared,         // `count` rows a line; `of` notes that followed another within them were dropped
    PatternsReplaced,   // `count` order positions playing an earlier pattern's notes: `orders`
    SongCut,            // only the song's first `from` s of `to` are kept, up to order position `count`
    BankSongCut,        // the same, for a bank's song beside the others
    SamplesUnheard,     // samples the module plays that the ROM never sounds: `samples` (first heard, `how`)
    SilentSpan,   // the ROM silent from `from` to `to` s where the module sounds: `samples` playing there
    SecondLevels, // samples stored at a second level too: `samples` (the level in percent of the usual,
                  // `how`)
};

// Why the ROM never sounds a sample the module plays.
enum class Unheard {
    Streams,     // its notes were left out: the four streams played other channels
    Lines,       // its notes were dropped from the song's lines
    BelowVolume, // its notes are quieter than the engine, which has no volume, can play
    FourBits,    // it would be silence in 4 bits beside the loudest samples
};

// What of a shortened sample is kept.
enum class Kept {
    Start,            // its first part (it has no loop)
    Loop,             // the first part of its loop
    StartWithoutLoop, // its first part, its loop left out
};

// One sample a loss concerns.
struct SampleLoss {
    std::string label;       // as the report names it: `sample 3 "Bass"`, with its instrument or song
    int number = 0;          // its number in the module (a bank's: in its song), from 1
    std::string name;        // its name as the label shows it, "" when it shows none
    int song = -1;           // a bank's song it is in, -1 in an import
    int instrument = 0;      // the instrument that plays it, 0 when it is not told
    int entry = 0;           // the table entry it went to, 0 if none
    double amount = 0;       // semitones lowered, percent kept, notes or seconds heard (by the loss's kind)
    double firstHeard = -1;  // seconds into the song where the module first plays it; -1 if not told
    double keptHz = 0;       // a lowered rate: the highest frequency its most played notes keep, in Hz
    double neededHz = 0;     // ... and where its sound reaches (the kept band is enough when not below)
    double outputHz = 0;     // ... and the output rate
    Kept kept = Kept::Start; // shortened: what of it
    Unheard unheard = Unheard::Streams; // unheard: why
    // A second level: the notes that play it; a lower rate: those below the table's lowest tone, which
    // play higher than written; of the sample's notes.
    std::size_t notes = 0, of = 0;
};

struct Loss {
    LossKind kind = LossKind::Repair;
    std::string text;                                  // the stage's own words, for the kinds told in words
    std::vector<SampleLoss> samples;                   // the samples it concerns, those that lost most first
    std::size_t count = 0, of = 0;                     // by kind: notes left out of notes, entries, commands
    std::vector<std::pair<int, std::size_t>> channels; // notes left out by module channel (from 1)
    int moduleChannels = 0;                            // the module's channels
    std::vector<std::size_t> orders;                   // order positions it concerns
    double from = 0, to = 0;                           // seconds of the song
    double share = 0; // how much of the module's sound it costs (0-1), to weigh what to change first

    static Loss told(LossKind kind, std::string words) {
        Loss loss;
        loss.kind = kind;
        loss.text = std::move(words);
        return loss;
    }
};
