#include "safeload/decodeAhead.h"

#include "safeload/formats/imageFormats.h"
#include "safeload/safeImageLoad.h"
#include "texture/soilTexture.h"

#include <GL/gl.h>

#include <exception>
#include <string>
#include <utility>
#include <vector>

// A decode in flight: its child decodes from its own copy of the file's
// bytes, so only the sizes its header declares are kept here, with the
// texture storage made for them until the loader takes it.
struct decodeStartedAhead {
    decodeStartedAhead() = default;
    decodeStartedAhead(const decodeStartedAhead&) = delete;
    decodeStartedAhead& operator=(const decodeStartedAhead&) = delete;
    ~decodeStartedAhead()
    {
        if (texture.name)
            glDeleteTextures(1, &texture.name);
    }

    startedSandboxDecode decode;
    std::uint32_t declaredWidth = 0;
    std::uint32_t declaredHeight = 0;
    int declaredChannels = 0; // 0 when the header does not say
    textureBounds bounds;
    std::uint64_t creditedTexels = 0;
    preparedTexture texture;
};

namespace {

void readDeclaredImage(const std::vector<unsigned char>& bytes, decodeStartedAhead& decode)
{
    declaredImage declared;
    if (!readDeclaredImage(bytes.data(), bytes.size(), declared))
        return;
    decode.declaredWidth = declared.width;
    decode.declaredHeight = declared.height;
    decode.declaredChannels = declared.channels;
}

bool guessFromHeader(const decodeStartedAhead& decode, std::uint32_t& width, std::uint32_t& height)
{
    if (decode.declaredWidth == 0 || decode.declaredHeight == 0)
        return false;
    if (!textureFits(decode.declaredWidth, decode.declaredHeight, decode.bounds)
        || textureAreaFor(decode.declaredWidth, decode.declaredHeight) > decode.creditedTexels)
        return false;
    width = nextPowerOfTwo(decode.declaredWidth);
    height = nextPowerOfTwo(decode.declaredHeight);
    return true;
}

// For an image whose declared sides are already the texture's, the texture's
// storage is made while the child decodes.
void prepareTextureStorage(decodeStartedAhead& decode)
{
    std::uint32_t width = 0, height = 0;
    if (!guessFromHeader(decode, width, height) || width != decode.declaredWidth
        || height != decode.declaredHeight || decode.declaredChannels == 0)
        return;
    decode.texture.name = createTextureStorageAsSoilDoes(int(width), int(height), decode.declaredChannels);
    decode.texture.width = int(width);
    decode.texture.height = int(height);
    decode.texture.channels = decode.declaredChannels;
}

} // namespace

imageDecodeAhead::imageDecodeAhead() = default;
imageDecodeAhead::imageDecodeAhead(imageDecodeAhead&&) noexcept = default;
imageDecodeAhead& imageDecodeAhead::operator=(imageDecodeAhead&&) noexcept = default;
imageDecodeAhead::~imageDecodeAhead() = default;

imageDecodeAhead::imageDecodeAhead(std::unique_ptr<decodeStartedAhead> started) : started(std::move(started)) {}

imageDecodeAhead startImageDecode(const char* path)
{
    const GLint maxTextureSize = maximumTextureSize();
    textureBounds bounds;
    std::string problem;
    if (maxTextureSize < 1 || !findTextureBounds(maxTextureSize, bounds, problem))
        return imageDecodeAhead();
    try {
        std::vector<unsigned char> bytes;
        if (!readImageFile(path, bounds, bytes) || mayBeUploadedAsDds(bytes, bounds))
            return imageDecodeAhead();
        auto started = std::make_unique<decodeStartedAhead>();
        readDeclaredImage(bytes, *started);
        started->bounds = bounds;
        started->creditedTexels = creditedPixels(bytes.size(), bounds.side);
        started->decode = startImageBytesDecode(bytes, bounds);
        // The child has its copy; ours goes before the texture storage takes memory.
        bytes = std::vector<unsigned char>();
        prepareTextureStorage(*started);
        return imageDecodeAhead(std::move(started));
    } catch (const std::exception&) {
        // Nothing started: the loader does all the work itself.
        return imageDecodeAhead();
    }
}

bool imageDecodeAhead::guessTextureSize(std::uint32_t& width, std::uint32_t& height) const
{
    return started && guessFromHeader(*started, width, height);
}

bool imageDecodeAhead::finish(sandboxDecodeResult& result, preparedTexture& texture)
{
    if (!started)
        return false;
    const std::unique_ptr<decodeStartedAhead> finished = std::move(started);
    texture = std::exchange(finished->texture, preparedTexture());
    result = finishDecodeInSandbox(finished->decode);
    return true;
}
