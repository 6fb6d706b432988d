// How long nibtool play holds the audio lock when a new version of a song takes over: the image placed
// and the engine's state restored, in the audio callback. Prepares FILE at RATE as the player's child
// does (the whole import, with states near the middle of the song), plays the song from its start up
// to there, offers the new version and times each takeover.
//
//   takeover_bench FILE RATE [TIMES]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "nibtool/play/song.h"
#include "nibtool/play/source.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: takeover_bench FILE RATE [TIMES]\n");
        return 2;
    }
    const int rate = std::atoi(argv[2]);
    const int times = argc > 3 ? std::atoi(argv[3]) : 20;
    SongRequest request;
    request.rate = rate;
    SongFile file;
    std::string error;
    if (!openSong(argv[1], request, file, error)) {
        std::fprintf(stderr, "takeover_bench: %s\n", error.c_str());
        return 1;
    }
    auto song = std::make_shared<Playable>();
    prepareSong(std::move(file), *song);
    const LineStart& middle = song->facts.lines[song->facts.lines.size() / 2];
    addResumes(*song, &middle.place, 4);
    std::vector<double> micros;
    std::vector<std::uint8_t> buffer(1024);
    SongPlayer player({true, 0, 0, 1});
    player.start(song);
    for (std::uint64_t played = 0; played + 13 * 66 < middle.call * 13; played += buffer.size())
        player.fill(buffer.data(), buffer.size());
    for (int i = 0; i < times; ++i) {
        player.offer(song);
        while (player.offered())
            player.fill(buffer.data(), buffer.size());
        micros.push_back(player.takeoverMicroseconds());
    }
    std::sort(micros.begin(), micros.end());
    std::printf("%s at %d Hz: takeover under the lock shortest %.0f us, median %.0f us, 90%% within %.0f us, "
                "longest %.0f us (%d times)\n",
                argv[1], rate, micros.front(), micros[micros.size() / 2], micros[micros.size() * 9 / 10],
                micros.back(), times);
    return 0;
}
