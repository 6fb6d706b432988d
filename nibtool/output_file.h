// The outputs of one command, written whole or not at all.
//
// Every output is checked before anything is written: against every input and every other output (the
// same file by any name: ./ and .., symbolic links, hard links), and for what the path names. Then:
// - a regular file (or none yet) is written to a temporary file beside it, and all the command's
//   temporary files are renamed into place together once every output is complete, so a failed or
//   interrupted command (SIGINT, SIGTERM, SIGHUP) leaves none of them, and no half file. A file that was
//   there keeps its mode (and its owner, where the user may give it); one the user may not write is
//   refused;
// - a symbolic link is followed: the file it names is replaced, beside that file, and the link stays;
// - a FIFO or a character device (/dev/null, a terminal) is written through as a stream, never
//   replaced; an output that must be seekable (a WAV's header is written last) goes to an anonymous
//   temporary file first and is copied to the stream as the command completes;
// - "-" is standard output, a stream;
// - a folder, a socket or a block device is refused.
//
// Standard error carries diagnostics only: a reader of the report that goes away (`2>&1 | head -1`) costs
// the lines it did not read, never the outputs. So SIGPIPE is ignored and a failed write to standard error
// is passed over, while a stream the data goes to (standard output, a FIFO) whose reader goes away ends
// the command as it ends a pipe's writer, by SIGPIPE, its temporary files removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Called once, before anything is written: SIGPIPE no longer ends the command (see above).
void ignoreBrokenPipes();

// Whether the reader of the pipe or FIFO `fd` writes to has gone away.
bool readerGone(int fd);

// The data's reader went away: removes the temporary files in the making and ends the process by SIGPIPE,
// as a pipe's writer ends.
[[noreturn]] void endForGoneReader();

class OutputSet {
  public:
    enum class Access {
        Sequential, // bytes in order: a stream takes them as they come
        Seekable,   // written with seeks (a header filled in at the end)
    };

    OutputSet() = default;
    ~OutputSet(); // removes every temporary file not committed
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;

    // Names an output; returns its index. `from` is the input it is named after (a file written into a
    // folder), for the message when two inputs would give the same file.
    std::size_t add(const std::string& path, Access access = Access::Sequential,
                    const std::string& from = "");

    // Before anything is written: false with one line in `error` when an output is one of `inputs` or
    // another output, or names what cannot be written (a folder, a socket, a block device).
    bool check(const std::vector<std::string>& inputs, std::string& error);

    // Opens every output: temporary files made, streams opened (a FIFO waits for its reader). False with
    // one line in `error`, having written nothing.
    bool open(std::string& error);

    // Where output `i` is written, once open.
    int fd(std::size_t i) const { return outputs_[i].fd; }
    const std::string& path(std::size_t i) const { return outputs_[i].path; }
    // What messages call output `i`: its path, or "standard output".
    std::string name(std::size_t i) const;
    // Whether output `i` goes to a stream (standard output, a FIFO, a device) rather than a file.
    bool isStream(std::size_t i) const { return outputs_[i].stream; }

    // Writes all of `bytes` to output `i`. False with one line in `error`; a stream whose reader went
    // away ends the command (endForGoneReader).
    bool write(std::size_t i, const void* bytes, std::size_t size, std::string& error);

    // Ends the command if output `i` is a stream whose reader went away (a write to it that failed through
    // a library, whose error is not errno's).
    void endIfReaderGone(std::size_t i) const;

    // Leaves output `i` unwritten (its input failed): its temporary file goes, the target stays as it was.
    void drop(std::size_t i);

    // Completes every output: buffered streams are copied out, then the temporary files are renamed over
    // their targets. False with one line in `error`; the files not yet renamed are then left as they were.
    // A stream whose reader went away ends the command (endForGoneReader).
    bool commit(std::string& error);

    // Opens, writes and commits every output whole: `contents[i]` is output i's bytes (the files are
    // written before the streams, which cannot take theirs back). False with one line in `error`.
    bool writeWhole(const std::vector<std::vector<std::uint8_t>>& contents, std::string& error);

  private:
    struct Output {
        std::string path;   // as given
        std::string target; // the file written: symbolic links followed
        std::string from;
        Access access = Access::Sequential;
        bool stream = false, existed = false;
        unsigned mode = 0, uid = 0, gid = 0; // an existing file's, kept
        int fd = -1;
        int streamFd = -1;     // a stream written through a buffer: the stream itself
        std::string temporary; // the temporary file beside the target
        int slot = -1;         // its place among the files a signal removes
        bool dropped = false;
    };
    bool openOne(Output& o, std::string& error);
    void release(Output& o);
    std::vector<Output> outputs_;
};
