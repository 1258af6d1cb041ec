#include "vexo/source/glsl.h"
#include "vexo/framework/glApplication.h"
#include "base/exitStatus.h"
#include "base/livesUntilExit.h"
#include "base/standardDescriptors.h"
#include "decoder/myDecoderWindow.h"
#include "decoder/decodedOutput.h"
#include "core/atomicOutput.h"
#include "core/outputPath.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* keepTextureSizeOption = "--keep-texture-size";
constexpr const char* bmpOption = "--bmp";
constexpr const char* outputOption = "-o";

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

// What the command line asks for.
struct commandLine {
    bool keepTextureSize = false;
    bool bmp = false;
    const char* outputName = nullptr; // -o FILE, "-" for standard output
    const char* outputFolder = nullptr; // -O DIR: the output's usual name, in DIR
    std::vector<const char*> operands; // ENCODED [SEED]
};

// Options may come in any order before the encoded file; false after the
// usage line when the command line is wrong.
bool readCommandLine(int argc, char** argv, commandLine& line)
{
    int index = 1;
    for (; index < argc && argv[index][0] == '-' && argv[index][1] != '\0'; ++index) {
        if (std::strcmp(argv[index], keepTextureSizeOption) == 0) {
            line.keepTextureSize = true;
        } else if (std::strcmp(argv[index], bmpOption) == 0) {
            line.bmp = true;
        } else if (std::strcmp(argv[index], outputOption) == 0 && index + 1 < argc) {
            line.outputName = argv[++index];
        } else if (isOutputFolderOption(argv[index]) && index + 1 < argc) {
            line.outputFolder = argv[++index];
        } else if (std::strcmp(argv[index], "--") == 0) {
            ++index;
            break;
        } else {
            break;
        }
    }
    for (; index < argc; ++index)
        line.operands.push_back(argv[index]);
    if (line.operands.size() != 1 && line.operands.size() != 2) {
        std::fprintf(stderr, "usage: pixveil-decode [%s] [%s] [%s FILE | %s DIR] ENCODED.bmp [SEED]\n",
                     keepTextureSizeOption, bmpOption, outputOption, outputFolderOption);
        return false;
    }
    if (line.outputName != nullptr && line.outputFolder != nullptr) {
        std::fprintf(stderr, "pixveil-decode: %s FILE names the output itself; it cannot be combined with %s DIR\n",
                     outputOption, outputFolderOption);
        return false;
    }
    return true;
}

// The output the command line names: -o FILE (BMP for a name ending in .bmp
// or with --bmp, else PNG; "-" for PNG on standard output), or beside the
// input or in the folder of -O DIR, PNG unless --bmp. False after one line
// when it cannot be.
bool chooseOutput(const commandLine& line, decodedOutput& output)
{
    if (line.outputFolder != nullptr) {
        const std::string problem = outputFolderProblem(line.outputFolder);
        if (!problem.empty()) {
            std::fprintf(stderr, "pixveil-decode: the output folder %s cannot be used: %s\n", line.outputFolder,
                         problem.c_str());
            return false;
        }
    }
    if (line.outputName != nullptr && std::strcmp(line.outputName, "-") == 0) {
        if (!line.bmp)
            return true;
        std::fprintf(stderr, "pixveil-decode: standard output (-o -) takes PNG only, not %s\n", bmpOption);
        return false;
    }
    char path[pathCapacity];
    std::string problem;
    bool named = false;
    if (line.outputName != nullptr) {
        named = checkOutputPath(line.outputName, problem);
        output.path = line.outputName;
        output.kind = line.bmp ? decodedOutput::format::bmp : formatOfName(output.path);
    } else {
        output.kind = line.bmp ? decodedOutput::format::bmp : decodedOutput::format::png;
        named = deriveDecodedPath(line.operands[0], path, line.bmp ? ".bmp" : ".png", problem)
                && (line.outputFolder == nullptr || placeInFolder(path, line.outputFolder, problem));
        output.path = path;
    }
    if (named)
        return true;
    std::fprintf(stderr, "pixveil-decode: cannot name the output: %s\n", problem.c_str());
    return false;
}

// An output file that is the input itself, by any name (the same one, a
// hard link, a symbolic link to it), would have the encoding replaced by its
// picture; true after one line when it is.
bool outputIsTheInput(const decodedOutput& output, const struct stat& input)
{
    struct stat existing {};
    if (output.toStandardOutput() || stat(output.path.c_str(), &existing) != 0 || existing.st_dev != input.st_dev ||
        existing.st_ino != input.st_ino)
        return false;
    std::fprintf(stderr, "pixveil-decode: the output %s is the input itself; decoding would replace the encoding\n",
                 output.path.c_str());
    return true;
}

bool readSeedRequest(const commandLine& line, const struct stat& status, seedRequest& request)
{
    if (line.operands.size() == 2) {
        request.given = parseSeed(line.operands[1], request.seed);
        if (!request.given)
            std::fprintf(stderr, "pixveil-decode: the seed must be a whole number from 0 to 4294967295, not '%s'\n",
                         line.operands[1]);
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
// display.
int main(int argc, char** argv)
{
    openClosedStandardDescriptors();
    commandLine line;
    decodedOutput output;
    seedRequest request;
    struct stat input {};
    if (!readCommandLine(argc, argv, line) || !chooseOutput(line, output) || !readFileStatus(line.operands[0], input))
        return exitStatus::failure;
    if (outputIsTheInput(output, input))
        return exitStatus::usage;
    if (!readSeedRequest(line, input, request))
        return exitStatus::failure;
    vexo::setMessageSink(showShaderFailures);
    auto* application = new vexo::glApplication;
    // GLUT ends the process from inside its loop, so nothing deletes it.
    livesUntilExit(application);
    new myDecoderWindow(line.operands[0], request, line.keepTextureSize, output);
    application->run();
    delete application;
    return exitStatus::success;
}
