#include "base/limits.h"
#include "safeload/childSpawner.h"
#include "safeload/ddsHeader.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"
#include "safeload/safeImageLoad.h"
#include "tests/support/testSupport.h"

#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A DDS file as ImageMagick and other writers make it, with dataBytes of data.
std::string ddsFile(uint32_t width, uint32_t height, const char* compression, uint32_t bitCount,
    uint32_t mipMapCount, size_t dataBytes)
{
    std::string bytes(128 + dataBytes, '\0');
    const bool compressed = compression != nullptr;
    const std::pair<size_t, uint32_t> fields[] = {
        {4, 124}, {8, 0x1007u | (mipMapCount > 1 ? 0x20000u : 0u)}, {12, height}, {16, width},
        {28, mipMapCount}, {76, 32}, {80, compressed ? 0x4u : (0x40u | (bitCount == 32 ? 0x1u : 0u))},
        {88, bitCount}, {108, 0x1000u | (mipMapCount > 1 ? 0x400008u : 0u)}};
    for (const auto& [offset, value] : fields)
        bytes.replace(offset, 4, littleEndianBytes(value));
    bytes.replace(0, 4, "DDS ");
    if (compressed)
        bytes.replace(84, 4, compression);
    return bytes;
}

std::string withField(std::string bytes, size_t offset, uint32_t value)
{
    return bytes.replace(offset, 4, littleEndianBytes(value));
}

ddsDirectCheck check(const std::string& bytes, uint32_t maxTextureSize = 16384)
{
    return checkDdsForDirectUpload(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), maxTextureSize);
}

} // namespace

// Files SOIL would upload directly pass only when every level's upload stays
// inside the file and SOIL's buffer; files SOIL would decode as an ordinary
// image are left to the sandboxed decoder.
TEST(DdsHeader, ChecksEveryDirectUploadAgainstTheFile)
{
    using verdict = ddsDirectVerdict;
    const std::string truncatedHeader = ddsFile(4, 4, "DXT1", 0, 1, 8).substr(0, 127);
    const struct {
        const char* name;
        std::string file;
        verdict expected;
        const char* reason;
        uint32_t maxTextureSize = 16384;
    } cases[] = {
        {"DXT1", ddsFile(64, 32, "DXT1", 0, 1, 16 * 8 * 8), verdict::safe, ""},
        {"DXT5", ddsFile(64, 32, "DXT5", 0, 1, 16 * 8 * 16), verdict::safe, ""},
        {"RGB of odd width", ddsFile(5, 3, nullptr, 24, 1, 5 * 3 * 3), verdict::safe, ""},
        // 64x32 RGBA with its full chain of 7 levels: 8192 + 2048 + 512 + 128 + 32 + 8 + 4 bytes.
        {"RGBA mipmap chain", ddsFile(64, 32, nullptr, 32, 7, 10924), verdict::safe, ""},
        {"no DDS", std::string(200, 'x'), verdict::notDirect, ""},
        {"truncated header", truncatedHeader, verdict::notDirect, ""},
        {"ATI2", ddsFile(4, 4, "ATI2", 0, 1, 16), verdict::notDirect, ""},
        {"cube map", withField(ddsFile(4, 4, "DXT1", 0, 1, 48), 112, 0x200 | 0xFC00), verdict::notDirect, ""},
        {"width 0", ddsFile(0, 4, "DXT1", 0, 1, 8), verdict::refused,
            "DDS image is 0 x 4 texels; this OpenGL driver takes 1 to 16384 per side"},
        {"beyond the driver", ddsFile(32, 32, "DXT1", 0, 1, 8), verdict::refused,
            "DDS image is 32 x 32 texels; this OpenGL driver takes 1 to 16 per side", 16},
        // w*h*3 wraps to 2 in SOIL's 32-bit arithmetic.
        {"size wraps", ddsFile(0x55555556, 1, nullptr, 24, 1, 2), verdict::refused, "DDS file is too large",
            0xFFFFFFFFu},
        {"huge mipmap count", ddsFile(4, 4, "DXT1", 0, 0x80000000u, 8), verdict::refused,
            "DDS mipmap count 2147483648 exceeds the 3 levels of a 4 x 4 image"},
        {"16-bit RGB", ddsFile(5, 3, nullptr, 16, 1, 5 * 3 * 3), verdict::refused,
            "DDS pixel format of 16 bits is neither 24-bit RGB nor 32-bit RGBA"},
        {"short data", ddsFile(64, 64, "DXT5", 0, 1, 16 * 16 * 16 - 1), verdict::refused,
            "DDS file was too small for expected image data"},
        // SOIL buffers 1 block for level 1 of a 12-texel side but the upload reads 2.
        {"mipmap overrun", ddsFile(12, 12, "DXT1", 0, 2, 9 * 8 + 8), verdict::refused,
            "DDS mipmap levels do not fit the image's data"},
    };
    for (const auto& dds : cases) {
        const ddsDirectCheck result = check(dds.file, dds.maxTextureSize);
        EXPECT_EQ(result.verdict, dds.expected) << dds.name;
        EXPECT_EQ(result.reason, dds.reason) << dds.name;
    }
    const ddsDirectCheck chain = check(cases[3].file);
    EXPECT_EQ(chain.width, 64u);
    EXPECT_EQ(chain.height, 32u);
    for (const char* name : {"dds-1.dds", "dds-2.dds", "dds-dxt1-65536.dds", "dds-rgb-odd-width.dds",
             "dds-mipmap-count.dds", "dds-width-over-2pow30.dds"}) {
        const std::string bytes = readFile(std::string(MALFORMED_IMAGES_DIR) + "/" + name);
        ASSERT_FALSE(bytes.empty()) << name;
        EXPECT_NE(check(bytes).verdict, verdict::safe) << name;
    }
}

