#include "safeload/decodeAhead.h"

#include "safeload/formats/imageFormats.h"
#include "safeload/safeImageLoad.h"
#include "texture/soilTexture.h"

#include <GL/gl.h>

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
    textureBounds bounds;
    std::uint64_t creditedTexels = 0;
    preparedTexture texture;
};

// Destroyed at exit when a failed set-up never took it, which kills its child.
startedDecode pending;
bool decodeStarted = false;

void readDeclaredImage(const std::vector<unsigned char>& bytes, startedDecode& decode)
{
    declaredImage declared;
    if (!readDeclaredImage(bytes.data(), bytes.size(), declared))
        return;
    decode.declaredWidth = declared.width;
    decode.declaredHeight = declared.height;
    decode.declaredChannels = declared.channels;
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
    textureBounds bounds;
    std::string problem;
    if (decodeStarted || maxTextureSize < 1 || !findTextureBounds(maxTextureSize, bounds, problem))
        return;
    try {
        std::vector<unsigned char> bytes;
        if (!readImageFile(path, bounds, bytes) || mayBeUploadedAsDds(bytes, bounds))
            return;
        pending.path = path;
        readDeclaredImage(bytes, pending);
        pending.bounds = bounds;
        pending.creditedTexels = creditedPixels(bytes.size(), bounds.side);
        pending.decode = startImageBytesDecode(bytes, bounds);
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
    if (!textureFits(pending.declaredWidth, pending.declaredHeight, pending.bounds)
        || textureAreaFor(pending.declaredWidth, pending.declaredHeight) > pending.creditedTexels)
        return false;
    width = nextPowerOfTwo(pending.declaredWidth);
    height = nextPowerOfTwo(pending.declaredHeight);
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
