// Both sides of the fork live in this one file: the child and the parent share
// the layout of the decode header and the order of the hand-over (decode,
// report, wait, be read or copy, be killed), which is checked by reading the
// two halves side by side. What the child does to itself first is in
// childConfinement.cpp, and the spawner that clones children for a program
// that decodes image after image in childSpawner.cpp.

#include "safeload/imageSandbox.h"

#include "base/hugePages.h"
#include "base/limits.h"
#include "safeload/childConfinement.h"
#include "safeload/childSpawner.h"
#include "safeload/formats/decodedImage.h"

#include <SOIL/SOIL.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// Measured on 16384 x 16384 images (bench/load-bench/run --limits): the
// slowest and hungriest decode, Radiance HDR, takes about 17 s of CPU time and
// 3840 MiB, 15 bytes per texel (its float pixels and the bytes made from them
// at once); an RGB PNG takes 7 s and 2072 MiB. The limits for the largest
// texture, 33 s and 5376 MiB, leave about twice that.
constexpr double baseCpuSeconds = 1.0;
constexpr double cpuSecondsPerPixel = 120e-9;
constexpr uint64_t baseMemoryBytes = 256ull << 20;
constexpr uint64_t memoryBytesPerPixel = 20;

// decodedInChild: the pixels are still in the child's own memory, at
// pixelAddress; the child waits until the parent has read them from there, or
// has set copyRequested and woken it to copy them into the shared area.
enum class decodeOutcome : uint32_t { none, decoded, decodedInChild, failed, outOfMemory };

struct sharedDecodeArea {
    decodeOutcome outcome;
    int32_t width;
    int32_t height;
    int32_t channels;
    uint64_t pixelAddress;
    uint32_t copyRequested;
    char reason[decodeReasonCapacity];
};

// The pixels start one page into the mapping.
constexpr size_t headerLength = 4096;
static_assert(sizeof(sharedDecodeArea) <= headerLength, "the decode header must fit its page");

void setReason(sharedDecodeArea& area, decodeOutcome outcome, const char* reason)
{
    area.outcome = outcome;
    std::snprintf(area.reason, sizeof area.reason, "%s", reason);
}

size_t pixelBytes(int width, int height, int channels)
{
    return size_t(width) * size_t(height) * size_t(channels);
}

// Decodes and checks the sizes: the pixels (to be freed) with the sizes in the
// header, or null with the outcome and reason set there.
unsigned char* decodeAndCheck(const unsigned char* bytes, int length, imageDecodeFunction decode,
    sharedDecodeArea& header, uint64_t pixelCapacity)
{
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    unsigned char* pixels = decode(bytes, length, &width, &height, &channels, &reason);
    if (!pixels) {
        // SOIL's decoders report every allocation they check with this text,
        // and ours share it.
        if (reason && std::strcmp(reason, outOfMemoryReason) == 0)
            setReason(header, decodeOutcome::outOfMemory, reason);
        else
            setReason(header, decodeOutcome::failed, reason ? reason : "the image decoder gave no reason");
        return nullptr;
    }
    if (!decodedSizeFits(width, height, channels, pixelCapacity)) {
        setReason(header, decodeOutcome::failed,
            oversizedImageReason(uint64_t(width), uint64_t(height), channels, pixelCapacity).c_str());
        std::free(pixels);
        return nullptr;
    }
    header.width = width;
    header.height = height;
    header.channels = channels;
    return pixels;
}

} // namespace

bool decodedSizeFits(int width, int height, int channels, uint64_t pixelCapacity)
{
    return width > 0 && height > 0 && channels >= 1 && channels <= 4 &&
        uint64_t(width) * uint64_t(height) * uint64_t(channels) <= pixelCapacity;
}

uint64_t creditedPixels(uint64_t fileBytes, uint32_t maxTextureSize)
{
    uint64_t largestTexture = uint64_t(maxTextureSize) * maxTextureSize;
    if (fileBytes >= largestTexture / pixelsCreditedPerFileByte + 1)
        return largestTexture;
    return std::min(fileBytes * pixelsCreditedPerFileByte, largestTexture);
}

std::string oversizedImageReason(uint64_t width, uint64_t height, int channels, uint64_t pixelCapacity)
{
    return "image of " + std::to_string(width) + " x " + std::to_string(height) + " texels with " +
        std::to_string(channels) + " channels is beyond what can be loaded (textures of at most " +
        std::to_string(pixelCapacity / 4) + " texels; " + textureAreaVariable + " sets that)";
}

