// pixveil-worker: the encoder for a batch, one file after another in one
// process, so that a batch pays the program's start-up (its libraries, the X
// connection, Mesa's rasterizer) once per worker instead of once per file.
//
//   pixveil-worker [-O FOLDER]
//
// Reads requests from standard input and answers each on descriptor 3, as
// core/workerProtocol.h frames them. Each file is encoded as `pixveil PATH`
// (or `pixveil -O FOLDER PATH`) encodes it; its messages go to the worker's
// standard output and error, which the supervisor reads as that file's until
// the reply. A file that ends the program (GLUT's fatal error for an image
// that cannot be loaded, a failed save) ends the worker too, with the status
// the program would have ended with; the supervisor counts it for the file it
// had sent and starts another worker for the rest. The worker ends with
// status 0 at the end of its input.

#include "base/exitStatus.h"
#include "base/livesUntilExit.h"
#include "base/standardDescriptors.h"
#include "core/outputPath.h"
#include "core/workerProtocol.h"
#include "encoder/myApplication.h"
#include "encoder/myWindow.h"
#include "safeload/imageSandbox.h"
#include "vexo/reset/programState.h"

#include <GL/freeglut.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace {

// The next request, or nothing at the end of the input. A request that is
// not one ends the worker: the supervisor never sends such a thing.
std::optional<workerProtocol::request> readNextRequest(workerProtocol::recordReader& reader)
{
    while (true) {
        if (auto record = reader.next()) {
            if (auto request = workerProtocol::readRequest(*record))
                return request;
            std::fprintf(stderr, "pixveil-worker: a request that is not one\n");
            std::_Exit(exitStatus::failure);
        }
        char bytes[4096];
        const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !reader.add(bytes, std::size_t(got)))
            return std::nullopt;
    }
}

// Written once the file's messages are out, so that the supervisor, reading
// the reply, finds all of them already in its pipe.
void reply(std::size_t index, int status)
{
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    const std::string message = workerProtocol::encodeReply(index, status);
    if (write(workerProtocol::replyDescriptor, message.data(), message.size()) != ssize_t(message.size()))
        std::_Exit(exitStatus::failure);
}

// What `pixveil PATH` does after its command line is checked, up to the end
// of its window. The framework and the shader library start each file as they
// start a program: the driver's support is checked and reported again, as in
// every program's first window.
int encode(const char* path, const char* outputFolder)
{
    vexo::resetProgramState();
    if (!openEncodingWindow(path, outputFolder))
        return exitStatus::failure;
    while (glutGetWindow() != 0)
        glutMainLoopEvent();
    return exitStatus::success;
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
    openClosedStandardDescriptors();
    const char* outputFolder = nullptr;
    if (argc == 3 && isOutputFolderOption(argv[1])) {
        outputFolder = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: pixveil-worker [-O FOLDER]\n");
        return exitStatus::usage;
    }
    startDecoderSpawner();
    keepFreedMemoryForTheNextFile();
    auto* application = new myApplication;
    livesUntilExit(application);
    workerProtocol::recordReader requests;
    while (auto request = readNextRequest(requests))
        reply(request->index, encode(request->path.c_str(), outputFolder));
    return exitStatus::success;
}
