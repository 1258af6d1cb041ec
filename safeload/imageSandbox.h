#pragma once

#include "base/fileDescriptor.h"
#include "base/mallocBlock.h"
#include "base/memoryMapping.h"
#include "base/ownedChild.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Decodes untrusted image bytes with an image decoder (SOIL's, or one chosen by
// formats/imageFormats.h) in a forked child process that runs with CPU,
// wall-clock and memory limits, without core dumps, with every inherited file
// descriptor above standard error closed, and under a seccomp filter that
// allows only memory management, writing to standard error, the one byte that
// says its pixels are ready, waiting, and ending itself: it cannot open files
// or sockets or start programs (nor, unless its decoder needs them, threads).
//
// When the child has decoded, it reports the sizes and where its pixels are
// and waits. The parent checks the sizes, reads the pixels straight from the
// child's memory and kills it; the child's exit then overlaps the texture
// upload, and it is reaped when the result is destroyed. Where the system does
// not let one process read another's memory, the parent asks the child to
// copy the pixels into a shared mapping made before the fork and reads them
// once the child has gone. The parent trusts none of the sizes the child
// reports without checking them.

struct sandboxLimits {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    uint64_t memoryBytes = 0; // address space the decoder may add to what it inherits
};

// Limits for a file of the given size. An 8-bit image has at most about 1032
// pixels per byte of file (an 8-bit PNG at deflate's best ratio); a file is
// credited sixteen times that, 16384 pixels per byte, up to the largest
// texture the driver takes, and the limits grow with that credit from a small
// base: a file of a few bytes gets about a second of CPU time and 256 MiB.
sandboxLimits sandboxLimitsForFile(uint64_t fileBytes, uint32_t maxTextureSize);

// Largest texel count a file of the given size is credited with.
uint64_t creditedPixels(uint64_t fileBytes, uint32_t maxTextureSize);

// Whether decoded sizes describe pixels that can be read: at least 1 x 1
// texel, 1 to 4 channels, and no more than pixelCapacity bytes of pixels.
bool decodedSizeFits(int width, int height, int channels, uint64_t pixelCapacity);

// The reason given for decoded sizes beyond pixelCapacity, which the loader
// sets from its texture area: 4 bytes for each texel.
std::string oversizedImageReason(uint64_t width, uint64_t height, int channels, uint64_t pixelCapacity);

// The function run in the child: SOIL_load_image_from_memory's contract. On
// failure it returns null and sets failureReason (which may stay null).
using imageDecodeFunction = unsigned char* (*)(const unsigned char* bytes, int length, int* width,
    int* height, int* channels, const char** failureReason);

// SOIL_load_image_from_memory with SOIL_LOAD_AUTO, and SOIL_last_result as the reason.
unsigned char* decodeWithSoil(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);

class startedSandboxDecode;

// The decoded image, owned: the pixels live in the shared mapping, or in
// private memory they were read into, until this object is destroyed. width,
// height and channels are as the child reported them; check them before use
// (decodedSizeFits).
class sandboxDecodeResult {
public:
    sandboxDecodeResult() = default;
    sandboxDecodeResult(sandboxDecodeResult&&) = default;
    sandboxDecodeResult& operator=(sandboxDecodeResult&&) = default;

    bool decoded = false;
    std::string failureReason;
    int width = 0;
    int height = 0;
    int channels = 0;
    const unsigned char* pixels = nullptr;
    uint64_t pixelCapacity = 0; // bytes available at pixels

private:
    friend class startedSandboxDecode;
    friend sandboxDecodeResult finishDecodeInSandbox(startedSandboxDecode& started);

    // What holds the pixels: the shared area, or private memory they were
    // read into from the child; and the child, killed once its pixels were
    // read, whose exit overlaps the texture upload until it is reaped here.
    memoryMapping sharedArea;
    mallocBlock privatePixels;
    ownedChild lingeringChild;
};

// What a decoder needs beyond the strict filter. prepare runs in the child
// before the filter goes on, for libraries whose first use makes system calls
// the filter forbids. threadsAllowed lets the child start threads and wait on
// them (libheif starts threads whatever it is told), still without files,
// sockets or programs.
struct decoderConfinement {
    void (*prepare)() = nullptr;
    bool threadsAllowed = false;
};

// A decode running in its sandboxed child while the caller does other work:
// startDecodeInSandbox forks the child, finishDecodeInSandbox waits for it and
// takes its pixels. The wall-clock limit counts from the fork. An unfinished
// decode that is destroyed kills and reaps its child.
class startedSandboxDecode {
public:
    startedSandboxDecode() = default;
    // A decode that failed before it could start.
    explicit startedSandboxDecode(std::string failureReason);
    startedSandboxDecode(startedSandboxDecode&&) = default;
    startedSandboxDecode& operator=(startedSandboxDecode&&) = default;

    // The child's process, and the reading end of the pipe on which it says
    // that its pixels are ready; -1 for a decode that never started or was
    // finished.
    pid_t childId() const { return child.id(); }
    int readyDescriptor() const { return readyPipe.get(); }
    // finishDecodeInSandbox takes only what the child reported by then.
    void setDeadline(std::chrono::steady_clock::time_point time) { deadline = time; }

private:
    friend startedSandboxDecode startDecodeInSandbox(const unsigned char* bytes, size_t length,
        const sandboxLimits& limits, uint64_t pixelCapacity, imageDecodeFunction decode,
        const decoderConfinement& confinement);
    friend sandboxDecodeResult finishDecodeInSandbox(startedSandboxDecode& started);

    // The shared area, reserved for the child before it starts.
    startedSandboxDecode(memoryMapping sharedArea, uint64_t pixelCapacity);

    sandboxDecodeResult result;
    ownedChild child;
    fileDescriptor processEnd; // a pidfd; not open on kernels without pidfd_open
    fileDescriptor readyPipe;
    std::chrono::steady_clock::time_point deadline;
};

// Runs decode on the bytes in a sandboxed child. pixelCapacity is the most
// pixel bytes taken from the child, and what the shared mapping holds (it is
// reserved, not committed). A child that crashes, is killed, runs out of time
// or memory gives decoded == false and a reason that says which.
sandboxDecodeResult decodeImageInSandbox(const unsigned char* bytes, size_t length,
    const sandboxLimits& limits, uint64_t pixelCapacity, imageDecodeFunction decode = decodeWithSoil,
    const decoderConfinement& confinement = {});

// decodeImageInSandbox in two halves. Call both on the same thread, which must
// outlive the child: the child is killed when the thread that forked it ends.
// The bytes are needed only until startDecodeInSandbox returns.
startedSandboxDecode startDecodeInSandbox(const unsigned char* bytes, size_t length, const sandboxLimits& limits,
    uint64_t pixelCapacity, imageDecodeFunction decode = decodeWithSoil, const decoderConfinement& confinement = {});
sandboxDecodeResult finishDecodeInSandbox(startedSandboxDecode& started);

// For a program that decodes image after image: from here on the children are
// cloned from a small process forked now (childSpawner.h), so that they share
// none of the pages the program writes later. Call it from the main thread
// while the program is still small; it ends with the program. Decodes fall
// back to forking when it could not start or has gone. The children are the
// program's own either way.
bool startDecoderSpawner();
void stopDecoderSpawner();
