// nibtool play needs a sound device and child processes; in the page, the page itself plays (its audio
// worklet runs the same player). The command line answers so.
#include <cerrno>

#include "nibtool/commands.h"

int runPlay(const std::vector<std::string>&) {
    return fail("play: in the page, choose a file and press play");
}

// play's children ask the kernel to end them with their parent; the page starts no children.
extern "C" int prctl(int, ...) {
    errno = ENOSYS;
    return -1;
}