TEST(SandboxLimits, GrowWithTheFileUpToTheLargestTexture)
{
    EXPECT_EQ(creditedPixels(4, 16384), 4u * 16384);
    EXPECT_EQ(creditedPixels(16384, 16384), 16384ull * 16384);
    EXPECT_EQ(creditedPixels(1ull << 40, 16384), 16384ull * 16384);
    sandboxLimits tiny = sandboxLimitsForFile(4, 16384);
    sandboxLimits huge = sandboxLimitsForFile(100 << 20, 16384);
    EXPECT_LT(tiny.cpuSeconds, 1.1);
    EXPECT_LT(tiny.memoryBytes, 300ull << 20);
    EXPECT_GT(huge.cpuSeconds, tiny.cpuSeconds);
    EXPECT_GT(huge.memoryBytes, 16384ull * 16384 * 15);
    EXPECT_GT(huge.wallSeconds, huge.cpuSeconds);
}

namespace {

constexpr uint64_t smallCapacity = 64 << 20;

sandboxLimits shortLimits()
{
    sandboxLimits limits;
    limits.cpuSeconds = 1;
    limits.wallSeconds = 3;
    limits.memoryBytes = 64 << 20;
    return limits;
}

sandboxDecodeResult decodeWith(imageDecodeFunction decode, const sandboxLimits& limits = shortLimits())
{
    static const unsigned char bytes[] = {1, 2, 3, 4};
    return decodeImageInSandbox(bytes, sizeof bytes, limits, smallCapacity, decode);
}

unsigned char* crashingDecoder(const unsigned char*, int, int*, int*, int*, const char**)
{
    std::raise(SIGSEGV);
    return nullptr;
}

unsigned char* hangingDecoder(const unsigned char*, int, int*, int*, int*, const char**)
{
    for (volatile unsigned spin = 0;; spin = spin + 1) { }
}

unsigned char* sleepingDecoder(const unsigned char*, int, int*, int*, int*, const char**)
{
    // Blocks without using CPU time, so only the wall-clock limit can end it.
    static int neverWoken = 0;
    for (;;)
        syscall(SYS_futex, &neverWoken, FUTEX_WAIT, 0, nullptr, nullptr, 0);
}

// Says whether the child could open a file, as a decoder's refusal.
unsigned char* fileOpeningDecoder(const unsigned char*, int, int*, int*, int*, const char** failureReason)
{
    std::FILE* file = std::fopen("/etc/hostname", "r");
    *failureReason = file ? "a file was opened" : errno == EPERM ? "the open failed" : "the open failed oddly";
    return nullptr;
}

unsigned char* programStartingDecoder(const unsigned char*, int, int*, int*, int*, const char**)
{
    std::system("true");
    return nullptr;
}

unsigned char* lyingDecoder(const unsigned char*, int, int* width, int* height, int* channels, const char**)
{
    *width = 65536;
    *height = 65536;
    *channels = 4;
    return static_cast<unsigned char*>(std::calloc(1, 16));
}

unsigned char* fourTexelDecoder(
    const unsigned char*, int, int* width, int* height, int* channels, const char**)
{
    *width = 2;
    *height = 2;
    *channels = 1;
    unsigned char* pixels = static_cast<unsigned char*>(std::malloc(4));
    std::memcpy(pixels, "\x10\x20\x30\x40", 4);
    return pixels;
}

// The spawner a test starts does not outlive it, whatever fails.
struct spawnerStoppedAtTheEnd {
    ~spawnerStoppedAtTheEnd() { stopDecoderSpawner(); }
};

// Descriptors the caller holds open, below and above the ones the sandbox
// makes for itself; the decoder can tell an open one by mapping it.
int inheritedDescriptors[2] = {-1, -1};

unsigned char* descriptorProbingDecoder(const unsigned char*, int, int*, int*, int*, const char** failureReason)
{
    *failureReason = "no inherited descriptor is open";
    for (int descriptor : inheritedDescriptors) {
        void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, descriptor, 0);
        if (mapped != MAP_FAILED)
            *failureReason = "an inherited descriptor is open";
    }
    return nullptr;
}

} // namespace

