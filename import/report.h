// The import report's wording, in one place: what a musician reads about what the ROM had to give up.
// The stages record their losses as facts (loss.h); the lines are made from them here. Samples are named
// by their number in the module and their name; channels, order positions and samples are counted from 1,
// as trackers show them; every number is decimal; times are the song's, as m:ss.s.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "capture.h"
#include "fidelity.h"
#include "loss.h"
#include "voices.h"

// `sample 3 "Bass"` for libxmp sample index 2; `sample 3` when it has no name; in a bank's samples,
// `song 1's sample 3 "Bass"`.
std::string sampleLabel(const Performance& performance, int source);

// A loss's sample as the report names it: its label, and its number, name, song and instrument apart.
SampleLoss sampleLoss(const Performance& performance, int source);

// Note starts per libxmp sample index, over every channel of the module.
std::vector<std::size_t> notesPerSample(const Performance& performance);

// Where the module first plays each sample (seconds into the song), by libxmp sample index; -1 for a
// sample it never plays.
std::vector<double> firstHeard(const Performance& performance);

// Items joined with commas, every one of them.
std::string itemList(const std::vector<std::string>& items);

// Whole numbers in ascending order with runs shortened: "1, 3-5, 9".
std::string numberRuns(std::vector<std::size_t> numbers);

// Seconds as the song's clock: "0:07.7", "12:03.0".
std::string songClock(double seconds);

// An interval of semitones as a listener hears it: "a fifth", "an octave and a half".
std::string intervalWords(int semitones);

// The notes the four streams left out, by module channel.
Loss notesLeftOut(const VoicePlan& voices, int channels);

// The report's line for one loss, unwrapped. `verbose` names every channel that lost notes (the others
// are counted together otherwise).
std::string lossLine(const Loss& loss, bool verbose = false);
std::vector<std::string> lossLines(const std::vector<Loss>& losses, bool verbose = false);

// The losses a file cut short caused (FileCut), for a tool that says so on its own.
std::vector<std::string> fileCutLines(const std::vector<Loss>& losses);

// The fidelity figures as measured, the verdict in words ("fair: the notes are mostly right, the rhythm
// loses detail"), then the scale it is read on: what two faithful players and an unrelated song score.
std::vector<std::string> fidelityLines(const Fidelity& fidelity);

// The verdict alone: "close", "fair" or "far".
const char* fidelityVerdict(const Fidelity& fidelity);

// The one or two changes to the module (or the rate) that would lose least, chosen by what the losses
// cost the sound; none when nothing much was lost. Each a line.
std::vector<std::string> adviceLines(const std::vector<Loss>& losses, int rate);

// A line broken at spaces to `width` columns; lines after the first are indented by `indent` spaces.
std::vector<std::string> wrapLine(const std::string& line, std::size_t width, std::size_t indent = 2);
