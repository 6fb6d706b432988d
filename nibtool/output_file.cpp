#include "output_file.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary files in the making, for the signal handler to remove: fixed slots, so that the handler
// touches nothing but them.
constexpr std::size_t kSlots = 8, kPathBytes = 4096;
char gPending[kSlots][kPathBytes];
volatile std::sig_atomic_t gUsed[kSlots];

void removePending(int signal) {
    for (std::size_t i = 0; i < kSlots; ++i)
        if (gUsed[i]) unlink(gPending[i]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int takeSlot(const std::string& path) {
    static const bool installed = [] {
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            action.sa_handler = removePending;
            sigaction(s, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
    if (path.size() >= kPathBytes) return -1;
    for (std::size_t i = 0; i < kSlots; ++i)
        if (!gUsed[i]) {
            std::memcpy(gPending[i], path.c_str(), path.size() + 1);
            gUsed[i] = 1;
            return static_cast<int>(i);
        }
    return -1;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

OutputFile::~OutputFile() {
    if (fd_ >= 0) close(fd_);
    if (!temporary_.empty()) unlink(temporary_.c_str());
    if (slot_ >= 0) gUsed[slot_] = 0;
}

bool OutputFile::open(const std::string& target, std::string& error) {
    struct stat st {};
    if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot write '" + target + "': it is a folder";
        return false;
    }
    target_ = target;
    std::string name = folderOf(target) + "/." + baseOf(target) + ".XXXXXX";
    fd_ = mkstemp(name.data());
    if (fd_ < 0) {
        error = "cannot write '" + target + "': " + std::strerror(errno);
        return false;
    }
    temporary_ = name;
    slot_ = takeSlot(temporary_);
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    return true;
}

bool OutputFile::commit(std::string& error) {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 || rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = "cannot write '" + target_ + "': " + std::strerror(errno);
        return false;
    }
    temporary_.clear();
    return true;
}

bool writeWhole(const std::string& target, const std::vector<std::uint8_t>& bytes, std::string& error) {
    OutputFile out;
    if (!out.open(target, error)) return false;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(out.fd(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write '" + target + "': " + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return out.commit(error);
}

std::string namesAnInput(const std::string& output, const std::vector<std::string>& inputs) {
    struct stat out {};
    const bool exists = stat(output.c_str(), &out) == 0;
    for (const std::string& input : inputs) {
        struct stat in {};
        const bool same = input == output || (exists && stat(input.c_str(), &in) == 0 &&
                                              in.st_dev == out.st_dev && in.st_ino == out.st_ino);
        if (same)
            return "the output '" + output + "' is the input '" + input +
                   "': it would be written over; name "
                   "another file";
    }
    return "";
}
