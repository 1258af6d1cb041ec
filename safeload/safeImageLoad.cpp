#include "safeload/safeImageLoad.h"

#include "base/limits.h"
#include "safeload/ddsHeader.h"
#include "safeload/decodeAhead.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"
#include "texture/singleTexelStretch.h"
#include "texture/soilTexture.h"

#include <GL/gl.h>
#include <SOIL/SOIL.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

// Exported by libSOIL but missing from its header.
extern "C" unsigned int SOIL_direct_load_DDS_from_memory(const unsigned char* const buffer, int buffer_length,
    unsigned int reuse_texture_ID, int flags, int loading_as_cubemap);

namespace {

enum class fileRead { read, unopenable, notRegular, tooLarge };

// The most bytes any image file SOIL reads can hold for a texture within the
// bounds: 4 bytes a texel, a third more for a full chain of mipmaps (DDS), and
// room for headers and palettes. SOIL takes an int length.
uint64_t largestImageFileBytes(const textureBounds& bounds)
{
    const uint64_t texels = bounds.area;
    const uint64_t bytes = texels * 4 + texels * 4 / 3 + (uint64_t(1) << 20);
    return bytes < uint64_t(INT_MAX) ? bytes : uint64_t(INT_MAX);
}

// Reads the whole file, refusing one of more than `byteLimit` bytes and
// anything that is not a regular file. The file is opened without blocking,
// so that a FIFO without a writer is turned away at once instead of holding
// the open until one comes; a device such as /dev/zero is turned away before
// a byte of it is read.
fileRead readWholeFile(const char* path, uint64_t byteLimit, std::vector<unsigned char>& bytes)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return fileRead::unopenable;
    struct stat info { };
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(descriptor);
        return fileRead::notRegular;
    }
    if (uint64_t(info.st_size) > byteLimit) {
        close(descriptor);
        return fileRead::tooLarge;
    }
    bytes.reserve(size_t(info.st_size));
    unsigned char chunk[1 << 16];
    ssize_t got;
    while (bytes.size() <= byteLimit && (got = read(descriptor, chunk, sizeof chunk)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    close(descriptor);
    return bytes.size() > byteLimit ? fileRead::tooLarge : fileRead::read;
}

std::string describeFileRead(fileRead read, const textureBounds& bounds)
{
    switch (read) {
    case fileRead::unopenable: return "Unable to open file";
    case fileRead::notRegular: return "not a regular file";
    case fileRead::tooLarge:
        return "image file is too large: more bytes than any image within the limit of " +
            std::to_string(bounds.area) + " texels (" + textureAreaVariable + ")";
    case fileRead::read: break;
    }
    return "";
}

// SOIL uploads with whatever unpack alignment is current; at the default of
// 4, rows of 1- or 2-texel textures and of odd-width RGB DDS files would be
// read with padding they do not have, past the end of SOIL's buffer.
class tightUnpacking {
public:
    tightUnpacking()
    {
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &previous);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    }
    ~tightUnpacking() { glPixelStorei(GL_UNPACK_ALIGNMENT, previous); }

private:
    GLint previous = 4;
};

// SOIL does not check that OpenGL took the image; a texture whose level 0 has
// another size than intended is given back and reported.
GLuint keepIfStored(GLuint texture, GLint width, GLint height, std::string& failureReason)
{
    if (texture && !textureHasSize(texture, width, height)) {
        glDeleteTextures(1, &texture);
        failureReason = "OpenGL could not store the " + std::to_string(width) + " x " +
            std::to_string(height) + " texture";
        return 0;
    }
    return texture;
}

