// nibtool play's sound output: SDL's default audio device in unsigned 8-bit mono at the song's rate, fed
// by a SongPlayer on SDL's audio thread. SDL converts for devices that want another format or rate.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "song.h"

// A run of song bytes among those the callback handed out: from `at` on, `bytes` of them.
struct CaptureRun {
    std::uint64_t at = 0, bytes = 0;
};

class AudioOutput {
  public:
    AudioOutput() = default;
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;
    ~AudioOutput() { close(); }

    // Opens the device and starts playing `player` on it; when the song ends, the audio thread writes a
    // byte to `wakeFd` (non-blocking). False, with SDL's reason in `error`, when there is no device.
    bool open(int rate, SongPlayer& player, int wakeFd, std::string& error);

    // Stops the device and shuts SDL's audio down. With SDL's disk driver the capture file is then cut
    // to what was played (see trimDiskCapture).
    void close();

    bool opened() const { return device_ != 0; }
    const char* driver() const;

    // Keeps the audio thread away from the player, and so from the engine, while it lives.
    class Lock {
      public:
        explicit Lock(const AudioOutput& output) : device_(output.device_) { SDL_LockAudioDevice(device_); }
        ~Lock() { SDL_UnlockAudioDevice(device_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        SDL_AudioDeviceID device_;
    };

  private:
    static void callback(void* self, std::uint8_t* out, int size);

    SongPlayer* player_ = nullptr;
    int wakeFd_ = -1;
    bool initialized_ = false, woke_ = false, counting_ = false;
    SDL_AudioDeviceID device_ = 0;
    SDL_AudioSpec obtained_{};
    std::uint64_t handedOut_ = 0; // bytes the callback has written
    std::uint64_t hash_;          // of those bytes
    bool toDisk_ = false;         // SDL's disk driver: the song bytes among them are noted in `runs_`
    std::vector<CaptureRun> runs_;
};

// SDL's disk driver stores every device buffer whole: the silence it writes while the device opens, the
// silence while the next file is still being made ready (on a busy machine), and the silence after the
// last song's end up to the close. Finds the `written` bytes the player handed out (they hash to `hash`)
// at a whole number of `bufferBytes` into the file, and cuts the file to the song bytes among them, the
// `runs` (in order, within `written`), one after the other. Leaves the file as it is, returning false, if
// the bytes are not found there.
bool trimDiskCapture(const std::string& path, std::size_t bufferBytes, std::uint64_t written,
                     std::uint64_t hash, const std::vector<CaptureRun>& runs);

// The hash trimDiskCapture expects: 64-bit FNV-1a, continued from `hash` over `size` bytes.
constexpr std::uint64_t kCaptureHashStart = 0xcbf29ce484222325ULL;
std::uint64_t captureHash(std::uint64_t hash, const std::uint8_t* data, std::size_t size);