sandboxLimits sandboxLimitsForFile(uint64_t fileBytes, uint32_t maxTextureSize)
{
    uint64_t pixels = creditedPixels(fileBytes, maxTextureSize);
    sandboxLimits limits;
    limits.cpuSeconds = baseCpuSeconds + double(pixels) * cpuSecondsPerPixel;
    // Page faults, a busy machine and the second core's absence all stretch
    // wall time beyond CPU time; the wall limit only catches a child that
    // sleeps or is stopped.
    limits.wallSeconds = 2 * limits.cpuSeconds + 1;
    limits.memoryBytes = baseMemoryBytes + pixels * memoryBytesPerPixel;
    return limits;
}

unsigned char* decodeWithSoil(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    unsigned char* pixels =
        SOIL_load_image_from_memory(bytes, length, width, height, channels, SOIL_LOAD_AUTO);
    if (!pixels)
        *failureReason = SOIL_last_result();
    return pixels;
}

namespace {

sharedDecodeArea* headerOfThisChild = nullptr;

// Several of SOIL's decoders write through an allocation they never checked,
// so reaching the memory limit often ends in a fault rather than in SOIL's
// "Out of memory". Nothing in a decode sets errno but a failed allocation, so
// a fault with errno at ENOMEM is recorded as running out of memory before
// the signal ends the child.
void noteAllocationFailureAndDie(int fault)
{
    if (errno == ENOMEM && headerOfThisChild)
        headerOfThisChild->outcome = decodeOutcome::outOfMemory;
    signal(fault, SIG_DFL);
    raise(fault);
}

// The handler runs on a stack of its own, so that a stack overflow still
// reaches it.
void watchForAllocationFailures(sharedDecodeArea& header)
{
    static char alternateStack[1 << 16];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    headerOfThisChild = &header;
    struct sigaction action { };
    action.sa_handler = noteAllocationFailureAndDie;
    action.sa_flags = SA_ONSTACK | SA_NODEFER;
    for (int fault : {SIGSEGV, SIGBUS, SIGABRT})
        sigaction(fault, &action, nullptr);
}

void waitForCopyRequest(sharedDecodeArea& header)
{
    while (__atomic_load_n(&header.copyRequested, __ATOMIC_ACQUIRE) == 0)
        syscall(SYS_futex, &header.copyRequested, FUTEX_WAIT, 0, nullptr, nullptr, 0);
}

// Tells the parent where the pixels are and waits. Copying them into shared
// memory costs more than the decode's own page faults (shared pages come 4 KiB
// at a time), so the parent reads them straight from here when the system
// lets it, and only otherwise asks for the copy.
void handOver(unsigned char* pixels, sharedDecodeArea& header, void* area, int readyFd)
{
    header.pixelAddress = uint64_t(reinterpret_cast<uintptr_t>(pixels));
    // Clang's atomic built-ins take integers only, not the enumeration.
    __atomic_store_n(reinterpret_cast<uint32_t*>(&header.outcome), uint32_t(decodeOutcome::decodedInChild),
        __ATOMIC_RELEASE);
    char ready = 1;
    if (write(readyFd, &ready, 1) != 1)
        _exit(1);
    waitForCopyRequest(header);
    std::memcpy(static_cast<unsigned char*>(area) + headerLength, pixels,
        pixelBytes(header.width, header.height, header.channels));
    header.outcome = decodeOutcome::decoded;
}

// The child's whole life, whether forked here or cloned by the spawner
// (childSpawner.h's spawnedChildMain).
[[noreturn]] void runChild(const spawnRequest& request, void* area, const unsigned char* bytes, int readyFd,
    pid_t parent, uint64_t inheritedAddressSpace)
{
    auto& header = *static_cast<sharedDecodeArea*>(area);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    closeInheritedDescriptors(readyFd);
    restoreDefaultSignalActions();
    watchForAllocationFailures(header);
    setDecodedImageByteLimit(request.pixelCapacity);
    if (request.confinement.prepare)
        request.confinement.prepare();
    if (!applyLimits(request.limits, inheritedAddressSpace) ||
        !installSystemCallFilter(readyFd, request.confinement.threadsAllowed)) {
        setReason(header, decodeOutcome::failed, "image decoder could not be sandboxed");
        _exit(1);
    }
    errno = 0;
    unsigned char* pixels =
        decodeAndCheck(bytes, int(request.byteLength), request.decode, header, request.pixelCapacity);
    if (pixels)
        handOver(pixels, header, area, readyFd);
    _exit(0);
}

using steadyClock = std::chrono::steady_clock;

struct childWatch {
    ownedChild child;
    fileDescriptor processEnd; // a pidfd; not open on kernels without pidfd_open
    fileDescriptor readyPipe; // its reading end; closed once it reached its end
    steadyClock::time_point deadline;
    int status = 0;
    bool ended = false;
    bool killedForTime = false;
};

long long millisecondsLeft(const childWatch& watch)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(watch.deadline - steadyClock::now()).count();
}

