#include "vexo/source/glsl.h"
#include "vexo/framework/glApplication.h"
#include "decoder/myDecoderWindow.h"
#include "core/outputPath.h"
#include "safeload/decodeAhead.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* keepTextureSizeOption = "--keep-texture-size";

// The encoded file's status; a directory or a device is refused here rather
// than read as an image.
bool readFileStatus(const char* path, struct stat& status)
{
    if (stat(path, &status) != 0) {
        std::fprintf(stderr, "pixveil-decode: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        std::fprintf(stderr, "pixveil-decode: cannot read %s: it is not a regular file\n", path);
        return false;
    }
    return true;
}

// The file time only decides where the seed search starts, so one before 1970
// or after 2106 starts it at the nearest end of the seeds.
std::uint32_t readModificationTime(const struct stat& status)
{
    return static_cast<std::uint32_t>(std::clamp<time_t>(status.st_mtime, 0, static_cast<time_t>(UINT32_MAX)));
}

bool readSeedRequest(int argc, char** argv, seedRequest& request)
{
    struct stat status {};
    if (!readFileStatus(argv[1], status))
        return false;
    if (argc == 3) {
        request.given = parseSeed(argv[2], request.seed);
        if (!request.given)
            std::fprintf(stderr, "pixveil-decode: the seed must be a whole number from 0 to 4294967295, not '%s'\n",
                         argv[2]);
        return request.given;
    }
    request.modificationTime = readModificationTime(status);
    return true;
}

// Standard output holds the decoder's result alone; of the shader library's
// messages only its failures are shown, on standard error.
void showShaderFailures(const char* text, bool isFailure)
{
    if (isFailure)
        std::fprintf(stderr, "pixveil-decode: %s", text);
}

} // namespace

// The command line is checked before GLUT starts, so that a wrong one needs no
// display. The option, when given, comes first.
int main(int argc, char** argv)
{
    const bool keepTextureSize = argc > 1 && std::strcmp(argv[1], keepTextureSizeOption) == 0;
    if (keepTextureSize) {
        --argc;
        ++argv;
    }
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: pixveil-decode [%s] ENCODED.bmp [SEED]\n", keepTextureSizeOption);
        return 1;
    }
    char outputPath[pathCapacity];
    if (const char* problem = deriveDecodedPath(argv[1], outputPath)) {
        std::fprintf(stderr, "pixveil-decode: cannot name the output: %s\n", problem);
        return 1;
    }
    seedRequest request;
    if (!readSeedRequest(argc, argv, request))
        return 1;
    vexo::setMessageSink(showShaderFailures);
    auto* application = new vexo::glApplication;
    new myDecoderWindow(argv[1], request, keepTextureSize);
    // The window's context is current: the encoded image decodes in its
    // sandboxed child, forked here on the main thread, while GLUT starts its
    // loop and the window builds its programs.
    startImageDecode(argv[1]);
    application->run();
    delete application;
    return 0;
}
