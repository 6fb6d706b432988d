#include "source.h"

#include <xmp.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "import/import.h"
#include "nibtool/rom_file.h"

namespace {

// The child's message: a status byte (0 loaded, 1 failed), then for a load the title and the ROM, for a
// failure the reason; each as a 4-byte length and its bytes.
void putBlock(std::vector<std::uint8_t>& message, const std::uint8_t* data, std::size_t size) {
    for (int shift = 24; shift >= 0; shift -= 8)
        message.push_back(static_cast<std::uint8_t>(size >> shift));
    message.insert(message.end(), data, data + size);
}

void putText(std::vector<std::uint8_t>& message, const std::string& text) {
    putBlock(message, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool takeBlock(const std::vector<std::uint8_t>& message, std::size_t& at, std::vector<std::uint8_t>& out) {
    if (message.size() - at < 4) return false;
    std::size_t size = 0;
    for (int i = 0; i < 4; ++i)
        size = size << 8 | message[at++];
    if (message.size() - at < size) return false;
    out.assign(message.begin() + static_cast<std::ptrdiff_t>(at),
               message.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
    return true;
}

[[noreturn]] void runChild(int fd, const std::string& path, SourceKind kind, int rate) {
    for (int signal = 1; signal < NSIG; ++signal)
        std::signal(signal, SIG_DFL); // the parent's handlers write to its pipes and its terminal
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::vector<std::uint8_t> message;
    RomFile file;
    Playable song;
    std::string error;
    if (readRomFile(path, file, error) && makePlayable(file.bytes, kind, rate, song, error)) {
        message.push_back(0);
        putText(message, song.title);
        putBlock(message, song.rom.data(), song.rom.size());
    } else {
        message.push_back(1);
        putText(message, error);
    }
    for (std::size_t done = 0; done < message.size();) {
        const ssize_t n = write(fd, message.data() + done, message.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        done += static_cast<std::size_t>(n);
    }
    _exit(0); // no exit handlers: they belong to the parent
}

} // namespace

SourceKind kindOf(const std::vector<std::uint8_t>& bytes) {
    xmp_test_info info;
    return !bytes.empty() &&
                   xmp_test_module_from_memory(bytes.data(), static_cast<long>(bytes.size()), &info) == 0
               ? SourceKind::Module
               : SourceKind::Rom;
}

bool makePlayable(const std::vector<std::uint8_t>& bytes, SourceKind kind, int rate, Playable& out,
                  std::string& error) {
    if (kind == SourceKind::Rom) {
        out = {"", bytes};
        return true;
    }
    if (kindOf(bytes) != SourceKind::Module) {
        error = "not a module libxmp recognises";
        return false;
    }
    ImportOptions options;
    options.rate = rate;
    ImportResult result;
    if (!importModule(bytes, options, result, error)) return false;
    out = {result.title, std::move(result.rom)};
    return true;
}

bool ChildLoad::start(const std::string& path, SourceKind kind, int rate, std::string& error) {
    cancel();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        runChild(ends[1], path, kind, rate);
    }
    close(ends[1]);
    if (pid < 0) {
        error = std::string("cannot start a process: ") + std::strerror(errno);
        close(ends[0]);
        return false;
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    pid_ = pid;
    fd_ = ends[0];
    received_.clear();
    return true;
}

void ChildLoad::cancel() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
    pid_ = -1;
    fd_ = -1;
}

ChildLoad::Status ChildLoad::collect(Playable& out, std::string& error) {
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            received_.insert(received_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status::Working; // nothing more yet
        break;                             // the child closed its end
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    close(fd_);
    fd_ = -1;
    std::size_t at = 1;
    std::vector<std::uint8_t> first, second;
    if (!received_.empty() && received_[0] == 0 && takeBlock(received_, at, first) &&
        takeBlock(received_, at, second)) {
        out = {std::string(first.begin(), first.end()), std::move(second)};
        return Status::Loaded;
    }
    if (!received_.empty() && received_[0] == 1 && takeBlock(received_, at, first)) {
        error.assign(first.begin(), first.end());
    } else if (WIFSIGNALED(status)) {
        error = std::string("the import stopped: ") + strsignal(WTERMSIG(status));
    } else {
        error = "the import stopped without a result";
    }
    return Status::Failed;
}
