#include "safeload/decodeAhead.h"

#include "safeload/safeImageLoad.h"

#include <GL/gl.h>

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

namespace {

// A decode in flight. It lives on the heap and is never destroyed unless
// taken: a program that ends before taking it (a failed set-up) must not wait
// for a decode it no longer needs, nor end through a joinable thread's
// destructor.
struct startedDecode {
    std::string path;
    std::vector<unsigned char> bytes;
    sandboxDecodeResult result;
    std::thread worker;
};

startedDecode* pending = nullptr;

// A PNG file's IHDR chunk always follows its signature at the same place.
constexpr unsigned char pngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t pngWidthOffset = 16;
constexpr std::size_t bmpWidthOffset = 18;
// A file of photographs is credited with at most this many texels of texture
// per byte for a guess: far beyond what photographs compress to, and a bound on
// the work a lying header can cause.
constexpr std::uint64_t guessedTexelsPerFileByte = 64;

std::uint32_t bigEndianAt(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    return std::uint32_t(bytes[offset]) << 24 | std::uint32_t(bytes[offset + 1]) << 16
        | std::uint32_t(bytes[offset + 2]) << 8 | std::uint32_t(bytes[offset + 3]);
}

std::uint32_t littleEndianAt(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    return std::uint32_t(bytes[offset]) | std::uint32_t(bytes[offset + 1]) << 8
        | std::uint32_t(bytes[offset + 2]) << 16 | std::uint32_t(bytes[offset + 3]) << 24;
}

// A BMP's height is negative for rows stored top first.
bool declaredSize(const std::vector<unsigned char>& bytes, std::uint32_t& width, std::uint32_t& height)
{
    if (bytes.size() > pngWidthOffset + 8 && std::memcmp(bytes.data(), pngSignature, sizeof pngSignature) == 0) {
        width = bigEndianAt(bytes, pngWidthOffset);
        height = bigEndianAt(bytes, pngWidthOffset + 4);
        return true;
    }
    if (bytes.size() > bmpWidthOffset + 8 && bytes[0] == 'B' && bytes[1] == 'M') {
        width = littleEndianAt(bytes, bmpWidthOffset);
        const auto signedHeight = std::int32_t(littleEndianAt(bytes, bmpWidthOffset + 4));
        height = signedHeight < 0 ? 0u - std::uint32_t(signedHeight) : std::uint32_t(signedHeight);
        return true;
    }
    return false;
}

void decodeOnThisThread(startedDecode& decode, GLint maxTextureSize)
{
    try {
        decode.result = decodeImageBytes(decode.bytes, maxTextureSize);
    } catch (const std::exception&) {
        decode.result.failureReason = "not enough memory to load the image";
    }
}

} // namespace

void startImageDecode(const char* path)
{
    GLint maxTextureSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTextureSize);
    if (pending || maxTextureSize < 1)
        return;
    try {
        auto decode = std::make_unique<startedDecode>();
        decode->path = path;
        if (!readImageFile(path, maxTextureSize, decode->bytes) || uploadedAsDds(decode->bytes, maxTextureSize))
            return;
        decode->worker = std::thread(decodeOnThisThread, std::ref(*decode), maxTextureSize);
        pending = decode.release();
    } catch (const std::exception&) {
        // Nothing started: the loader does all the work itself.
    }
}

bool guessTextureSize(std::uint32_t& width, std::uint32_t& height)
{
    std::uint32_t declaredWidth = 0, declaredHeight = 0;
    if (!pending || !declaredSize(pending->bytes, declaredWidth, declaredHeight) || declaredWidth == 0
        || declaredHeight == 0)
        return false;
    const std::uint32_t textureWidth = nextPowerOfTwo(declaredWidth);
    const std::uint32_t textureHeight = nextPowerOfTwo(declaredHeight);
    if (std::uint64_t(textureWidth) * textureHeight > guessedTexelsPerFileByte * pending->bytes.size())
        return false;
    width = textureWidth;
    height = textureHeight;
    return true;
}

bool takeStartedDecode(const char* path, std::vector<unsigned char>& bytes, sandboxDecodeResult& result)
{
    if (!pending || pending->path != path)
        return false;
    pending->worker.join();
    bytes = std::move(pending->bytes);
    result = std::move(pending->result);
    delete pending;
    pending = nullptr;
    return true;
}
