// A ROM's signature: what the image was made for (the output rate, the songs' titles, the named sound
// effects), kept in bytes of the image that the engine never reads, just below the song table.
//
// Layout (file offsets; numbers big-endian like every number in the image). The block ends where the
// song table starts (0x7F8E) and is read from its end:
//   0x7F8E - L ...         body (L - 10 bytes):
//                            version      1 byte (1)
//                            rate         4 bytes, Hz
//                            songs        1 byte (0-4), then per song n = 0, 1, ...: title length (1 byte,
//                                         0-63) and its bytes (UTF-8)
//                            effects      1 byte (0-15), then per effect: sample entry (0-14), tone (0-60),
//                                         name length (0-63) and its bytes
//                          version 2 only, after them:
//                            per song     its flags (1 byte: bit 0, the song ends on silence after one
//                                         pass), then per effect the stream to start it on during that
//                                         song (0-3) and the share of the song's time that stream carries
//                                         music, in percent (0-100)
//   0x7F84-0x7F85          L, the whole block's length, footer included (at most kMaxSignatureBytes, 1387)
//   0x7F86-0x7F89          CRC-32 (the zlib one) of the body
//   0x7F8A-0x7F8D          "NIBS"
// Whoever writes one keeps the song and the samples out of those L bytes; nothing else may lie there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "policy/policy.h"

#include "engine/format.h"

struct SignatureEffect {
    std::uint8_t entry = 0; // the sample table entry that holds the effect (0-14)
    std::uint8_t tone = 0;  // the tone that plays it at its recorded pitch at the signature's rate (0-60)
    std::string name;
};

// Where to start an effect while a song plays: the stream whose loss costs the song and the effect least.
struct EffectStream {
    std::uint8_t stream = 3;       // 0-3
    std::uint8_t musicPercent = 0; // the share of the song's time that stream carries music, 0-100
};

// How a song plays, as a game needs to know it (a version-2 block).
struct SignatureSong {
    bool ends = false;                 // the song ends on silence after one pass (a jingle)
    std::vector<EffectStream> streams; // one per effect, in the effects' order
};

struct RomSignature {
    std::uint32_t rate = kDefaultRate;    // the output rate the image was made for, in Hz
    std::vector<std::string> titles;      // song n's title for n = 0, 1, ... (at most 4)
    std::vector<SignatureEffect> effects; // at most 15
    // Per song, as `titles`: whether it ends and each effect's stream. Empty: a version-1 block, written
    // when there is nothing to say (no effects, no song that ends).
    std::vector<SignatureSong> songs{};
};

constexpr std::size_t kSignatureEnd =
    kSongTable - kRomBase;                   // file offset of the song table: the block ends there
constexpr std::size_t kSignatureFooter = 10; // length, CRC, magic
// The most a block takes: 1 + 4 + 1 + 4 * 64 + 1 + 15 * 66 + 4 * (1 + 15 * 2) + 10 = 1387 bytes, with every
// title and name at its longest.
constexpr std::size_t kMaxSignatureBytes = 1387;
constexpr std::size_t kMaxSignatureText = 63; // the longest title or effect name kept, in bytes
constexpr std::size_t kMaxSignatureSongs = 4;
constexpr std::size_t kMaxSignatureEffects = 15;

// The signature's block as it is stored (titles and names cut to kMaxSignatureText bytes, at a character's
// start; songs and effects past the most kept dropped).
std::vector<std::uint8_t> signatureBytes(const RomSignature& signature);

// Bytes the block takes: the song and the samples must end this far below the song table (0xFF8E).
std::size_t signatureSize(const RomSignature& signature);

// Writes the block into a 32,768-byte ROM file's bytes, over whatever lies there. False, writing nothing,
// for a shorter file.
bool writeSignature(std::vector<std::uint8_t>& rom, const RomSignature& signature);

// Reads the block from a ROM file's bytes (any length, any content). False for a file without one, or
// with one that does not check (magic, length, CRC, a rate in the range above, every count, entry,
// tone, stream, share and length inside the block). Texts come
// back with control characters shown as '?', so that they can be printed as they are.
bool readSignature(const std::uint8_t* data, std::size_t size, RomSignature& signature);
bool readSignature(const std::vector<std::uint8_t>& rom, RomSignature& signature);

// The block's CRC-32 (the zlib one) of `size` bytes.
std::uint32_t signatureChecksum(const std::uint8_t* data, std::size_t size);
