// The ROM format, in one place: where a ROM image lies in the memory image, the song and sample tables at
// its top, a song's order list, patterns, lines and cells with their bit fields, the effect numbers and
// their parameters, the sequencer's default speeds and the tone table's reach. Everything that reads or
// writes a ROM image (the engine, the host, the importer, nibtool, the tests) takes its numbers from here.
//
// Every address stored in a ROM image is a big-endian 16-bit image address (high byte first).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- The memory image ---------------------------------------------------------------------------------

// An image position. Stream positions and song rows can run past 0xFFFF, so positions are 64-bit and
// never wrap; a position at or above kImageSize reads as 0.
using Position = std::uint64_t;

constexpr Position kImageSize = 0x10000; // the 64 KB memory image, addresses 0x0000-0xFFFF
constexpr Position kRomBase = 0x8000;    // where the ROM file's first byte lands
constexpr Position kRomSize = 0x8000;    // the most bytes of a ROM file that are placed: 0x8000-0xFFFF

// ---- The tables at the top of the image -----------------------------------------------------------------

// Song table: kSongs big-endian addresses of 2 bytes at 0xFF8E-0xFF95, one per song 0-3.
constexpr Position kSongTable = 0xFF8E;
constexpr std::size_t kSongs = 4;
constexpr std::size_t kSongEntryBytes = 2;

// Sample table: kSampleEntries entries of 7 bytes at 0xFF96-0xFFFE, entry i at kSampleTable + 7 i. The
// last image byte, 0xFFFF, belongs to neither table.
constexpr Position kSampleTable = 0xFF96;
constexpr std::size_t kSampleEntries = 15; // entries 0-14; cells name 1-15, so entry 0 is never played
constexpr std::size_t kSampleEntryBytes = 7;
// The fields of a sample entry, as byte offsets into it.
constexpr std::size_t kEntryStart = 0;     // 2 bytes: address of the sample's first byte
constexpr std::size_t kEntryEnd = 2;       // 2 bytes: address one past its last byte
constexpr std::size_t kEntryNibble = 4;    // 1 byte: 0 = the low nibble of each byte, other = the high
constexpr std::size_t kEntryLoopStart = 5; // 2 bytes: where playback goes on after the end
// A loop start at 0x00FF or below means the sample does not loop; 0x0100 and above loop there.
constexpr Position kLowestLoopStart = 0x0100;

// The image address of song n's table entry (n 0-3) and of sample entry i (i 0-14).
constexpr Position songEntry(std::size_t n) {
    return kSongTable + kSongEntryBytes * n;
}
constexpr Position sampleEntry(std::size_t i) {
    return kSampleTable + kSampleEntryBytes * i;
}

// ---- Song data ------------------------------------------------------------------------------------------
//
// At a song's address: the order list, then its patterns. No end marker: a song repeats by position jumps
// and pattern breaks.
//
//   bytes 0-63                   order list: byte p is the pattern number played at order position p
//   64 + 768 k ... 64 + 768 k + 767   pattern k (0-255): 64 lines of 12 bytes
//
// Order positions run 0-255 and wrap; those past 63 read their pattern number from the bytes after the
// order list. A line holds one 3-byte cell per channel, 0-3 in order; channel c plays on stream c.

constexpr std::size_t kOrderListBytes = 64;  // order positions 0-63 have their own byte
constexpr std::size_t kOrderPositions = 256; // order positions 0-255, an 8-bit count that wraps
constexpr std::size_t kPatterns = 256;       // pattern numbers 0-255, one byte in the order list
constexpr std::size_t kChannels = 4;         // cells per line, channels 0-3
constexpr std::size_t kCellBytes = 3;        // sample/effect, tone, parameter
constexpr std::size_t kLineBytes = kChannels * kCellBytes;           // 12
constexpr std::uint8_t kLinesPerPattern = 64;                        // lines 0-63
constexpr std::size_t kPatternBytes = kLinesPerPattern * kLineBytes; // 768

// Bytes from a song's start to a cell: pattern 0-255, line 0-63 (a break past 63 reads on into the next
// pattern), channel 0-3. With channel 0 it is the start of the line, with line 0 too of the pattern.
constexpr Position songOffset(std::size_t pattern, std::size_t line = 0, std::size_t channel = 0) {
    return kOrderListBytes + Position{kPatternBytes} * pattern + Position{kLineBytes} * line +
           Position{kCellBytes} * channel;
}

// ---- A cell ---------------------------------------------------------------------------------------------
//
//   byte 0, bits 7-4: sample number: 0 = no new note, 1-15 = start that sample table entry
//   byte 0, bits 3-0: effect number 0-15 (below)
//   byte 1:           tone 0-255: the note's PeriodTable index, and the arpeggio's base tone
//   byte 2:           effect parameter 0-255

constexpr std::size_t kCellHead = 0;  // sample number and effect number
constexpr std::size_t kCellTone = 1;  // tone
constexpr std::size_t kCellParam = 2; // effect parameter
constexpr unsigned kSampleShift = 4;  // the sample number's place in the head byte
constexpr std::uint8_t kEffectMask = 0x0F;
constexpr std::uint8_t kSampleNumbers = 16; // a head byte names 0 (no note) and samples 1-15

constexpr std::uint8_t cellSample(std::uint8_t head) {
    return static_cast<std::uint8_t>(head >> kSampleShift);
}
constexpr std::uint8_t cellEffect(std::uint8_t head) {
    return static_cast<std::uint8_t>(head & kEffectMask);
}
// The head byte of a sample number 0-15 and an effect 0-15; higher bits of either are dropped.
constexpr std::uint8_t cellHead(std::uint8_t sample, std::uint8_t effect) {
    return static_cast<std::uint8_t>((sample & kEffectMask) << kSampleShift | (effect & kEffectMask));
}

