#include "tests/encoder/encoderTestSupport.h"

#include "core/noise.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

std::uint32_t readLittleEndian(const std::string& bytes, std::size_t offset, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

std::string describeField(const char* name, std::uint32_t actual, std::uint32_t expected)
{
    return std::string(name) + " is " + std::to_string(actual) + ", expected " + std::to_string(expected);
}

unsigned char rotateLeft(unsigned char value, int shift)
{
    return static_cast<unsigned char>((value << shift) | (value >> (8 - shift)));
}

} // namespace

processResult runProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         const std::string& directory)
{
    char outName[] = "/tmp/pixveil-test-out-XXXXXX";
    char errName[] = "/tmp/pixveil-test-err-XXXXXX";
    const int outFile = mkstemp(outName);
    const int errFile = mkstemp(errName);
    const pid_t child = fork();
    if (child == 0) {
        dup2(outFile, STDOUT_FILENO);
        dup2(errFile, STDERR_FILENO);
        const int noInput = open("/dev/null", O_RDONLY);
        dup2(noInput, STDIN_FILENO);
        for (const std::string& entry : environment)
            putenv(strdup(entry.c_str()));
        if (!directory.empty() && chdir(directory.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    close(outFile);
    close(errFile);

    processResult result;
    result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
    result.out = readFile(outName);
    result.err = readFile(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

std::vector<std::string> pinnedClock(const std::string& fakeTime, const std::string& extraPreload)
{
    std::string preload = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (!extraPreload.empty())
        preload += ":" + extraPreload;
    // Under AddressSanitizer the sanitizer's runtime is no longer first in the
    // library list once something is preloaded; that is harmless here.
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = sanitizerOptions ? sanitizerOptions : "";
    asanOptions += (asanOptions.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    return {"LD_PRELOAD=" + preload, "FAKETIME=" + fakeTime, "TZ=UTC", "ASAN_OPTIONS=" + asanOptions};
}

scratchDirectory::scratchDirectory()
{
    char name[] = "/tmp/pixveil-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("cannot make a scratch directory");
    directory = name;
}

scratchDirectory::~scratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

void makeImage(int width, int height, const std::vector<std::string>& options, const std::string& output)
{
    std::vector<std::string> arguments = {"/usr/bin/convert", "-size", std::to_string(width) + "x" + std::to_string(height),
                                          "-seed", "4242", "plasma:fractal", "-depth", "8"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(output);
    const processResult result = runProcess(arguments);
    if (result.status != 0)
        throw std::runtime_error("convert failed for " + output + ": " + result.err);
}

bool fileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> listDirectory(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    return names;
}

rgbImage readBmp(const std::string& path, std::string& layoutProblem)
{
    layoutProblem.clear();
    const std::string bytes = readFile(path);
    rgbImage image;
    if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0) {
        layoutProblem = "no BMP header";
        return image;
    }
    const std::uint32_t width = readLittleEndian(bytes, 18, 4);
    const std::uint32_t height = readLittleEndian(bytes, 22, 4);
    const std::uint32_t padding = width & 3u;
    const std::uint64_t rowSize = 3ull * width + padding;
    const std::uint64_t fileSize = 54 + rowSize * height;

    const struct {
        const char* name;
        std::size_t offset;
        int size;
        std::uint64_t expected;
    } fields[] = {
        {"file size field", 2, 4, fileSize},  {"reserved fields", 6, 4, 0},  {"pixel offset", 10, 4, 54},
        {"info header size", 14, 4, 40},      {"planes", 26, 2, 1},          {"bits per pixel", 28, 2, 24},
        {"compression", 30, 4, 0},            {"image size", 34, 4, 0},      {"horizontal resolution", 38, 4, 0},
        {"vertical resolution", 42, 4, 0},    {"colours used", 46, 4, 0},    {"important colours", 50, 4, 0},
    };
    for (const auto& field : fields) {
        const std::uint32_t actual = readLittleEndian(bytes, field.offset, field.size);
        if (layoutProblem.empty() && actual != field.expected)
            layoutProblem = describeField(field.name, actual, static_cast<std::uint32_t>(field.expected));
    }
    if (layoutProblem.empty() && bytes.size() != fileSize)
        layoutProblem = describeField("file length", static_cast<std::uint32_t>(bytes.size()),
                                      static_cast<std::uint32_t>(fileSize));
    if (!layoutProblem.empty())
        return image;

    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.rgb.resize(3ull * width * height);
    // Rows are stored bottom row first, each pixel as blue, green, red.
    for (std::uint32_t fileRow = 0; fileRow < height; ++fileRow) {
        const std::size_t rowStart = 54 + fileRow * rowSize;
        const std::uint32_t imageRow = height - 1 - fileRow;
        for (std::uint32_t x = 0; x < width; ++x) {
            for (int channel = 0; channel < 3; ++channel)
                image.rgb[(std::size_t{imageRow} * width + x) * 3 + channel] = bytes[rowStart + x * 3 + 2 - channel];
        }
        for (std::uint32_t p = 0; p < padding; ++p) {
            if (layoutProblem.empty() && bytes[rowStart + 3ull * width + p] != 0)
                layoutProblem = "non-zero padding byte in file row " + std::to_string(fileRow);
        }
    }
    return image;
}

rgbImage referenceTexture(const std::string& imagePath)
{
    scratchDirectory scratch;
    const std::string output = scratch.file("texture.raw");
    const processResult result = runProcess({PIXVEIL_REFERENCE_TEXTURE, imagePath, output});
    if (result.status != 0)
        throw std::runtime_error("reference texture failed for " + imagePath + ": " + result.err);
    const std::string bytes = readFile(output);
    std::istringstream header(bytes);
    rgbImage image;
    header >> image.width >> image.height;
    const std::size_t start = bytes.find('\n') + 1;
    image.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    if (image.rgb.size() != 3ull * image.width * image.height)
        throw std::runtime_error("reference texture has the wrong size for " + imagePath);
    return image;
}

encodingCheck checkEncoding(const rgbImage& input, const rgbImage& output, std::uint32_t seed)
{
    encodingCheck check;
    if (input.width != output.width || input.height != output.height) {
        check.wrongPixels = static_cast<std::size_t>(-1);
        return check;
    }
    std::vector<unsigned char> noise(input.rgb.size());
    fillNoise(noise.data(), noise.size(), seed);
    const std::size_t pixels = input.rgb.size() / 3;
    for (std::size_t pixel = 0; pixel < pixels; ++pixel) {
        const std::size_t at = pixel * 3;
        int shiftFound = -1;
        for (int shift = 0; shift < 8 && shiftFound < 0; ++shift) {
            bool all = true;
            for (int channel = 0; channel < 3; ++channel)
                all = all && (output.rgb[at + channel] ^ noise[at + channel]) == rotateLeft(input.rgb[at + channel], shift);
            if (all)
                shiftFound = shift;
        }
        if (shiftFound < 0)
            ++check.wrongPixels;
        else
            check.shiftsUsed.set(static_cast<std::size_t>(shiftFound));
    }
    return check;
}

std::uint32_t findSeed(const rgbImage& input, const rgbImage& output, std::uint32_t first, std::uint32_t last)
{
    // A wrong seed fails on the first few pixels already; only the seed that
    // explains them is checked in full.
    rgbImage inputCorner = input;
    rgbImage outputCorner = output;
    const std::size_t cornerBytes = std::min<std::size_t>(input.rgb.size(), 3 * 64);
    inputCorner.rgb.resize(cornerBytes);
    outputCorner.rgb.resize(std::min(cornerBytes, output.rgb.size()));
    for (std::uint32_t seed = first; seed <= last; ++seed) {
        if (checkEncoding(inputCorner, outputCorner, seed).wrongPixels == 0)
            return checkEncoding(input, output, seed).wrongPixels == 0 ? seed : 0;
    }
    return 0;
}
