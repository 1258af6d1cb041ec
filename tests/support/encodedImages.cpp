#include "tests/support/encodedImages.h"

#include "core/noise.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

void expectField(const std::string& path, const char* name, std::uint64_t actual, std::uint64_t expected)
{
    if (actual != expected)
        throw std::runtime_error(path + ": " + name + " is " + std::to_string(actual) + ", expected " +
                                 std::to_string(expected));
}

// The rotation that explains the pixel at byte `at`, or -1.
int rotationOf(const rgbImage& input, const rgbImage& output, const std::vector<unsigned char>& noise,
               std::size_t at, int tolerance)
{
    for (int amount = 0; amount < 8; ++amount) {
        bool all = true;
        for (std::size_t channel = at; channel < at + 3; ++channel) {
            const int unrotated = rotateLeft(output.rgb[channel] ^ noise[channel], (8 - amount) & 7);
            all = all && std::abs(unrotated - input.rgb[channel]) <= tolerance;
        }
        if (all)
            return amount;
    }
    return -1;
}

} // namespace

rgbImage readBmp(const std::string& path)
{
    const std::string bytes = readFile(path);
    if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0)
        throw std::runtime_error(path + ": no BMP header");
    rgbImage image;
    const std::uint32_t width = littleEndianAt(bytes, 18, 4);
    const std::uint32_t height = littleEndianAt(bytes, 22, 4);
    const std::uint32_t padding = width & 3u;
    const std::uint64_t rowSize = 3ull * width + padding;
    const std::uint64_t fileSize = 54 + rowSize * height;
    const struct {
        const char* name;
        std::size_t offset;
        int size;
        std::uint64_t expected;
    } fields[] = {
        {"file size field", 2, 4, fileSize}, {"reserved fields", 6, 4, 0},  {"pixel offset", 10, 4, 54},
        {"info header size", 14, 4, 40},     {"planes", 26, 2, 1},          {"bits per pixel", 28, 2, 24},
        {"compression", 30, 4, 0},           {"image size", 34, 4, 0},      {"horizontal resolution", 38, 4, 0},
        {"vertical resolution", 42, 4, 0},   {"colours used", 46, 4, 0},    {"important colours", 50, 4, 0},
    };
    for (const auto& field : fields)
        expectField(path, field.name, littleEndianAt(bytes, field.offset, field.size), field.expected);
    expectField(path, "file length", bytes.size(), fileSize);

    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.rgb.resize(3ull * width * height);
    // Rows are stored bottom row first, each pixel as blue, green, red.
    for (std::uint32_t fileRow = 0; fileRow < height; ++fileRow) {
        const std::size_t rowStart = 54 + fileRow * rowSize;
        const std::size_t imageRowStart = std::size_t{height - 1 - fileRow} * width * 3;
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t channel = 0; channel < 3; ++channel)
                image.rgb[imageRowStart + x * 3 + channel] = bytes[rowStart + x * 3 + 2 - channel];
        for (std::uint32_t p = 0; p < padding; ++p)
            expectField(path, "padding byte", static_cast<unsigned char>(bytes[rowStart + 3ull * width + p]), 0);
    }
    return image;
}

void negateBmpHeight(const std::string& path)
{
    constexpr std::size_t heightOffset = 22;
    std::string bytes = readFile(path);
    if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0)
        throw std::runtime_error(path + ": no BMP header");
    const auto height = static_cast<std::int32_t>(littleEndianAt(bytes, heightOffset, 4));
    bytes.replace(heightOffset, 4, littleEndianBytes(static_cast<std::uint32_t>(-height)));
    writeFile(path, bytes);
}

rgbImage referenceTexture(const std::string& image)
{
    scratchDirectory scratch;
    const std::string output = scratch.file("texture.raw");
    // A JPEG's pixels are libjpeg-turbo's, as ImageMagick's are, not those of
    // SOIL's own decoder: SOIL gets them from ImageMagick's lossless copy.
    const bool jpeg = image.size() > 4 && image.compare(image.size() - 4, 4, ".jpg") == 0;
    const std::string loaded = jpeg ? scratch.file("pixels.bmp") : image;
    if (jpeg)
        convert({image, "-type", "TrueColor", "BMP3:" + loaded});
    const processResult result = runProcess({PIXVEIL_REFERENCE_TEXTURE, loaded, output});
    if (result.status != 0)
        throw std::runtime_error("reference texture failed for " + image + ": " + result.err);
    const std::string bytes = readFile(output);
    rgbImage texture;
    std::istringstream(bytes) >> texture.width >> texture.height;
    texture.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.find('\n') + 1), bytes.end());
    if (texture.rgb.size() != 3ull * texture.width * texture.height)
        throw std::runtime_error("reference texture has the wrong size for " + image);
    return texture;
}

std::size_t wrongPixels(const rgbImage& input, const rgbImage& output, std::uint32_t seed,
                        std::bitset<8>* rotationsUsed, int tolerance)
{
    if (input.width != output.width || input.height != output.height)
        return std::max<std::size_t>({1, input.rgb.size() / 3, output.rgb.size() / 3});
    std::vector<unsigned char> noise(input.rgb.size());
    fillNoise(noise.data(), noise.size(), seed);
    std::size_t wrong = 0;
    for (std::size_t at = 0; at < input.rgb.size(); at += 3) {
        const int amount = rotationOf(input, output, noise, at, tolerance);
        if (amount < 0)
            ++wrong;
        else if (rotationsUsed)
            rotationsUsed->set(static_cast<std::size_t>(amount));
    }
    return wrong;
}

const char* const encoderSuccessOutput = "OpenGL 2.0 (or higher) is available!\n"
                                         "[OK] OpenGL Shading Language is available!\n"
                                         "\n"
                                         "***GLSL Compiler Log (Vertex Shader):\n"
                                         "[e06] Compiler log is not available!\n"
                                         "***GLSL Compiler Log (Fragment Shader):\n"
                                         "[e06] Compiler log is not available!\n"
                                         "***GLSL Linker Log:\n"
                                         "[e05] Linker log is not available!\n";

std::string encodedPathOf(const std::string& image)
{
    return image.substr(0, image.rfind('.')) + "_enc.bmp";
}

void expectEncodingOf(const rgbImage& texture, const std::string& image, std::uint32_t seed,
                      std::bitset<8>* rotationsUsed, int tolerance)
{
    SCOPED_TRACE(image);
    const processResult run = runProcess({PIXVEIL_ENCODER, image}, pinnedClock(seed));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, encoderSuccessOutput);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(wrongPixels(texture, readBmp(encodedPathOf(image)), seed, rotationsUsed, tolerance), 0u)
        << "of " << texture.width << " x " << texture.height;
}

rgbImage encodeFaithfully(const std::string& image, std::uint32_t seed, std::bitset<8>* rotationsUsed)
{
    const rgbImage texture = referenceTexture(image);
    expectEncodingOf(texture, image, seed, rotationsUsed);
    return texture;
}

inputAndOutputFolders makeEncodedInputAndOutputFolders(const std::string& folder)
{
    inputAndOutputFolders made{folder + "/in", folder + "/out", folder + "/in/photo.png"};
    EXPECT_EQ(mkdir(made.inputs.c_str(), 0755), 0);
    EXPECT_EQ(mkdir(made.outputs.c_str(), 0755), 0);
    makeImage(64, 32, {}, "PNG24:" + made.image);
    encodeFaithfully(made.image);
    return made;
}
