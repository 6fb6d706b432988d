#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary files in the making, for the signal handler to remove. A slot's buffer is made the first
// time the slot is used and kept, so that the handler reads nothing that may be freed under it.
constexpr std::size_t kSlots = 1024, kPathBytes = 4096;
std::atomic<char*> gPaths[kSlots];
std::atomic<int> gUsed[kSlots];

// Removes the temporary files in the making (only what a signal handler may call).
void removeTemporaries() {
    for (std::size_t i = 0; i < kSlots; ++i)
        if (gUsed[i].load() != 0) unlink(gPaths[i].load());
}

// Ends the process by `signal`, as it would have ended without a handler.
[[noreturn]] void endBy(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    _exit(128 + signal); // not reached
}

void removePending(int signal) {
    removeTemporaries();
    endBy(signal);
}

void installHandlers() {
    static const bool installed = [] {
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            action.sa_handler = removePending;
            sigaction(s, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

int takeSlot(const std::string& path) {
    installHandlers();
    if (path.size() >= kPathBytes) return -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (gUsed[i].load() != 0) continue;
        char* buffer = gPaths[i].load();
        if (!buffer) gPaths[i].store(buffer = new char[kPathBytes]);
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        gUsed[i].store(1);
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

std::string reason(const std::string& name, int error) {
    return "cannot write '" + name + "': " + std::strerror(error);
}

// The file `path` names once symbolic links are followed (each relative to the link's own folder).
bool followLinks(const std::string& path, std::string& target, std::string& error) {
    target = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string link(kPathBytes, '\0');
        const ssize_t n = hops < 40 ? readlink(target.c_str(), link.data(), link.size()) : -1;
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            error = reason(path, hops < 40 ? errno : ELOOP);
            return false;
        }
        link.resize(static_cast<std::size_t>(n));
        target = link[0] == '/' ? link : folderOf(target) + "/" + link;
    }
}

// A file by any of its names: the device and inode of one that exists, else the real path it will have.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;

    bool operator==(const Identity& o) const {
        return exists && o.exists ? device == o.device && inode == o.inode : path == o.path;
    }
};

std::string realPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return "";
    std::string text = real;
    std::free(real);
    return text;
}

Identity identify(const std::string& path) {
    Identity id;
    struct stat st {};
    if (path == "-" ? fstat(1, &st) == 0 : stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    }
    id.path = path == "-" ? path : realPath(path);
    if (id.path.empty()) { // not there yet: its folder's real path and its name
        const std::string folder = realPath(folderOf(path));
        id.path = folder.empty() ? path : folder + (folder == "/" ? "" : "/") + baseOf(path);
    }
    return id;
}

// An anonymous temporary file, for a stream's bytes that must be written with seeks.
int anonymousFile(std::string& error) {
    const char* env = std::getenv("TMPDIR");
    const std::string folder = env && *env ? env : "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) { // a file system without O_TMPFILE: a named one, unlinked at once
        std::string name = folder + "/nibtool.XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) unlink(name.c_str());
    }
    if (fd < 0) error = "cannot make a temporary file in '" + folder + "': " + std::strerror(errno);
    return fd;
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies what was written to `from` (from its start) to `to`.
bool copyOut(int from, int to) {
    if (lseek(from, 0, SEEK_SET) != 0) return false;
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!writeAll(to, buffer, static_cast<std::size_t>(n))) return false;
    }
}

} // namespace

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool readerGone(int fd) {
    // The writing end of a pipe or FIFO with no reader left polls as an error.
    struct pollfd p {};
    p.fd = fd;
    return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

void endForGoneReader() {
    removeTemporaries();
    endBy(SIGPIPE);
}

OutputSet::~OutputSet() {
    for (Output& o : outputs_)
        release(o);
}

void OutputSet::release(Output& o) {
    for (int* fd : {&o.fd, &o.streamFd})
        if (*fd >= 0) close(*fd), *fd = -1;
    if (!o.temporary.empty()) unlink(o.temporary.c_str());
    o.temporary.clear();
    if (o.slot >= 0) gUsed[o.slot].store(0);
    o.slot = -1;
}

std::size_t OutputSet::add(const std::string& path, Access access, const std::string& from) {
    Output o;
    o.path = path;
    o.access = access;
    o.from = from;
    outputs_.push_back(std::move(o));
    return outputs_.size() - 1;
}

std::string OutputSet::name(std::size_t i) const {
    return outputs_[i].path == "-" ? "standard output" : outputs_[i].path;
}

bool OutputSet::check(const std::vector<std::string>& inputs, std::string& error) {
    std::vector<Identity> ids;
    for (Output& o : outputs_) {
        o.stream = o.path == "-";
        if (!o.stream && !followLinks(o.path, o.target, error)) return false;
        struct stat st {};
        if (!o.stream && stat(o.target.c_str(), &st) == 0) {
            const char* what = S_ISDIR(st.st_mode)    ? "it is a folder"
                               : S_ISSOCK(st.st_mode) ? "it is a socket"
                               : S_ISBLK(st.st_mode) ? "it is a block device (a disk): nibtool writes files, "
                                                       "FIFOs and character devices"
                                                     : nullptr;
            if (what) {
                error = "cannot write '" + o.path + "': " + what;
                return false;
            }
            o.stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
            o.existed = S_ISREG(st.st_mode);
            // A file made read-only is not replaced, as writing it in place would not be allowed.
            if (access(o.target.c_str(), W_OK) != 0) {
                error = reason(o.path, errno);
                return false;
            }
            o.mode = st.st_mode & 07777;
            o.uid = st.st_uid;
            o.gid = st.st_gid;
        }
        ids.push_back(identify(o.stream && o.path == "-" ? "-" : o.target));
    }
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        for (const std::string& input : inputs)
            if (ids[i] == identify(input)) {
                error = "the output '" + outputs_[i].path + "' is the input '" + input +
                        "': it would be written over; name another file";
                return false;
            }
        for (std::size_t j = 0; j < i; ++j) {
            if (!(ids[i] == ids[j])) continue;
            const Output &a = outputs_[j], &b = outputs_[i];
            if (!a.from.empty() && !b.from.empty())
                error = "'" + a.from + "' and '" + b.from + "' would both be written as '" + b.path +
                        "': give them folders of their own, or rename one";
            else
                error = "the outputs '" + a.path + "' and '" + b.path +
                        "' are the same file: give each a file of its own";
            return false;
        }
    }
    return true;
}

