#include "safeload/decodeAhead.h"

#include "safeload/byteOrder.h"
#include "safeload/safeImageLoad.h"
#include "safeload/soilTexture.h"

#include <GL/gl.h>

#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

// A decode in flight: its child decodes from its own copy of the file's
// bytes, so only the sizes its header declares are kept here, with the
// texture storage made for them.
struct startedDecode {
    std::string path;
    startedSandboxDecode decode;
    std::uint32_t declaredWidth = 0;
    std::uint32_t declaredHeight = 0;
    int declaredChannels = 0; // 0 when the header does not say
    std::uint32_t maxTextureSize = 0;
    std::uint64_t creditedTexels = 0;
    preparedTexture texture;
};

// Destroyed at exit when a failed set-up never took it, which kills its child.
startedDecode pending;
bool decodeStarted = false;

// A PNG file's IHDR chunk always follows its signature at the same place.
constexpr unsigned char pngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t pngWidthOffset = 16;
constexpr std::size_t pngColourTypeOffset = 25;
constexpr std::size_t bmpWidthOffset = 18;
constexpr std::size_t bmpBitCountOffset = 28;

// The channels the decoders give a PNG of each colour type without a
// transparent colour (which adds one); 0 where the header alone does not tell.
int pngChannelsOf(unsigned char colourType)
{
    switch (colourType) {
    case 0: return 1;
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 0;
    }
}

// The sides and channels a PNG or BMP header declares; a BMP's height is
// negative for rows stored top first, and only one of 24 bits a texel tells
// its channels (3) by itself.
void readDeclaredImage(const std::vector<unsigned char>& bytes, startedDecode& decode)
{
    if (bytes.size() > pngWidthOffset + 10 && std::memcmp(bytes.data(), pngSignature, sizeof pngSignature) == 0) {
        decode.declaredWidth = bigEndian32(&bytes[pngWidthOffset]);
        decode.declaredHeight = bigEndian32(&bytes[pngWidthOffset + 4]);
        decode.declaredChannels = pngChannelsOf(bytes[pngColourTypeOffset]);
    } else if (bytes.size() > bmpBitCountOffset + 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        decode.declaredWidth = littleEndian32(&bytes[bmpWidthOffset]);
        const auto signedHeight = std::int32_t(littleEndian32(&bytes[bmpWidthOffset + 4]));
        decode.declaredHeight = signedHeight < 0 ? 0u - std::uint32_t(signedHeight) : std::uint32_t(signedHeight);
        decode.declaredChannels = bytes[bmpBitCountOffset] == 24 && bytes[bmpBitCountOffset + 1] == 0 ? 3 : 0;
    }
}

// For an image whose declared sides are already the texture's, the texture's
// storage is made while the child decodes.
void prepareTextureStorage(startedDecode& decode)
{
    std::uint32_t width = 0, height = 0;
    if (!guessTextureSize(width, height) || width != decode.declaredWidth || height != decode.declaredHeight
        || decode.declaredChannels == 0)
        return;
    decode.texture.name = createTextureStorageAsSoilDoes(int(width), int(height), decode.declaredChannels);
    decode.texture.width = int(width);
    decode.texture.height = int(height);
    decode.texture.channels = decode.declaredChannels;
}

} // namespace

void startImageDecode(const char* path)
{
    const GLint maxTextureSize = maximumTextureSize();
    if (decodeStarted || maxTextureSize < 1)
        return;
    try {
        std::vector<unsigned char> bytes;
        if (!readImageFile(path, maxTextureSize, bytes) || mayBeUploadedAsDds(bytes, maxTextureSize))
            return;
        pending.path = path;
        readDeclaredImage(bytes, pending);
        pending.maxTextureSize = std::uint32_t(maxTextureSize);
        pending.creditedTexels = creditedPixels(bytes.size(), std::uint32_t(maxTextureSize));
        pending.decode = startImageBytesDecode(bytes, maxTextureSize);
        decodeStarted = true;
        // The child has its copy; ours goes before the texture storage takes memory.
        bytes = std::vector<unsigned char>();
        prepareTextureStorage(pending);
    } catch (const std::exception&) {
        // Nothing started: the loader does all the work itself.
        pending = startedDecode();
    }
}

bool guessTextureSize(std::uint32_t& width, std::uint32_t& height)
{
    if (!decodeStarted || pending.declaredWidth == 0 || pending.declaredHeight == 0)
        return false;
    const std::uint32_t textureWidth = nextPowerOfTwo(pending.declaredWidth);
    const std::uint32_t textureHeight = nextPowerOfTwo(pending.declaredHeight);
    if (textureWidth > pending.maxTextureSize || textureHeight > pending.maxTextureSize
        || std::uint64_t(textureWidth) * textureHeight > pending.creditedTexels)
        return false;
    width = textureWidth;
    height = textureHeight;
    return true;
}

bool takeStartedDecode(const char* path, sandboxDecodeResult& result, preparedTexture& texture)
{
    if (!decodeStarted || pending.path != path)
        return false;
    texture = pending.texture;
    result = finishDecodeInSandbox(pending.decode);
    pending = startedDecode();
    decodeStarted = false;
    return true;
}
