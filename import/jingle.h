// A song that ends, as a game's jingle does (level clear, game over): after its last line the song goes
// on to a line that stops every stream, then to a line that plays nothing and repeats itself for ever.
// The engine is unchanged: this is song data only, and any player that walks the song (render, info,
// play) sees where it ends (walk/song_walk.h).
#pragma once

#include "compile.h"

// Replaces a compiled song's jump back to where it repeats with the silent ending: two lines after its
// last, the second jumping back to itself.
void endOnSilence(CompiledSong& song);
