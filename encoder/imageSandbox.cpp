#include "imageSandbox.h"

#include <SOIL/SOIL.h>
#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
constexpr uint64_t pixelsCreditedPerFileByte = 16384;

enum class decodeOutcome : uint32_t { none, decoded, failed, outOfMemory };

struct sharedDecodeArea {
    decodeOutcome outcome;
    int32_t width;
    int32_t height;
    int32_t channels;
    char reason[240];
};

// The pixels start one page into the mapping.
constexpr size_t headerLength = 4096;
static_assert(sizeof(sharedDecodeArea) <= headerLength, "the decode header must fit its page");

void setReason(sharedDecodeArea& area, decodeOutcome outcome, const char* reason)
{
    area.outcome = outcome;
    std::snprintf(area.reason, sizeof area.reason, "%s", reason);
}

} // namespace

uint64_t creditedPixels(uint64_t fileBytes, uint32_t maxTextureSize)
{
    uint64_t largestTexture = uint64_t(maxTextureSize) * maxTextureSize;
    if (fileBytes >= largestTexture / pixelsCreditedPerFileByte + 1)
        return largestTexture;
    return std::min(fileBytes * pixelsCreditedPerFileByte, largestTexture);
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

size_t sharedDecodeHeaderLength()
{
    return headerLength;
}

void decodeIntoSharedArea(
    const unsigned char* bytes, int length, imageDecodeFunction decode, void* area, uint64_t pixelCapacity)
{
    auto& header = *static_cast<sharedDecodeArea*>(area);
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    unsigned char* pixels = decode(bytes, length, &width, &height, &channels, &reason);
    if (!pixels) {
        // SOIL's decoders report every allocation they check with this text.
        if (reason && std::strcmp(reason, "Out of memory") == 0)
            setReason(header, decodeOutcome::outOfMemory, reason);
        else
            setReason(header, decodeOutcome::failed, reason ? reason : "the image decoder gave no reason");
        return;
    }
    bool sane = width > 0 && height > 0 && channels >= 1 && channels <= 4 &&
        uint64_t(width) * uint64_t(height) * uint64_t(channels) <= pixelCapacity;
    if (!sane) {
        char text[sizeof header.reason];
        std::snprintf(text, sizeof text,
            "image of %d x %d texels with %d channels is beyond what can be loaded", width, height, channels);
        setReason(header, decodeOutcome::failed, text);
    } else {
        std::memcpy(
            static_cast<unsigned char*>(area) + headerLength, pixels, size_t(width) * height * channels);
        header.width = width;
        header.height = height;
        header.channels = channels;
        header.outcome = decodeOutcome::decoded;
    }
    std::free(pixels);
}

namespace {

bool installSystemCallFilter()
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter)
        return false;
    bool ok = true;
    auto allow = [&](int call) { ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0; };
    for (int call : {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(exit),
             SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
             SCMP_SYS(futex), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(clock_gettime),
             SCMP_SYS(sched_yield), SCMP_SYS(sigaltstack)})
        allow(call);
    // Memory may be mapped and protected, but never made executable.
    for (int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)})
        ok = ok &&
            seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
    // Diagnostics (abort messages, sanitizer reports) may go to standard error.
    for (int call : {SCMP_SYS(write), SCMP_SYS(writev)})
        ok =
            ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, STDERR_FILENO)) == 0;
    // Reading resource limits (sanitizers do) is harmless; changing them is not.
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, SCMP_A2(SCMP_CMP_EQ, 0)) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(getrlimit), 0) == 0;
    // abort() signals its own thread.
    pid_t self = getpid();
    ok = ok &&
        seccomp_rule_add(
            filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(self))) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

void closeInheritedDescriptors()
{
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
    for (int fd = 3; fd < 65536; ++fd)
        close(fd);
}

uint64_t currentAddressSpaceBytes()
{
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long long pages = 0;
    int fields = std::fscanf(statm, "%llu", &pages);
    std::fclose(statm);
    return fields == 1 ? pages * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

bool setLimit(int resource, rlim_t soft, rlim_t hard)
{
    struct rlimit limit {
        soft, hard
    };
    return setrlimit(resource, &limit) == 0;
}

bool applyLimits(const sandboxLimits& limits, uint64_t inheritedAddressSpace)
{
    rlim_t cpu = rlim_t(std::ceil(limits.cpuSeconds));
    return setLimit(RLIMIT_CORE, 0, 0) && setLimit(RLIMIT_CPU, cpu, cpu + 1) &&
        setLimit(RLIMIT_AS, inheritedAddressSpace + limits.memoryBytes,
            inheritedAddressSpace + limits.memoryBytes);
}

// Fatal signals get their default action back, so that the parent sees the
// signal that ended the decoder rather than whatever a handler inherited from
// the parent (a sanitizer's, say) turns it into.
void restoreDefaultSignalActions()
{
    for (int fatal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGXCPU, SIGSYS, SIGPIPE})
        signal(fatal, SIG_DFL);
}

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

