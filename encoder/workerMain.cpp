// pixveil-worker: the encoder for a batch, one file after another in one
// process, so that a batch pays the program's start-up (its libraries, the X
// connection, Mesa's rasterizer) once per worker instead of once per file.
//
//   pixveil-worker FOLDER
//
// Reads records "INDEX\0PATH\0" from standard input. Each file is encoded as
// `pixveil PATH` encodes it, with its standard output and error going to
// FOLDER/INDEX, and a line "INDEX STATUS" written to descriptor 3 once it is
// done. A file that ends the program (GLUT's fatal error for an image that
// cannot be loaded, a failed save) ends the worker too, with the status the
// program would have ended with; the launcher counts it for the file it had
// sent and starts another worker for the rest. The worker ends with status 0
// at the end of its input or at an empty record ("\0\0").

#include "base/livesUntilExit.h"
#include "encoder/myApplication.h"
#include "encoder/myWindow.h"
#include "safeload/imageSandbox.h"

#include <GL/freeglut.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

constexpr int replyDescriptor = 3;

bool readField(std::string& field)
{
    return static_cast<bool>(std::getline(std::cin, field, '\0'));
}

// Standard output and error go to the file's own output from here on.
bool redirectOutputTo(const std::string& path)
{
    std::cout.flush();
    std::fflush(stdout);
    const int output = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (output < 0)
        return false;
    const bool redirected = dup2(output, STDOUT_FILENO) >= 0 && dup2(output, STDERR_FILENO) >= 0;
    close(output);
    return redirected;
}

void reply(const std::string& index, int status)
{
    std::cout.flush();
    std::fflush(stdout);
    const std::string line = index + " " + std::to_string(status) + "\n";
    if (write(replyDescriptor, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        std::_Exit(1);
}

// What `pixveil PATH` does after its argument count is checked, up to the
// end of its window; the shader library checks and reports the driver's
// support again, as it does in every program's first window.
int encode(const char* path)
{
    vexo::extensionsLoaded = false;
    vexo::shadingLanguageReady = false;
    if (!openEncodingWindow(path))
        return 1;
    while (glutGetWindow() != 0)
        glutMainLoopEvent();
    return 0;
}

// Each file's textures, buffers and pixels are about the size of the last
// one's. glibc would give large blocks back to the system when they are freed
// and take fresh ones, zeroed page by page in faults, for the next file; kept,
// they serve file after file. Blocks beyond glibc's largest threshold (32 MiB,
// a 2896² RGBA texture) still come and go on their own.
void keepFreedMemoryForTheNextFile()
{
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pixveil-worker FOLDER\n");
        return 2;
    }
    startDecoderSpawner();
    keepFreedMemoryForTheNextFile();
    auto* application = new myApplication;
    livesUntilExit(application);
    const std::string folder = argv[1];
    std::string index, path;
    while (readField(index) && readField(path) && !index.empty()) {
        if (!redirectOutputTo(folder + "/" + index))
            return 1;
        reply(index, encode(path.c_str()));
    }
    return 0;
}
