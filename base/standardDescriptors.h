#pragma once

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Opens /dev/null on each of standard input, output and error that the
// program was started without (`pixveil photo.png >&-`): read-only for input,
// write-only for the two outputs. The system hands out the lowest free
// descriptor, so otherwise the next file opened, the X connection above all,
// would take a closed one's place, and the program's own output would be
// written into it (the X server then waits for the rest of a request that
// never comes, and the program for its reply). Call it first thing in main,
// before anything opens a descriptor. A descriptor that cannot be opened is
// left closed: nothing better can be done for it.
inline void openClosedStandardDescriptors()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower ones are open by now, so this is the lowest free
        // descriptor and open() returns it; dup2 only guards that.
        const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            dup2(opened, descriptor);
            close(opened);
        }
    }
}