std::string sizeText(uint64_t width, uint64_t height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

// Only a texture whose sides the driver takes can be beyond the area alone.
bool beyondAreaAlone(uint32_t width, uint32_t height, const textureBounds& bounds)
{
    const textureBounds anyArea {bounds.side, UINT64_MAX};
    return textureFits(width, height, anyArea) && !textureFits(width, height, bounds);
}

std::string areaRefusal(uint64_t width, uint64_t height, uint64_t textureArea, const textureBounds& bounds)
{
    return "image of " + sizeText(width, height) + " texels needs a texture of " + std::to_string(textureArea) +
        " texels, more than the limit of " + std::to_string(bounds.area) + " (" + textureAreaVariable + ")";
}

std::string sizeRefusal(int width, int height, int channels, const textureBounds& bounds)
{
    if (width > 0 && height > 0 && beyondAreaAlone(uint32_t(width), uint32_t(height), bounds))
        return areaRefusal(uint64_t(width), uint64_t(height), textureAreaFor(uint32_t(width), uint32_t(height)),
            bounds);
    return "image of " + sizeText(uint64_t(width), uint64_t(height)) + " texels with " +
        std::to_string(channels) + " channels is beyond this OpenGL driver's limit of " +
        std::to_string(bounds.side) + " per side";
}

// The texture storage made while the image decoded (decodeAhead.h), deleted
// unless an upload takes it.
class storageMadeAhead {
public:
    storageMadeAhead() = default;
    storageMadeAhead(const storageMadeAhead&) = delete;
    storageMadeAhead& operator=(const storageMadeAhead&) = delete;
    ~storageMadeAhead() { discard(); }

    // The storage, the caller's from now on, when it was made for these sizes.
    GLuint takeFor(int width, int height, int channels)
    {
        if (made.width != width || made.height != height || made.channels != channels)
            return 0;
        const GLuint name = made.name;
        made = preparedTexture();
        return name;
    }
    void discard()
    {
        if (made.name)
            glDeleteTextures(1, &made.name);
        made = preparedTexture();
    }

    preparedTexture made;
};

// Fills the storage made ahead when it has the image's sizes and format. Any
// other is deleted before a texture is made, so that its memory is free.
GLuint uploadDecodedImage(const sandboxDecodeResult& image, storageMadeAhead& storage, std::string& failureReason)
{
    tightUnpacking unpacking;
    if (GLuint texture = storage.takeFor(image.width, image.height, image.channels)) {
        fillTextureAsSoilDoes(texture, image.pixels, image.width, image.height, image.channels);
        return keepIfStored(texture, image.width, image.height, failureReason);
    }
    storage.discard();

    const unsigned char* pixels = image.pixels;
    int width = image.width, height = image.height;
    std::vector<unsigned char> stretched;
    if (needsSingleTexelStretch(width, height))
        stretched = stretchSingleTexelLine(pixels, image.width, image.height, image.channels, width, height);
    if (!stretched.empty())
        pixels = stretched.data();

    GLuint texture = createTextureAsSoilDoes(pixels, width, height, image.channels, failureReason);
    if (!texture)
        return 0;
    return keepIfStored(texture, GLint(nextPowerOfTwo(uint32_t(width))),
        GLint(nextPowerOfTwo(uint32_t(height))), failureReason);
}

// 0 when SOIL would not take the file directly, or declines it (a driver
// without S3TC, say); then the file is decoded like any other image.
// A DDS file uploaded directly keeps its own sides, so its own area is what counts.
GLuint uploadDdsDirectly(
    const std::vector<unsigned char>& bytes, const textureBounds& bounds, bool& refused, std::string& failureReason)
{
    ddsDirectCheck check = checkDdsForDirectUpload(bytes.data(), bytes.size(), bounds.side);
    refused = check.verdict == ddsDirectVerdict::refused;
    if (check.verdict != ddsDirectVerdict::safe) {
        failureReason = check.reason;
        return 0;
    }
    const uint64_t area = uint64_t(check.width) * check.height;
    if (area > bounds.area) {
        refused = true;
        failureReason = areaRefusal(check.width, check.height, area, bounds);
        return 0;
    }
    tightUnpacking unpacking;
    GLuint texture = SOIL_direct_load_DDS_from_memory(
        bytes.data(), int(bytes.size()), SOIL_CREATE_NEW_ID, int(imageTextureFlags), 0);
    // A direct upload that OpenGL did not keep must not fall back to decoding,
    // which would change the texture's size.
    refused = texture != 0;
    texture = keepIfStored(texture, GLint(check.width), GLint(check.height), failureReason);
    refused = refused && !texture;
    return texture;
}

} // namespace

