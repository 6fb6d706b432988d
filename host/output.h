// Writing whole blocks to a file descriptor.
#pragma once

#include <cstddef>

enum class WriteResult {
    Done,       // every byte was written
    ReaderGone, // the reader of a pipe went away (EPIPE, with SIGPIPE ignored)
    Failed,     // any other error; errno tells which
};

// Writes all `size` bytes, resuming after partial writes and interrupted calls.
WriteResult writeAll(int fd, const void* data, std::size_t size);