bool OutputSet::openOne(Output& o, std::string& error) {
    if (o.stream) {
        const int fd = o.path == "-" ? fcntl(1, F_DUPFD_CLOEXEC, 0)
                                     : ::open(o.target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            error = reason(o.path == "-" ? "standard output" : o.path, errno);
            return false;
        }
        if (o.access == Access::Sequential) {
            o.fd = fd;
            return true;
        }
        o.streamFd = fd;
        o.fd = anonymousFile(error);
        return o.fd >= 0;
    }
    std::string name = folderOf(o.target) + "/." + baseOf(o.target) + ".XXXXXX";
    o.fd = mkostemp(name.data(), O_CLOEXEC);
    if (o.fd < 0) {
        error = reason(o.path, errno);
        return false;
    }
    o.temporary = name;
    o.slot = takeSlot(name);
    if (o.existed) {
        if (fchown(o.fd, o.uid, o.gid) != 0) {
            // Only root may give a file away: the user's own file stays the user's.
        }
        fchmod(o.fd, static_cast<mode_t>(o.mode));
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(o.fd, 0666 & ~mask);
    }
    return true;
}

bool OutputSet::open(std::string& error) {
    for (Output& o : outputs_)
        if (o.fd < 0 && !o.dropped && !openOne(o, error)) {
            for (Output& opened : outputs_)
                release(opened);
            return false;
        }
    return true;
}

bool OutputSet::write(std::size_t i, const void* bytes, std::size_t size, std::string& error) {
    if (writeAll(outputs_[i].fd, static_cast<const std::uint8_t*>(bytes), size)) return true;
    if (errno == EPIPE) endForGoneReader();
    error = reason(name(i), errno);
    return false;
}

void OutputSet::endIfReaderGone(std::size_t i) const {
    const Output& o = outputs_[i];
    if (o.stream && readerGone(o.streamFd >= 0 ? o.streamFd : o.fd)) endForGoneReader();
}

void OutputSet::drop(std::size_t i) {
    release(outputs_[i]);
    outputs_[i].dropped = true;
}

bool OutputSet::commit(std::string& error) {
    // The streams first: one that fails leaves every file as it was.
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        Output& o = outputs_[i];
        if (o.streamFd >= 0 && !copyOut(o.fd, o.streamFd)) {
            if (errno == EPIPE) endForGoneReader();
            error = reason(name(i), errno);
            return false;
        }
    }
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        Output& o = outputs_[i];
        const int fd = o.fd;
        o.fd = -1;
        if (fd >= 0 && close(fd) != 0) {
            error = reason(name(i), errno);
            return false;
        }
    }
    for (Output& o : outputs_) {
        if (o.temporary.empty()) continue;
        if (rename(o.temporary.c_str(), o.target.c_str()) != 0) {
            error = reason(o.path, errno);
            return false;
        }
        o.temporary.clear();
        release(o);
    }
    for (Output& o : outputs_)
        release(o);
    return true;
}

bool OutputSet::writeWhole(const std::vector<std::vector<std::uint8_t>>& contents, std::string& error) {
    if (!open(error)) return false;
    for (const bool streams : {false, true})
        for (std::size_t i = 0; i < outputs_.size(); ++i)
            if (isStream(i) == streams && !write(i, contents[i].data(), contents[i].size(), error))
                return false;
    return commit(error);
}