bool decodedSizeIsUsable(int width, int height, int channels, uint64_t pixelCapacity, const textureBounds& bounds)
{
    return decodedSizeFits(width, height, channels, pixelCapacity)
        && textureFits(uint32_t(width), uint32_t(height), bounds);
}

bool readImageFile(const char* path, const textureBounds& bounds, std::vector<unsigned char>& bytes)
{
    return readWholeFile(path, largestImageFileBytes(bounds), bytes) == fileRead::read;
}

bool mayBeUploadedAsDds(const std::vector<unsigned char>& bytes, const textureBounds& bounds)
{
    return checkDdsForDirectUpload(bytes.data(), bytes.size(), bounds.side).verdict != ddsDirectVerdict::notDirect;
}

startedSandboxDecode startImageBytesDecode(const std::vector<unsigned char>& bytes, const textureBounds& bounds)
{
    imageDecoderChoice decoder = chooseImageDecoder(bytes.data(), bytes.size());
    if (!decoder.decode)
        return startedSandboxDecode(decoder.refusal);
    // An image's pixels are never more than its texture's, so no decode may give more.
    uint64_t capacity = bounds.area * 4;
    return startDecodeInSandbox(bytes.data(), bytes.size(), sandboxLimitsForFile(bytes.size(), bounds.side),
        capacity, decoder.decode, decoder.confinement);
}

sandboxDecodeResult decodeImageBytes(const std::vector<unsigned char>& bytes, const textureBounds& bounds)
{
    startedSandboxDecode started = startImageBytesDecode(bytes, bounds);
    return finishDecodeInSandbox(started);
}

namespace {

GLuint loadImageTexture(const char* path, imageDecodeAhead& decodeAhead, std::string& failureReason)
{
    GLint maxSize = maximumTextureSize();
    if (maxSize < 1) {
        failureReason = "OpenGL reports no texture size; missing OpenGL context?";
        return 0;
    }
    textureBounds bounds;
    if (!findTextureBounds(maxSize, bounds, failureReason))
        return 0;
    sandboxDecodeResult image;
    storageMadeAhead storage;
    if (!decodeAhead.finish(image, storage.made)) {
        std::vector<unsigned char> bytes;
        fileRead read = readWholeFile(path, largestImageFileBytes(bounds), bytes);
        if (read != fileRead::read) {
            failureReason = describeFileRead(read, bounds);
            return 0;
        }
        bool refused = false;
        GLuint texture = uploadDdsDirectly(bytes, bounds, refused, failureReason);
        if (texture || refused)
            return texture;
        image = decodeImageBytes(bytes, bounds);
    }
    if (!image.decoded) {
        failureReason = image.failureReason;
        return 0;
    }
    if (!decodedSizeIsUsable(image.width, image.height, image.channels, image.pixelCapacity, bounds)) {
        failureReason = sizeRefusal(image.width, image.height, image.channels, bounds);
        return 0;
    }
    return uploadDecodedImage(image, storage, failureReason);
}

} // namespace

unsigned int loadImageTextureSafely(const char* path, std::string& failureReason)
{
    return loadImageTextureSafely(path, imageDecodeAhead(), failureReason);
}

unsigned int loadImageTextureSafely(const char* path, imageDecodeAhead decodeAhead, std::string& failureReason)
{
    // Called from a GLUT callback: nothing may be thrown from here.
    try {
        return loadImageTexture(path, decodeAhead, failureReason);
    } catch (const std::bad_alloc&) {
        failureReason = "not enough memory to load the image";
        return 0;
    }
}