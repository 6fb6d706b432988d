// The kinds of file nibtool writes and the endings that name them: the audio formats render writes (with
// libsndfile), ROM images, C headers; and the endings of other kinds (modules, sound files it does not
// write) that an output must not carry. Endings are matched in any case: OUT.WAV is a WAV file.
#pragma once

#include <string>
#include <vector>

struct AudioFormat {
    const char* name; // as --format names it, and its ending without the dot
    const char* title;
    int sndfile;     // libsndfile's format
    bool exactBytes; // the file stores nibplay's unsigned bytes as they are
    bool streams;    // libsndfile writes it to a pipe (its header does not wait for its length)
};

// The format `name` names ("wav", any case), or null.
const AudioFormat* audioFormatNamed(const std::string& name);
// The format the ending of `path` names, or null.
const AudioFormat* audioFormatOf(const std::string& path);
// Every format's name, for --format.
std::vector<std::string> audioFormatNames();
// "wav, flac, aiff, au, caf, w64, ogg or raw"; with `streaming`, only those that stream; with `dots`,
// as endings (".wav, .flac, ...").
std::string audioFormatList(bool streaming = false, bool dots = false);

// What the ending of `path` names, as a message says it ("a WAV file", "a ROM image", "a C header", "a
// module"), or "" for an ending nibtool does not know.
std::string kindOfEnding(const std::string& path);

// One line when `path` ends in an ending that names another kind of file than `kind` (one of the above),
// suggesting `ending` instead; else "".
std::string endingMismatch(const std::string& path, const std::string& kind, const std::string& ending);