// Each way a decoder can end; the last finds none of the caller's descriptors
// open, which it must not inherit.
TEST(Sandbox, ReportsEachWayADecoderCanEnd)
{
    const struct {
        imageDecodeFunction decoder;
        const char* reason;
    } cases[] = {
        {crashingDecoder, "image decoder crashed (signal 11)"},
        {hangingDecoder, "image decoder timed out"},
        {sleepingDecoder, "image decoder timed out"},
        {lyingDecoder, "image of 65536 x 65536 texels with 4 channels is beyond what can be loaded (textures of at "
                       "most 16777216 texels; PIXVEIL_AREA_LIMIT sets that)"},
        {fileOpeningDecoder, "the open failed"},
        {programStartingDecoder, "image decoder made a forbidden system call (signal 31)"},
        {descriptorProbingDecoder, "no inherited descriptor is open"},
    };
    inheritedDescriptors[0] = open("/proc/self/exe", O_RDONLY);
    inheritedDescriptors[1] = dup2(inheritedDescriptors[0], 900);
    ASSERT_GE(inheritedDescriptors[0], 0);
    ASSERT_EQ(inheritedDescriptors[1], 900);
    const spawnerStoppedAtTheEnd stopSpawner;
    for (const char* start : {"forked", "spawned"}) {
        if (std::strcmp(start, "spawned") == 0) {
            ASSERT_TRUE(startDecoderSpawner());
        }
        // The spawner's children are watched and timed as forked ones are:
        // the slow endings once are enough.
        for (const auto& ending : cases) {
            if (std::strcmp(start, "forked") == 0 || std::strcmp(ending.reason, "image decoder timed out") != 0) {
                EXPECT_EQ(decodeWith(ending.decoder).failureReason, ending.reason) << start;
            }
        }
    }
    for (int descriptor : inheritedDescriptors)
        close(descriptor);
}

namespace {

// Written by the test once the spawner has started: a child cloned from the
// spawner still sees the old value, one forked from the test the new.
int writtenAfterTheSpawnerStarted = 0;

unsigned char* originTellingDecoder(
    const unsigned char* bytes, int length, int* width, int* height, int* channels, const char** failureReason)
{
    if (writtenAfterTheSpawnerStarted == 0)
        return fourTexelDecoder(bytes, length, width, height, channels, failureReason);
    *failureReason = "forked from the program";
    return nullptr;
}

} // namespace

// The children of a program that started the spawner share none of the pages
// it wrote since, yet are its own: it reads their pixels and reaps them. Once
// the spawner has gone, decodes are forked again.
TEST(Sandbox, SpawnedChildrenShareNothingTheProgramWroteSince)
{
    const spawnerStoppedAtTheEnd stopSpawner;
    writtenAfterTheSpawnerStarted = 0;
    ASSERT_TRUE(startDecoderSpawner());
    writtenAfterTheSpawnerStarted = 1;
    {
        sandboxDecodeResult spawned = decodeWith(originTellingDecoder);
        ASSERT_TRUE(spawned.decoded) << spawned.failureReason;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(spawned.pixels), 4), "\x10\x20\x30\x40");
    }
    EXPECT_EQ(kill(childSpawnerProcess(), SIGKILL), 0);
    EXPECT_EQ(decodeWith(originTellingDecoder).failureReason, "forked from the program");
    EXPECT_EQ(childSpawnerProcess(), -1);
}