[[noreturn]] void runChild(const unsigned char* bytes, int length, const sandboxLimits& limits, void* area,
    uint64_t pixelCapacity, pid_t parent, uint64_t inheritedAddressSpace, imageDecodeFunction decode)
{
    auto& header = *static_cast<sharedDecodeArea*>(area);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    closeInheritedDescriptors();
    restoreDefaultSignalActions();
    watchForAllocationFailures(header);
    if (!applyLimits(limits, inheritedAddressSpace) || !installSystemCallFilter()) {
        setReason(header, decodeOutcome::failed, "image decoder could not be sandboxed");
        _exit(1);
    }
    errno = 0;
    decodeIntoSharedArea(bytes, length, decode, area, pixelCapacity);
    _exit(0);
}

struct childEnd {
    int status = 0;
    bool killedForTime = false;
};

void waitBlocking(pid_t child, childEnd& end)
{
    while (waitpid(child, &end.status, 0) < 0 && errno == EINTR) { }
}

// Waits for the child until the deadline, then kills it. A pidfd lets poll
// sleep until the child ends; kernels without one get a short polling loop.
childEnd waitForChild(pid_t child, double wallSeconds)
{
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() +
        std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(wallSeconds));
    childEnd end;
    int pidfd = int(syscall(SYS_pidfd_open, child, 0));
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            kill(child, SIGKILL);
            end.killedForTime = true;
            break;
        }
        if (pidfd >= 0) {
            struct pollfd ready {
                pidfd, POLLIN, 0
            };
            int polled = poll(&ready, 1, int(std::min<long long>(left, INT_MAX)));
            if (polled > 0)
                break;
        } else {
            pid_t ended = waitpid(child, &end.status, WNOHANG);
            if (ended == child)
                return end;
            usleep(2000);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    waitBlocking(child, end);
    return end;
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

sandboxDecodeResult::sandboxDecodeResult(sandboxDecodeResult&& other) noexcept
{
    *this = std::move(other);
}

sandboxDecodeResult& sandboxDecodeResult::operator=(sandboxDecodeResult&& other) noexcept
{
    if (this != &other) {
        release();
        decoded = other.decoded;
        failureReason = std::move(other.failureReason);
        width = other.width;
        height = other.height;
        channels = other.channels;
        pixels = other.pixels;
        pixelCapacity = other.pixelCapacity;
        mapping = other.mapping;
        mappingLength = other.mappingLength;
        other.pixels = nullptr;
        other.mapping = nullptr;
        other.mappingLength = 0;
    }
    return *this;
}

sandboxDecodeResult::~sandboxDecodeResult()
{
    release();
}

void sandboxDecodeResult::release()
{
    if (mapping)
        munmap(mapping, mappingLength);
    mapping = nullptr;
    pixels = nullptr;
}

sandboxDecodeResult decodeImageInSandbox(const unsigned char* bytes, size_t length,
    const sandboxLimits& limits, uint64_t pixelCapacity, imageDecodeFunction decode)
{
    sandboxDecodeResult result;
    if (length > size_t(INT_MAX)) {
        result.failureReason = "image file is too large";
        return result;
    }
    // Reserved, not committed: only the pages the child writes take memory.
    size_t mappingLength = headerLength + size_t(pixelCapacity);
    void* area = mmap(
        nullptr, mappingLength, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) {
        result.failureReason = "no memory for the decoded image";
        return result;
    }
    result.mapping = area;
    result.mappingLength = mappingLength;

    uint64_t inheritedAddressSpace = currentAddressSpaceBytes();
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        result.failureReason = "image decoder could not be started";
        return result;
    }
    if (child == 0)
        runChild(bytes, int(length), limits, area, pixelCapacity, parent, inheritedAddressSpace, decode);

    childEnd end = waitForChild(child, limits.wallSeconds);
    const auto& header = *static_cast<const sharedDecodeArea*>(area);
    if (WIFSIGNALED(end.status)) {
        bool outOfMemory = header.outcome == decodeOutcome::outOfMemory && !end.killedForTime;
        result.failureReason = outOfMemory ? "image decoder ran out of memory"
                                           : describeSignalEnd(WTERMSIG(end.status), end.killedForTime);
        return result;
    }
    // The child has gone, so nothing can change the header any more; its text
    // is still untrusted and is read only up to its fixed length.
    decodeOutcome outcome = header.outcome;
    if (outcome == decodeOutcome::decoded && WEXITSTATUS(end.status) == 0) {
        result.decoded = true;
        result.width = header.width;
        result.height = header.height;
        result.channels = header.channels;
        result.pixels = static_cast<const unsigned char*>(area) + headerLength;
        result.pixelCapacity = pixelCapacity;
    } else if (outcome == decodeOutcome::outOfMemory) {
        result.failureReason = "image decoder ran out of memory";
    } else if (outcome == decodeOutcome::failed) {
        result.failureReason.assign(header.reason, strnlen(header.reason, sizeof header.reason));
    } else {
        result.failureReason =
            "image decoder ended without a result (status " + std::to_string(WEXITSTATUS(end.status)) + ")";
    }
    return result;
}