void reapBlocking(childWatch& watch)
{
    watch.status = watch.child.wait();
    watch.ended = true;
}

bool readyByteArrived(childWatch& watch)
{
    char ready = 0;
    ssize_t got = read(watch.readyPipe.get(), &ready, 1);
    if (got == 1)
        return true;
    if (got == 0 || (got < 0 && errno != EINTR))
        watch.readyPipe.close();
    return false;
}

// Waits until the child reports its pixels ready (true) or has ended
// (false); past the deadline it is killed. The decode may have been started
// long before this wait: what the child reported in time is taken first, so
// that only a child still at work when the time is up counts as too slow. A
// pidfd lets poll sleep until the child ends; kernels without one get a short
// polling interval.
bool waitForChild(childWatch& watch)
{
    for (;;) {
        long long left = std::max(0LL, millisecondsLeft(watch));
        pollfd watched[2] = {{watch.readyPipe.get(), POLLIN, 0}, {watch.processEnd.get(), POLLIN, 0}};
        int timeout = int(std::min<long long>(left, watch.processEnd.isOpen() ? INT_MAX : 2));
        poll(watched, 2, timeout);
        if (watch.readyPipe.isOpen() && (watched[0].revents & (POLLIN | POLLHUP)) && readyByteArrived(watch))
            return true;
        if (watch.processEnd.isOpen() ? (watched[1].revents & POLLIN) != 0
                                      : watch.child.reapIfEnded(watch.status)) {
            if (watch.processEnd.isOpen())
                reapBlocking(watch);
            watch.ended = true;
            return false;
        }
        if (millisecondsLeft(watch) <= 0) {
            watch.child.signal(SIGKILL);
            watch.killedForTime = true;
            reapBlocking(watch);
            return false;
        }
    }
}

// Reads the pixels from the child's memory into a block of malloc's, in huge
// pages where the system allows: a program that decodes image after image
// gets the last image's block back without the system zeroing it again.
bool readFromChild(pid_t child, const sharedDecodeArea& header, uint64_t bytes, mallocBlock& block,
    const unsigned char*& pixels)
{
    block.reset(std::malloc(size_t(bytes) + hugePageSize));
    if (!block)
        return false;
    const uintptr_t aligned = hugePageAbove(reinterpret_cast<uintptr_t>(block.get()));
    adviseHugePages(reinterpret_cast<void*>(aligned), size_t(bytes));
    iovec local{reinterpret_cast<void*>(aligned), size_t(bytes)};
    iovec remote{reinterpret_cast<void*>(uintptr_t(header.pixelAddress)), size_t(bytes)};
    if (process_vm_readv(child, &local, 1, &remote, 1, 0) != ssize_t(bytes)) {
        block.reset();
        return false;
    }
    pixels = reinterpret_cast<const unsigned char*>(aligned);
    return true;
}

std::string describeSignalEnd(int signal, bool killedForTime)
{
    if (signal == SIGXCPU || (signal == SIGKILL && killedForTime))
        return "image decoder timed out";
    if (signal == SIGSYS)
        return "image decoder made a forbidden system call (signal " + std::to_string(signal) + ")";
    if (signal == SIGKILL)
        return "image decoder was killed (signal 9)";
    return "image decoder crashed (signal " + std::to_string(signal) + ")";
}

} // namespace

