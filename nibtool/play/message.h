// What nibtool play and the children that prepare its songs (source.h) say to each other through their
// pipes: one message type, written by one encoder and read by one decoder, both from one list of each
// message's fields. The player asks a child to prepare a file (Prepare); a child that is to go on from
// where the song is asks where that is (Asking) and is told (Place); it answers with the song made ready
// (Loaded) or the reason it could not be (Failed).
//
// On the pipe a message is its kind (a byte), the length of its fields (8 bytes), then its fields:
// numbers in 8 bytes, little-endian; texts and lists a count and their items; records that hold no
// pointers (the engine's states, the walk's line starts, a module's rows) as their bytes, since both ends
// are the same program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "source.h"

struct ChildMessage {
    enum class Kind : std::uint8_t { Prepare = 1, Asking, Place, Loaded, Failed };
    Kind kind = Kind::Failed;

    // Prepare, from the player: the file, read as every command reads it (`request`: the rate, --force-rom,
    // the song, a preview's seconds and where in the song it starts); with `ask`, the child asks where the
    // song is before it makes the states to go on from there.
    std::string path;
    SongRequest request;
    bool ask = false;
    // Place, from the player: where the song plays, in the terms of its file.
    Place place;
    // Loaded, from the child: the song made ready to play.
    Playable song;
    // Failed, from the child: the one line that says why the file does not play.
    std::string error;
};

std::vector<std::uint8_t> encodeMessage(const ChildMessage& message);

enum class Decoded {
    Incomplete, // more bytes are to come
    Whole,      // a message, of `used` bytes
    Bad         // the bytes are no message: a kind, a count or a value out of its range
};
// Reads the message at the front of `size` bytes.
Decoded decodeMessage(const std::uint8_t* bytes, std::size_t size, ChildMessage& out, std::size_t& used);

// A prepared song as bytes (a Loaded message), and back: false if the bytes are not one whole song. The
// page passes songs between its parts so.
std::vector<std::uint8_t> encodeSong(const Playable& song);
bool decodeSong(const std::vector<std::uint8_t>& bytes, Playable& song);
