// Image-load benchmark helper, built by bench/load-bench/run.
//   loadBench compare IMAGE ROUNDS   load time through the sandboxed loader vs SOIL's direct load,
//                                    and the decode alone with SOIL's decoder vs the loader's
//   loadBench cost IMAGE...          what decoding each image costs against the decoder's limits
#include "base/limits.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"
#include "safeload/safeImageLoad.h"
#include "texture/soilTexture.h"

#include <GL/freeglut.h>
#include <SOIL/SOIL.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Load>
double timeLoad(Load load)
{
    auto start = std::chrono::steady_clock::now();
    GLuint texture = load();
    glFinish();
    double seconds = secondsSince(start);
    if (texture == 0)
        std::fprintf(stderr, "load failed\n");
    glDeleteTextures(1, &texture);
    return seconds;
}

std::vector<unsigned char> readBytes(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool soilReads(const std::vector<unsigned char>& bytes)
{
    int width = 0, height = 0, channels = 0;
    unsigned char* pixels =
        SOIL_load_image_from_memory(bytes.data(), int(bytes.size()), &width, &height, &channels, 0);
    SOIL_free_image_data(pixels);
    return pixels != nullptr;
}

// The decode alone, in the sandboxed child, without the upload.
double timeDecode(const std::vector<unsigned char>& bytes, imageDecodeFunction decode,
    const decoderConfinement& confinement)
{
    auto start = std::chrono::steady_clock::now();
    sandboxDecodeResult image = decodeImageInSandbox(bytes.data(), bytes.size(),
        sandboxLimitsForFile(bytes.size(), largestTextureSide), largestTextureBytes, decode, confinement);
    if (!image.decoded)
        std::fprintf(stderr, "decode failed: %s\n", image.failureReason.c_str());
    return secondsSince(start);
}

// Load time through the sandboxed loader against SOIL's direct load where SOIL
// reads the file; where the loader's decoder is not SOIL's, also the decode
// alone in the sandbox with each.
int compare(const char* path, int rounds)
{
    const std::vector<unsigned char> bytes = readBytes(path);
    const imageDecoderChoice choice = chooseImageDecoder(bytes.data(), bytes.size());
    const bool soil = soilReads(bytes);
    const bool ownDecoder = soil && choice.decode && choice.decode != decodeWithSoil;
    std::vector<double> direct, safe, soilDecode, ownDecode;
    for (int round = 0; round < rounds; ++round) {
        if (soil)
            direct.push_back(timeLoad(
                [&] { return SOIL_load_OGL_texture(path, SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, imageTextureFlags); }));
        safe.push_back(timeLoad([&] {
            std::string reason;
            return loadImageTextureSafely(path, reason);
        }));
        if (ownDecoder) {
            soilDecode.push_back(timeDecode(bytes, decodeWithSoil, {}));
            ownDecode.push_back(timeDecode(bytes, choice.decode, choice.confinement));
        }
    }
    if (soil)
        std::printf("%-22s direct %7.3f s  sandboxed %7.3f s  ratio %.3f", path, median(direct), median(safe),
            median(safe) / median(direct));
    else
        std::printf("%-22s SOIL cannot read it  sandboxed %7.3f s", path, median(safe));
    if (ownDecoder)
        std::printf("  | decode alone: SOIL %7.3f s, ours %7.3f s, ratio %.3f", median(soilDecode),
            median(ownDecode), median(ownDecode) / median(soilDecode));
    std::printf("\n");
    return 0;
}

unsigned long long statusField(const char* name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0)
            return std::stoull(line.substr(std::strlen(name))) * 1024;
    return 0;
}

// Decodes with the decoder the loader chooses, in a child without limits, and
// reports CPU time and the address space the decode added, as fractions of the
// limits a file of this size gets.
int cost(const char* path)
{
    const std::vector<unsigned char> bytes = readBytes(path);
    sandboxLimits limits = sandboxLimitsForFile(bytes.size(), largestTextureSide);
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        unsigned long long before = statusField("VmSize:");
        int width = 0, height = 0, channels = 0;
        const char* reason = nullptr;
        imageDecoderChoice choice = chooseImageDecoder(bytes.data(), bytes.size());
        if (choice.confinement.prepare)
            choice.confinement.prepare();
        unsigned char* pixels = choice.decode
            ? choice.decode(bytes.data(), int(bytes.size()), &width, &height, &channels, &reason)
            : nullptr;
        unsigned long long added = statusField("VmPeak:") - before;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
            usage.ru_stime.tv_usec / 1e6;
        std::printf("%-28s %5d x %-5d %d ch  %10zu bytes  cpu %6.2f s (%3.0f%% of %5.1f s)  memory %5.0f MiB "
                    "(%3.0f%% of "
                    "%5.0f MiB)%s\n",
            path, width, height, channels, bytes.size(), cpu, 100 * cpu / limits.cpuSeconds,
            limits.cpuSeconds, added / 1048576.0, 100.0 * added / limits.memoryBytes,
            limits.memoryBytes / 1048576.0, pixels ? "" : "  FAILED");
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "compare") == 0) {
        glutInit(&argc, argv);
        glutInitDisplayMode(GLUT_RGBA);
        glutCreateWindow("load-bench");
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        return compare(argv[2], std::atoi(argv[3]));
    }
    if (argc >= 3 && std::strcmp(argv[1], "cost") == 0) {
        for (int i = 2; i < argc; ++i)
            cost(argv[i]);
        return 0;
    }
    std::fprintf(stderr, "usage: loadBench compare IMAGE ROUNDS | loadBench cost IMAGE...\n");
    return 2;
}