// ---- Effects --------------------------------------------------------------------------------------------
//
// The effect number of a cell, with its parameter p, x = p's high nibble, y = its low nibble. Each runs on
// every tick of its line unless it says otherwise; 3 and 5-9 do nothing.
enum Effect : std::uint8_t {
    kArpeggio = 0x0,     // p != 0: the step from tone, tone + x, tone + y by tick modulo 3
    kSlideUp = 0x1,      // the step rises by p each tick
    kSlideDown = 0x2,    // the step falls by p each tick
    kVibrato = 0x4,      // the step follows VibratoTable; p != 0 on tick 0 restarts it
    kVolumeSlide = 0xA,  // volume + x - y, kept to 0-kVolumeSlideTop; 0 stops the stream, else starts it
    kPositionJump = 0xB, // the order position becomes p at once
    kSetVolume = 0xC,    // volume p; 0 stops the stream, anything else starts it
    kPatternBreak = 0xD, // the next line is p + 64 (modulo 256): see kBreakHere
    kExtended = 0xE,     // a command by x (ExtendedCommand), with y
    kSpeed = 0xF,        // p < kSpeedLineTicks: calls per tick - 1; p >= it: ticks per line + kSpeedLineTicks
};

// Extended commands, in the parameter's high nibble; y is the low nibble.
enum ExtendedCommand : std::uint8_t {
    kNoteCut = 0xC,   // stop the stream on tick y - 1 (y = 0 never cuts)
    kNoteDelay = 0xD, // the stream is stopped before tick y and started from tick y on
    kSongDelay = 0xE, // on the line's last tick: play the line y more times
};

// A parameter nibble's highest value: x and y are 0-15.
constexpr std::uint8_t kParamNibbleMax = 0x0F;
// So the latest tick a cell can start its note on is a note delay's 15, and the latest it can stop it on
// a note cut's 14 (y - 1).
constexpr std::uint8_t kLatestNoteDelay = kParamNibbleMax;
constexpr std::uint8_t kLatestNoteCut = kParamNibbleMax - 1;

constexpr std::uint8_t paramHigh(std::uint8_t p) {
    return static_cast<std::uint8_t>(p >> 4);
}
constexpr std::uint8_t paramLow(std::uint8_t p) {
    return static_cast<std::uint8_t>(p & 0x0F);
}
// A parameter from its two nibbles, x and y 0-15.
constexpr std::uint8_t paramOf(std::uint8_t x, std::uint8_t y) {
    return static_cast<std::uint8_t>((x & 0x0F) << 4 | (y & 0x0F));
}

// Speed: parameters at or above this set ticks per line (p - kSpeedLineTicks, 0 meaning 256); below it,
// a tick of p + 1 sequencer calls.
constexpr std::uint8_t kSpeedLineTicks = 0x80;
// The speed parameter for lines of `ticks` ticks (0-127; 0 makes lines of 256 ticks).
constexpr std::uint8_t lineTicksParam(std::uint8_t ticks) {
    return static_cast<std::uint8_t>(kSpeedLineTicks | ticks);
}
// Pattern break: the next line is p + kLinesPerPattern, modulo 256. So p 0-63 goes to line p of the next
// order position, and p = kBreakHere + l (192-255) wraps to line l of the same order position.
constexpr std::uint8_t kBreakHere = 256 - kLinesPerPattern;
// The volume slide keeps volumes to 0-15; a result above kVolumeUnderflow counts as an underflow to 0.
constexpr std::uint8_t kVolumeSlideTop = 15;
constexpr std::uint8_t kVolumeUnderflow = 100;

// ---- Sample data ----------------------------------------------------------------------------------------
//
// A sample is the run of image bytes from its entry's start up to its end. Each byte holds one 4-bit
// two's-complement value, -8..7, in its low nibble or in its high nibble as the entry says: two samples
// can share the same bytes.

constexpr int kNibbleLowest = -8, kNibbleHighest = 7;
constexpr unsigned kHighNibbleShift = 4;

// The 4 bits of a value -8..7.
constexpr std::uint8_t nibbleBits(int value) {
    return static_cast<std::uint8_t>(value & 0x0F);
}
// A byte holding two samples' 4-bit values, one in each nibble.
constexpr std::uint8_t nibbleByte(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint8_t>((low & 0x0F) | (high & 0x0F) << kHighNibbleShift);
}
// The value, -8..7, of one nibble of a byte.
constexpr int nibbleValue(std::uint8_t byte, bool high) {
    const int bits = high ? byte >> kHighNibbleShift : byte & 0x0F;
    return bits <= kNibbleHighest ? bits : bits - 16;
}

// ---- Speeds ---------------------------------------------------------------------------------------------

// While no song is selected, and so when one starts: 6 ticks per line, ticks of 10 + 1 sequencer calls.
constexpr std::uint8_t kDefaultLineTicks = 6;
constexpr std::uint8_t kDefaultTickCalls = 10;

// ---- Tones ----------------------------------------------------------------------------------------------

// PeriodTable holds tones 0-60; higher tones play the highest step. Tone kUnitTone's step is 256, one
// byte per output sample: an extra step between tones 19 and 21 of the chromatic scale.
constexpr std::size_t kTones = 61;
constexpr std::uint8_t kHighestTone = 60;
constexpr std::uint8_t kUnitTone = 20;