// A spawner that stops answering (stopped here, as by a debugger or a stray
// SIGSTOP) holds a decode up no longer than the decode's own wall-time
// limit, about three seconds for this small file: it is then killed and
// reaped, and the decode is forked as without a spawner, giving the image's
// very pixels (as ImageMagick reads them); so is the next one, at once.
TEST(Sandbox, AStoppedSpawnerIsKilledAndTheDecodeForkedInstead)
{
    scratchDirectory scratch;
    makeImage(5, 3, {"-strip"}, "PNG24:" + scratch.file("in.png"));
    convert({scratch.file("in.png"), "-depth", "8", "rgb:" + scratch.file("in.rgb")});
    const std::string file = readFile(scratch.file("in.png"));
    const std::string pixels = readFile(scratch.file("in.rgb"));
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const imageDecoderChoice decoder = chooseImageDecoder(bytes, file.size());
    ASSERT_NE(decoder.decode, nullptr) << decoder.refusal;
    const sandboxLimits limits = sandboxLimitsForFile(file.size(), largestTextureSide);
    ASSERT_LT(limits.wallSeconds, 5);

    const spawnerStoppedAtTheEnd stopSpawner;
    ASSERT_TRUE(startDecoderSpawner());
    const pid_t spawner = childSpawnerProcess();
    ASSERT_EQ(kill(spawner, SIGSTOP), 0);
    for (const char* decode : {"the one the spawner was asked for", "the next"}) {
        SCOPED_TRACE(decode);
        const sandboxDecodeResult result =
            decodeImageInSandbox(bytes, file.size(), limits, smallCapacity, decoder.decode, decoder.confinement);
        ASSERT_TRUE(result.decoded) << result.failureReason;
        EXPECT_EQ(std::vector<int>({result.width, result.height, result.channels}), std::vector<int>({5, 3, 3}));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(result.pixels), pixels.size()), pixels);
        EXPECT_EQ(childSpawnerProcess(), -1);
        EXPECT_EQ(kill(spawner, 0), -1) << "the spawner is still there, or not reaped";
        EXPECT_EQ(errno, ESRCH);
    }
}

// A decode finished long after it started, as when the program set up in
// between (decodeImageInSandbox is the two at once): the pixels the child
// reported before its deadline are taken, a child still at work past it is
// stopped, and one never finished is killed and reaped.
TEST(Sandbox, AStartedDecodeIsJudgedByWhatTheChildDidBeforeItsDeadline)
{
    static const unsigned char bytes[] = {1, 2, 3, 4};
    sandboxLimits patient = shortLimits();
    patient.wallSeconds = 60;
    auto start = [&](imageDecodeFunction decode) {
        return startDecodeInSandbox(bytes, sizeof bytes, patient, smallCapacity, decode);
    };
    startedSandboxDecode reported = start(fourTexelDecoder);
    startedSandboxDecode sleeping = start(sleepingDecoder);
    pollfd ready{reported.readyDescriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 30000), 1) << "the decoder never reported";
    const auto now = std::chrono::steady_clock::now();
    reported.setDeadline(now);
    sleeping.setDeadline(now);

    sandboxDecodeResult taken = finishDecodeInSandbox(reported);
    ASSERT_TRUE(taken.decoded) << taken.failureReason;
    EXPECT_EQ(std::vector<int>({taken.width, taken.height, taken.channels}), std::vector<int>({2, 2, 1}));
    EXPECT_EQ(std::memcmp(taken.pixels, "\x10\x20\x30\x40", 4), 0);
    EXPECT_EQ(finishDecodeInSandbox(sleeping).failureReason, "image decoder timed out");

    pid_t abandonedChild = -1;
    {
        startedSandboxDecode abandoned = start(sleepingDecoder);
        abandonedChild = abandoned.childId();
    }
    ASSERT_GT(abandonedChild, 0);
    EXPECT_EQ(kill(abandonedChild, 0), -1) << "the abandoned child is still there";
    EXPECT_EQ(errno, ESRCH);
}

// SOIL's own decoder, within the limits of the file's size: a tiny Radiance
// header declaring 16384 x 16384 makes it ask for 3 GiB of floats, and a
// 4-byte JPEG makes it spin.
TEST(Sandbox, RealDecoderIsStoppedByTheFilesLimits)
{
    const std::string hugeRadiance =
        "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 16384 +X 16384\n" + std::string(8, '\0');
    const struct {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {hugeRadiance, "image decoder ran out of memory"},
        {readFile(std::string(MALFORMED_IMAGES_DIR) + "/jpeg-4-bytes.jpg"), "image decoder timed out"},
    };
    for (const auto& file : cases) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(file.bytes.data());
        const sandboxLimits limits = sandboxLimitsForFile(file.bytes.size(), largestTextureSide);
        EXPECT_EQ(decodeImageInSandbox(bytes, file.bytes.size(), limits, smallCapacity).failureReason, file.reason);
    }
}

// Under AddressSanitizer a failed allocation ends the process by default;
// SOIL's decoders, built without it, expect malloc to return null instead.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
