#include "output.h"

#include <cerrno>
#include <unistd.h>

WriteResult writeAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EPIPE ? WriteResult::ReaderGone : WriteResult::Failed;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return WriteResult::Done;
}