namespace {

void takeChildResult(sandboxDecodeResult& result, const childWatch& watch, const sharedDecodeArea& header,
    const unsigned char* sharedPixels)
{
    if (WIFSIGNALED(watch.status)) {
        bool outOfMemory = header.outcome == decodeOutcome::outOfMemory && !watch.killedForTime;
        result.failureReason = outOfMemory ? "image decoder ran out of memory"
                                           : describeSignalEnd(WTERMSIG(watch.status), watch.killedForTime);
        return;
    }
    // The child has gone, so nothing can change the header any more; its text
    // is still untrusted and is read only up to its fixed length.
    decodeOutcome outcome = header.outcome;
    if (outcome == decodeOutcome::decoded && WEXITSTATUS(watch.status) == 0) {
        result.decoded = true;
        result.width = header.width;
        result.height = header.height;
        result.channels = header.channels;
        result.pixels = sharedPixels;
    } else if (outcome == decodeOutcome::outOfMemory) {
        result.failureReason = "image decoder ran out of memory";
    } else if (outcome == decodeOutcome::failed) {
        result.failureReason.assign(header.reason, strnlen(header.reason, sizeof header.reason));
    } else {
        result.failureReason =
            "image decoder ended without a result (status " + std::to_string(WEXITSTATUS(watch.status)) + ")";
    }
}

// The child says its pixels are ready. Their sizes are copied out of the
// shared header once and checked, then the pixels are read from the child
// into the block returned and the child is killed; its exit then overlaps the
// texture upload. Where reading another process's memory is not allowed, the
// child is asked to copy the pixels into the shared area, and no block is
// returned.
mallocBlock takeReadyPixels(sandboxDecodeResult& result, childWatch& watch, sharedDecodeArea& header)
{
    int width = header.width, height = header.height, channels = header.channels;
    mallocBlock block;
    if (!decodedSizeFits(width, height, channels, result.pixelCapacity))
        return block;
    header.width = width;
    header.height = height;
    header.channels = channels;
    if (readFromChild(watch.child.id(), header, pixelBytes(width, height, channels), block, result.pixels)) {
        watch.child.signal(SIGKILL);
        result.decoded = true;
        result.width = width;
        result.height = height;
        result.channels = channels;
        return block;
    }
    __atomic_store_n(&header.copyRequested, 1u, __ATOMIC_RELEASE);
    syscall(SYS_futex, &header.copyRequested, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    return block;
}

} // namespace

startedSandboxDecode::startedSandboxDecode(std::string failureReason)
{
    result.failureReason = std::move(failureReason);
}

startedSandboxDecode::startedSandboxDecode(memoryMapping sharedArea, uint64_t pixelCapacity)
{
    result.sharedArea = std::move(sharedArea);
    result.pixelCapacity = pixelCapacity;
}

namespace {

// The shared area, reserved, not committed: only the pages the child writes
// take memory. In a memory file when a spawner is to map it too (`file`).
memoryMapping mapSharedArea(size_t length, fileDescriptor* file)
{
    if (file) {
        *file = fileDescriptor(memfd_create("pixveil-decode", MFD_CLOEXEC));
        if (file->isOpen() && ftruncate(file->get(), off_t(length)) == 0) {
            memoryMapping area(
                mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, file->get(), 0), length);
            if (area.isMapped())
                return area;
        }
        file->close();
    }
    return memoryMapping(
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0), length);
}

// What a child hands its pixels over through: the shared area (with its
// memory file when a spawner is to map it too) and the ready pipe.
struct pixelChannel {
    memoryMapping area;
    fileDescriptor areaFile;
    fileDescriptor readyReading;
    fileDescriptor readyWriting;
};

// Nothing when either the area or the pipe could not be made.
std::optional<pixelChannel> openPixelChannel(size_t mappingLength, bool inMemoryFile)
{
    pixelChannel opened;
    opened.area = mapSharedArea(mappingLength, inMemoryFile ? &opened.areaFile : nullptr);
    int readyPipe[2];
    if (!opened.area.isMapped() || pipe2(readyPipe, O_CLOEXEC) != 0)
        return std::nullopt;
    opened.readyReading = fileDescriptor(readyPipe[0]);
    opened.readyWriting = fileDescriptor(readyPipe[1]);
    return opened;
}

fileDescriptor memoryFileHolding(const unsigned char* bytes, size_t length)
{
    fileDescriptor file(memfd_create("pixveil-image", MFD_CLOEXEC));
    for (size_t written = 0; file.isOpen() && written < length;) {
        ssize_t wrote = write(file.get(), bytes + written, length - written);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return fileDescriptor();
        written += size_t(wrote);
    }
    return file;
}

