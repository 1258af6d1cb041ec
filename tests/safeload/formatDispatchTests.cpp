// Choosing a decoder from a file's first bytes, and the confinement of the
// child that HEIC and AVIF need: threads, but still no files or processes.

#include "base/limits.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

const std::string unknownImage =
    "Image not of any known type, or corrupt (formats read: PNG, JPEG, GIF, WebP, "
    "TIFF, BMP, PNM, PSD, TGA, HDR, DDS, HEIC, AVIF)";

std::string refusalOf(const std::string& bytes)
{
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
    imageDecoderChoice choice = chooseImageDecoder(start, bytes.size());
    return choice.decode ? "chosen" : choice.refusal;
}

void* doNothing(void*)
{
    return reinterpret_cast<void*>(intptr_t(1));
}

// Fills a thread's own malloc arena and empties it again: glibc then gives
// the memory back, and before it does, opens /proc/sys/vm/overcommit_memory
// (as in libheif's threads on a phone's photo). The open fails and the thread
// goes on.
void* shrinkAThreadsArena(void*)
{
    std::vector<void*> blocks(4096);
    for (void*& block : blocks)
        block = std::malloc(1024);
    for (auto block = blocks.rbegin(); block != blocks.rend(); ++block)
        std::free(*block);
    return reinterpret_cast<void*>(intptr_t(1));
}

// Decodes one texel after `work` returned true (non-null) on a thread.
unsigned char* decodeAfterThread(void* (*work)(void*), int* width, int* height, int* channels)
{
    pthread_t thread;
    void* succeeded = nullptr;
    if (pthread_create(&thread, nullptr, work, nullptr) != 0)
        return nullptr;
    pthread_join(thread, &succeeded);
    if (!succeeded)
        return nullptr;
    *width = *height = *channels = 1;
    return static_cast<unsigned char*>(std::calloc(1, 1));
}

unsigned char* threadStartingDecoder(
    const unsigned char*, int, int* width, int* height, int* channels, const char**)
{
    return decodeAfterThread(doNothing, width, height, channels);
}

unsigned char* arenaShrinkingThreadDecoder(
    const unsigned char*, int, int* width, int* height, int* channels, const char**)
{
    return decodeAfterThread(shrinkAThreadsArena, width, height, channels);
}

unsigned char* forkingDecoder(const unsigned char*, int, int*, int*, int*, const char**)
{
    if (fork() == 0)
        _exit(0);
    return nullptr;
}

std::string outcomeOf(imageDecodeFunction decode, bool threadsAllowed)
{
    const unsigned char byte = 0;
    decoderConfinement confinement;
    confinement.threadsAllowed = threadsAllowed;
    sandboxDecodeResult result =
        decodeImageInSandbox(&byte, 1, sandboxLimitsForFile(1, largestTextureSide), 1 << 20, decode, confinement);
    return result.decoded ? "decoded" : result.failureReason;
}

} // namespace

// Signatures choose a decoder whatever the name; files of no format read are
// refused by name.
TEST(FormatDispatch, SignaturesChooseADecoderAndOtherFilesAreRefusedByName)
{
    const std::string chosen = "chosen", anyRest = "........";
    const struct {
        std::string bytes;
        std::string refusal;
    } cases[] = {
        {"\x89PNG\r\n\x1a\n"s + anyRest, chosen}, {"\xff\xd8\xff\xe0"s + anyRest, chosen}, {"GIF89a"s + anyRest, chosen},
        {"RIFF\x10\0\0\0WEBPVP8 "s + anyRest, chosen}, {"II*\0"s + anyRest, chosen}, {"MM\0*"s + anyRest, chosen},
        {"BM"s + anyRest, chosen}, {"P6\n"s + anyRest, chosen}, {"8BPS"s + anyRest, chosen},
        {"#?RADIANCE\n"s + anyRest, chosen}, {"DDS "s + anyRest, chosen}, {"\0\0\0\x18"s + "ftypheic" + anyRest, chosen},
        {"\x00\x00\x00\x0cjP  \r\n\x87\n\x00\x00"s, "not supported: JPEG 2000"},
        {"\xff\x4f\xff\x51\x00\x2f"s, "not supported: JPEG 2000"},
        {"\xff\x0a\x00\x00"s, "not supported: JPEG XL"},
        {"P7\nWIDTH 1\n"s, "not supported: PAM"},
        {"RIFF\x10\x00\x00\x00"s + "AVI LIST", "not supported: RIFF other than WebP"},
        {"this is no image\n"s, unknownImage},
        {""s, unknownImage},
    };
    for (const auto& file : cases)
        EXPECT_EQ(refusalOf(file.bytes), file.refusal) << file.bytes;
}

// A thread's open fails and the decode goes on; a process never starts.
TEST(DecoderConfinement, ThreadsStartOnlyWhereAllowedAndStillOpenNothing)
{
    const std::string forbidden = "image decoder made a forbidden system call (signal 31)";
    EXPECT_EQ(outcomeOf(threadStartingDecoder, false), forbidden);
    EXPECT_EQ(outcomeOf(threadStartingDecoder, true), "decoded");
    EXPECT_EQ(outcomeOf(arenaShrinkingThreadDecoder, true), "decoded");
    EXPECT_EQ(outcomeOf(forkingDecoder, true), forbidden);
}
