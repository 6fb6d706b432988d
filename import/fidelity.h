// Fidelity stage: how close the ROM sounds to the module, as three figures. The module is played once
// through by libxmp and the ROM once through by the engine, both mono at the same rate, and the two renders
// are compared.
//
// The figures, for the module's render m and the ROM's render r, both at R Hz:
//
// - Frames. A frame every 0.1 s: frame t is centred on sample round(0.1 R) * t, and reads zeros outside
//   the render. A render has a frame centred on each such sample it holds; the shorter render is taken
//   as silent up to the longer one's length.
// - chroma. Each frame's power spectrum, from an FFT of a Hann window of the power of two nearest 0.512 R
//   samples (4096 at 8000 Hz), is summed into 12 pitch classes: each bin from 50 Hz up to below R / 2
//   goes to the class of the equal-tempered semitone (A = 440 Hz) nearest its frequency. A frame is silent
//   when its summed power is below 1e-5 (-50 dB) of the render's loudest frame. A frame scores the
//   cosine between the two chroma vectors, 0 when one of them is silent, and is left out when both are.
//   The figure is the mean over the frames scored: 1 for the same notes, near 0 for unrelated ones.
// - onset. Each render's onset envelope, a value per frame: the half-wave rectified spectral flux of
//   the log power, that is the mean over the bins from 50 Hz up to below R / 2 of the rise of the bin's
//   level in dB from the frame before (levels floored 80 dB below a full-scale sine at the render's
//   peak amplitude; the frame before the first is at the floor), from an FFT of a Hann window of the
//   power of two nearest 0.064 R samples. The figure is the Pearson correlation of the two envelopes in
//   each alignment window, 0 when one envelope is flat there, the window left out when both are; the
//   mean over the windows weighted by their frames: 1 for the same rhythm, near 0 for unrelated ones.
// - Alignment. The frames are cut into windows of 5 s (50 frames; the last may be shorter) over the
//   longer render. In each window r's frames are taken at a lag of up to 0.5 s (5 frames) either way,
//   the lag that scores the window highest, chosen for chroma and for onset separately: a drift or an
//   offset of up to half a second costs nothing.
// - lengthRatio. r's length over m's, the two renders' seconds.
//
// Two silent renders agree: with nothing to compare, chroma and onset are 1.
#pragma once

#include <xmp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct Fidelity {
    double chroma = 0;        // 0..1
    double onset = 0;         // -1..1
    double lengthRatio = 0;   // ROM seconds / module seconds (1 when both are empty)
    double romSeconds = 0;    // the ROM render's length
    double moduleSeconds = 0; // the module render's length
    int channels = 0;         // the module's channels as libxmp counts them (set by measureFidelity)
};

// What the measure reads from one mono render at `rate` Hz (samples in -1..1): its chroma and onset
// envelope, frame by frame. A module's render read once serves the comparison of every ROM made from it.
class RenderReading {
  public:
    RenderReading(const std::vector<float>& render, int rate);
    ~RenderReading();
    RenderReading(const RenderReading&) = delete;
    RenderReading& operator=(const RenderReading&) = delete;

    struct Frames; // the figures per frame (fidelity.cpp)
    const Frames& frames() const { return *frames_; }
    std::size_t samples() const { return samples_; }
    int rate() const { return rate_; }

  private:
    std::unique_ptr<Frames> frames_;
    std::size_t samples_;
    int rate_;
};

// The spans of the song, in seconds, where the module's render sounds and the ROM's is silent (as the
// chroma reads sound and silence, frame by frame) for more than `longerThan` seconds, up to the shorter
// render's end.
std::vector<std::pair<double, double>> silentSpans(const RenderReading& module, const RenderReading& rom,
                                                   double longerThan);

// Compares two readings of renders at the same rate.
Fidelity compareRenders(const RenderReading& module, const RenderReading& rom);
// Compares two mono renders at `rate` Hz, samples in -1..1.
Fidelity compareRenders(const std::vector<float>& module, const std::vector<float>& rom, int rate);

// The power per bin (|X|^2, bins 0 to size / 2) of the Hann-windowed frames of `x` of `size` samples (a
// power of two, at least 16) centred on each of `centres`, summed; zeros are read outside `x`.
std::vector<double> powerSpectrum(const std::vector<float>& x, std::size_t size,
                                  const std::vector<std::size_t>& centres);

// The module played once through by libxmp (linear interpolation) at `rate` Hz, mono, in -1..1:
// it ends where libxmp's own loop detection sees the song start again, or after measuredSeconds. Rates
// outside 4000-48000 Hz are played at the nearest of those and resampled. False, with one line in
// `error`, if it cannot be loaded or played.
bool renderModule(const std::vector<std::uint8_t>& file, int rate, std::vector<float>& out,
                  std::string& error);

// How much of a song the renders hold at `rate`: 30 minutes, or the first 16 million samples at the
// higher rates (6 minutes at 44100 Hz, 2.8 at 96000 Hz), which bounds the time and memory a measure takes.
double measuredSeconds(int rate);

// The pieces of a module's render, for a player that is driven frame by frame elsewhere (the capture):
// the rate to start libxmp's player at (mono, 16-bit, linear interpolation) for a render at `rate`; a
// played frame's sound appended (false once the render holds `seconds`: measuredSeconds(rate)); and the
// render brought to `rate` at the end.
int moduleRenderRate(int rate);
bool appendModuleRender(const xmp_frame_info& info, int playRate, std::vector<float>& out, double seconds);
bool finishModuleRender(std::vector<float>& out, int playRate, int rate, std::string& error);

// A song (0-3) of a ROM file played once through by the engine, ending where its second pass begins (see
// SongLines::secondPass; or after measuredSeconds at `rate`), as (byte - 128) / 128. It uses the one engine
// of the process; the trace sink is left as it was found.
std::vector<float> renderRom(const std::vector<std::uint8_t>& rom, int rate, std::uint8_t song = 0);

// All three figures for a module file and the ROM imported from it, at `rate` Hz. False, with one line in
// `error`, if the module cannot be rendered.
bool measureFidelity(const std::vector<std::uint8_t>& module, const std::vector<std::uint8_t>& rom, int rate,
                     Fidelity& out, std::string& error);