pid_t spawnDecoder(const spawnRequest& request, const pixelChannel& channel, const unsigned char* bytes)
{
    const fileDescriptor bytesFile = memoryFileHolding(bytes, size_t(request.byteLength));
    if (!bytesFile.isOpen())
        return -1;
    return spawnChild(request, channel.areaFile.get(), bytesFile.get(), channel.readyWriting.get());
}

pid_t forkDecoder(const spawnRequest& request, const pixelChannel& channel, const unsigned char* bytes)
{
    uint64_t inheritedAddressSpace = currentAddressSpaceBytes();
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        close(channel.readyReading.get());
        runChild(request, channel.area.address(), bytes, channel.readyWriting.get(), parent, inheritedAddressSpace);
    }
    return child;
}

// The child cloned by the spawner when one runs, else the child forked; none
// when neither could start. A spawner that went without answering (it
// crashed, or was killed for not answering in time) may have cloned a child
// first, which holds the channel it was asked with and may still write to it.
// The child forked instead gets a channel of its own, so that the two never
// meet; `channel` is empty when that one could not be made.
ownedChild startDecoderChild(const spawnRequest& request, const unsigned char* bytes,
    std::optional<pixelChannel>& channel)
{
    if (channel->areaFile.isOpen()) {
        ownedChild spawned(spawnDecoder(request, *channel, bytes));
        channel->areaFile.close();
        if (spawned.owned())
            return spawned;
        channel.reset();
        channel = openPixelChannel(size_t(request.mappingLength), false);
        if (!channel)
            return ownedChild();
    }
    return ownedChild(forkDecoder(request, *channel, bytes));
}

steadyClock::time_point deadlineAfter(double seconds)
{
    return steadyClock::now() +
        std::chrono::duration_cast<steadyClock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

bool startDecoderSpawner()
{
    return startChildSpawner(runChild);
}

void stopDecoderSpawner()
{
    stopChildSpawner();
}

startedSandboxDecode startDecodeInSandbox(const unsigned char* bytes, size_t length, const sandboxLimits& limits,
    uint64_t pixelCapacity, imageDecodeFunction decode, const decoderConfinement& confinement)
{
    if (length > size_t(INT_MAX))
        return startedSandboxDecode("image file is too large");
    const size_t mappingLength = headerLength + size_t(pixelCapacity);
    std::optional<pixelChannel> channel = openPixelChannel(mappingLength, childSpawnerProcess() > 0);
    if (!channel)
        return startedSandboxDecode("no memory for the decoded image");
    const spawnRequest request{decode, confinement, limits, pixelCapacity, mappingLength, length};
    ownedChild child = startDecoderChild(request, bytes, channel);
    if (!channel)
        return startedSandboxDecode("no memory for the decoded image");
    channel->readyWriting.close();
    startedSandboxDecode started(std::move(channel->area), pixelCapacity);
    if (!child.owned()) {
        started.result.failureReason = "image decoder could not be started";
        return started;
    }
    started.processEnd = fileDescriptor(int(syscall(SYS_pidfd_open, child.id(), 0)));
    started.child = std::move(child);
    started.readyPipe = std::move(channel->readyReading);
    started.deadline = deadlineAfter(limits.wallSeconds);
    return started;
}

sandboxDecodeResult finishDecodeInSandbox(startedSandboxDecode& started)
{
    sandboxDecodeResult result = std::move(started.result);
    if (!started.child.owned())
        return result;
    childWatch watch;
    watch.child = std::move(started.child);
    watch.processEnd = std::move(started.processEnd);
    watch.readyPipe = std::move(started.readyPipe);
    watch.deadline = started.deadline;

    auto& header = *static_cast<sharedDecodeArea*>(result.sharedArea.address());
    // waitForChild gives false only once the child has ended.
    while (waitForChild(watch)) {
        if (mallocBlock read = takeReadyPixels(result, watch, header)) {
            result.privatePixels = std::move(read);
            result.lingeringChild = std::move(watch.child);
            return result;
        }
    }
    const auto* sharedPixels = static_cast<const unsigned char*>(result.sharedArea.address()) + headerLength;
    takeChildResult(result, watch, header, sharedPixels);
    return result;
}

sandboxDecodeResult decodeImageInSandbox(const unsigned char* bytes, size_t length,
    const sandboxLimits& limits, uint64_t pixelCapacity, imageDecodeFunction decode,
    const decoderConfinement& confinement)
{
    startedSandboxDecode started = startDecodeInSandbox(bytes, length, limits, pixelCapacity, decode, confinement);
    return finishDecodeInSandbox(started);
}
