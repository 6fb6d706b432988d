#include "audio.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// SDL's audio back ends (ALSA above all) write their own diagnostics on standard error while they look
// for a device; the user gets one line from nibtool instead. Standard error goes to /dev/null while
// this lives.
class QuietStderr {
  public:
    QuietStderr() : saved_(dup(2)) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, 2);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        dup2(saved_, 2);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    int saved_;
};

void dropSdlLog(void*, int, SDL_LogPriority, const char*) {}

// About 30 ms a buffer: a power of two of samples, so that the device asks at an even pace.
Uint16 bufferSamplesFor(int rate) {
    unsigned samples = 64;
    while (samples * 2 <= static_cast<unsigned>(rate) / 32 && samples < 4096)
        samples *= 2;
    return static_cast<Uint16>(samples);
}

bool readAt(int fd, std::uint8_t* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, at);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

bool writeAt(int fd, const std::uint8_t* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

} // namespace

std::uint64_t captureHash(std::uint64_t hash, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 0x100000001b3ULL;
    return hash;
}

bool trimDiskCapture(const std::string& path, std::size_t bufferBytes, std::uint64_t written,
                     std::uint64_t hash, const std::vector<CaptureRun>& runs) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || bufferBytes == 0) return false;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size < written) return false;
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (runs[i].at > written || runs[i].bytes > written - runs[i].at ||
            (i > 0 && runs[i].at < runs[i - 1].at + runs[i - 1].bytes))
            return false;

    std::vector<std::uint8_t> block(64 * 1024);
    const auto hashAt = [&](std::uint64_t at, std::uint64_t& h) {
        h = kCaptureHashStart;
        for (std::uint64_t done = 0; done < written;) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), written - done));
            if (!readAt(fd, block.data(), n, static_cast<off_t>(at + done))) return false;
            h = captureHash(h, block.data(), n);
            done += n;
        }
        return true;
    };
    std::uint64_t start = 0;
    for (std::uint64_t h = 0;; start += bufferBytes) {
        if (start + written > size || !hashAt(start, h)) return false;
        if (h == hash) break;
    }
    // Moves the runs to the front, one after the other; a source is never behind its destination.
    std::uint64_t kept = 0;
    for (const CaptureRun& run : runs) {
        const std::uint64_t from = start + run.at;
        for (std::uint64_t done = 0; done < run.bytes;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), run.bytes - done));
            if (from != kept && (!readAt(fd, block.data(), n, static_cast<off_t>(from + done)) ||
                                 !writeAt(fd, block.data(), n, static_cast<off_t>(kept + done))))
                return false;
            done += n;
        }
        kept += run.bytes;
    }
    return ftruncate(fd, static_cast<off_t>(kept)) == 0;
}

bool AudioOutput::open(int rate, SongPlayer& player, int wakeFd, std::string& error) {
    player_ = &player;
    wakeFd_ = wakeFd;
    hash_ = kCaptureHashStart;
    handedOut_ = 0;
    woke_ = counting_ = false;
    SDL_LogSetOutputFunction(dropSdlLog, nullptr);
    {
        const QuietStderr quiet;
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            error = SDL_GetError();
            return false;
        }
        initialized_ = true;
        SDL_AudioSpec want{};
        want.freq = rate;
        want.format = AUDIO_U8;
        want.channels = 1;
        want.samples = bufferSamplesFor(rate);
        want.callback = callback;
        want.userdata = this;
        // No changes allowed: the callback always gets the song's own format, and SDL converts.
        device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &obtained_, 0);
    }
    if (device_ == 0) {
        error = SDL_GetError();
        close();
        return false;
    }
    toDisk_ = std::strcmp(driver(), "disk") == 0;
    runs_.clear();
    runs_.reserve(64); // a run per file played in turn, as a rule: none made on the audio thread
    // The device starts paused, and a paused device plays silence; the song starts on the first call.
    SDL_PauseAudioDevice(device_, 0);
    return true;
}

const char* AudioOutput::driver() const {
    const char* name = initialized_ ? SDL_GetCurrentAudioDriver() : nullptr;
    return name ? name : "";
}

void AudioOutput::callback(void* self, std::uint8_t* out, int size) {
    auto* output = static_cast<AudioOutput*>(self);
    const auto n = static_cast<std::size_t>(size);
    // The capture is counted from the first buffer of a song: the silence before it is the device's.
    if (!output->counting_) output->counting_ = output->player_->song() != nullptr;
    const std::uint64_t before = output->player_->deliveredBytes();
    output->player_->fill(out, n);
    if (output->counting_) {
        // The song bytes are the buffer's first ones; the rest is silence while no song plays.
        const std::uint64_t song = output->player_->deliveredBytes() - before;
        std::vector<CaptureRun>& runs = output->runs_;
        if (output->toDisk_ && song > 0) {
            if (!runs.empty() && runs.back().at + runs.back().bytes == output->handedOut_)
                runs.back().bytes += song;
            else
                runs.push_back({output->handedOut_, song});
        }
        output->handedOut_ += n;
        output->hash_ = captureHash(output->hash_, out, n);
    }
    if (output->player_->finished() && !output->woke_) {
        output->woke_ = true;
        const char end = 'e';
        if (write(output->wakeFd_, &end, 1) < 0) {
            // A full wake pipe already wakes the main loop.
        }
    }
}

void AudioOutput::close() {
    if (!initialized_) return;
    const bool disk = std::strcmp(driver(), "disk") == 0;
    if (device_ != 0) SDL_CloseAudioDevice(device_); // joins the audio thread: the counts are final
    if (disk && device_ != 0) {
        const char* file = std::getenv("SDL_DISKAUDIOFILE");
        trimDiskCapture(file && *file ? file : "sdlaudio.raw", obtained_.size, handedOut_, hash_, runs_);
    }
    device_ = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    initialized_ = false;
}
