#include "safeload/decodeAhead.h"
#include "safeload/safeImageLoad.h"
#include "tests/support/testSupport.h"
#include "tests/support/textureState.h"

#include <GL/freeglut.h>
#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// The loader against SOIL's direct load in a real GLUT window on Mesa: every
// format SOIL reads must give the very texture the direct load gives.

namespace {

struct imageCase {
    const char* name;
    int width, height;
    textLines options;
};

// Every kind that SOIL read correctly. The PNG and BMP kinds are read by
// decoders of our own now, which must give SOIL's very texture.
const imageCase validImages[] = {
    {"rgb.png", 67, 45, {"-define", "png:color-type=2"}},
    {"rgba.png", 67, 45, {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel", "-define", "png:color-type=6"}},
    {"grey.png", 67, 45, {"-colorspace", "Gray", "-define", "png:color-type=0"}},
    {"grey-alpha.png", 67, 45, {"-colorspace", "Gray", "-alpha", "set", "-channel", "A", "-evaluate", "set", "60%",
                                "+channel", "-define", "png:color-type=4"}},
    {"palette.png", 67, 45, {"-colors", "200", "-define", "png:color-type=3"}},
    {"palette-alpha.png", 67, 45, {"-alpha", "set", "-channel", "A", "-fx", "i>30?1:0", "+channel", "-colors", "60",
                                   "-define", "png:format=png8"}},
    {"gamma.png", 67, 45, {"-define", "png:color-type=2", "-set", "gamma", "0.7"}},
    {"rgb.bmp", 67, 45, {"-type", "TrueColor", "-define", "bmp:format=bmp3"}},
    {"palette.bmp", 67, 45, {"-colors", "200", "-type", "Palette", "-compress", "none", "-define", "bmp:format=bmp3"}},
    {"palette4.bmp", 67, 45, {"-colors", "12", "-type", "Palette", "-compress", "none", "-define", "bmp:format=bmp3"}},
    {"top-left.tga", 67, 45, {"-orient", "TopLeft"}},
    {"top-left-rle.tga", 67, 45, {"-orient", "TopLeft", "-compress", "RLE"}},
    {"rgba.psd", 67, 45, {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"}},
    {"rgb.hdr", 67, 45, {}},
    {"dxt1.dds", 64, 32, {"-define", "dds:compression=dxt1", "-define", "dds:mipmaps=0"}},
    {"dxt5.dds", 64, 32, {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel", "-define",
                          "dds:compression=dxt5", "-define", "dds:mipmaps=0"}},
    {"dxt1-mipmaps.dds", 64, 64, {"-define", "dds:compression=dxt1"}},
    {"rgb.dds", 60, 36, {"-define", "dds:compression=none", "-define", "dds:mipmaps=0"}},
    {"rgba.dds", 64, 32, {"-alpha", "set", "-define", "dds:compression=none", "-define", "dds:mipmaps=0"}},
    {"line.png", 4096, 1, {"-define", "png:color-type=2"}},
};

GLuint loadSafely(const std::string& path)
{
    std::string reason;
    GLuint texture = loadImageTextureSafely(path.c_str(), reason);
    EXPECT_NE(texture, 0u) << path << ": " << reason;
    return texture;
}

constexpr unsigned int encoderLoadFlags = SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT;

GLuint loadDirectly(const std::string& path)
{
    return SOIL_load_OGL_texture(path.c_str(), SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, encoderLoadFlags);
}

} // namespace

TEST(SafeLoadGL, ValidImagesOfEveryFormatGiveTheDirectLoadsTexture)
{
    scratchDirectory scratch;
    for (const imageCase& image : validImages) {
        const std::string path = scratch.file(image.name);
        makeImage(image.width, image.height, image.options, path);
        GLuint direct = loadDirectly(path);
        ASSERT_NE(direct, 0u) << image.name << ": " << SOIL_last_result();
        GLuint safe = loadSafely(path);
        const textureState expected = readTexture(direct);
        const textureState actual = readTexture(safe);
        EXPECT_EQ(std::vector<GLint>({actual.width, actual.height, actual.internalFormat, actual.minFilter,
                                      actual.magFilter, actual.wrapS, actual.wrapT}),
                  std::vector<GLint>({expected.width, expected.height, expected.internalFormat, expected.minFilter,
                                      expected.magFilter, expected.wrapS, expected.wrapT}))
            << image.name << ": size, internal format, filters and wrapping";
        EXPECT_TRUE(actual.texels == expected.texels) << image.name << " texels differ";
        glDeleteTextures(1, &direct);
        glDeleteTextures(1, &safe);
    }
    const textureState dds = readTexture(loadSafely(scratch.file("rgb.dds")));
    EXPECT_EQ(dds.width, 60) << "a DDS file keeps its own size";
    EXPECT_EQ(dds.height, 36);
}

// SOIL's direct load of a 1 x 3 image uploads memory it never wrote. The loader
// stretches it as SOIL stretches the same column doubled to 2 x 3.
TEST(SafeLoadGL, SingleTexelColumnIsStretchedLikeSoilStretchesAWiderOne)
{
    scratchDirectory scratch;
    const textLines grey = {"-colorspace", "Gray", "-define", "png:color-type=0"};
    makeImage(1, 3, grey, scratch.file("column.png"));
    textLines doubling = {scratch.file("column.png"), "-scale", "200%x100%", "-depth", "8"};
    doubling.insert(doubling.end(), grey.begin(), grey.end());
    doubling.push_back(scratch.file("doubled.png"));
    convert(doubling);
    const textureState stretched = readTexture(loadSafely(scratch.file("column.png")));
    const textureState expected = readTexture(loadDirectly(scratch.file("doubled.png")));
    ASSERT_EQ(stretched.width, 1);
    ASSERT_EQ(stretched.height, 4);
    ASSERT_EQ(expected.width, 2);
    ASSERT_EQ(expected.height, 4);
    for (int y = 0; y < 4; ++y)
        for (int channel = 0; channel < 4; ++channel)
            EXPECT_EQ(stretched.texels[size_t(y) * 4 + channel], expected.texels[size_t(y) * 8 + channel])
                << "row " << y;
}

// A decode started ahead gives the texture a plain load gives, through the same
// choice of decoder, also where the texture's storage was made ahead for the
// size and format the header declares (square, and keyed, whose transparent
// colour adds a channel the header's colour type does not show); the loader
// takes it over and reads nothing more of the file, which is gone by then.
// The texture size is guessed from PNG and BMP headers only, comes true for a
// valid file, and is never beyond the driver's largest texture or what the
// file's size is credited with, whatever its header claims.
TEST(SafeLoadGL, AStartedDecodeGivesTheSameTextureAndGuessesOnlyPlausibleSizes)
{
    scratchDirectory scratch;
    auto makeLyingPng = [&](const char* name, const std::string& claimedSize) {
        makeImage(8, 8, {"-define", "png:color-type=2"}, scratch.file(name));
        std::string bytes = readFile(scratch.file(name));
        writeFile(scratch.file(name), bytes.replace(16, 8, claimedSize));
    };
    makeLyingPng("huge.png", std::string("\0\0\x40\0\0\0\x40\0", 8));
    makeLyingPng("wide.png", std::string("\0\x01\0\0\0\0\0\x01", 8));
    const struct {
        imageCase image;
        bool guessed;
    } cases[] = {
        {{"rgb.png", 300, 200, {"-define", "png:color-type=2"}}, true},
        {{"square.png", 64, 32, {"-define", "png:color-type=2"}}, true},
        {{"keyed.png", 64, 32, {"-fill", "white", "-draw", "point 3,3", "-transparent", "white", "-define",
                                "png:color-type=2"}}, true},
        {{"encoded.bmp", 64, 32, {"-type", "TrueColor", "-define", "bmp:format=bmp3"}}, true},
        {{"topdown.bmp", 64, 31, {"-type", "TrueColor", "-define", "bmp:format=bmp3", "-flip"}}, true},
        {{"photo.jpg", 64, 32, {"-quality", "90"}}, false},
        {{"huge.png", 0, 0, {}}, false},
        {{"wide.png", 0, 0, {}}, false},
    };
    for (const auto& started : cases) {
        SCOPED_TRACE(started.image.name);
        const std::string path = scratch.file(started.image.name);
        if (started.image.width)
            makeImage(started.image.width, started.image.height, started.image.options, path);
        std::string plainReason, startedReason;
        GLuint plain = loadImageTextureSafely(path.c_str(), plainReason);
        imageDecodeAhead decodeAhead = startImageDecode(path.c_str());
        ASSERT_EQ(std::remove(path.c_str()), 0);
        std::uint32_t width = 0, height = 0;
        ASSERT_EQ(decodeAhead.guessTextureSize(width, height), started.guessed);
        GLuint early = loadImageTextureSafely(path.c_str(), std::move(decodeAhead), startedReason);
        EXPECT_EQ(startedReason, plainReason);
        ASSERT_EQ(early != 0, plain != 0);
        if (plain) {
            const textureState expected = readTexture(plain);
            EXPECT_TRUE(readTexture(early) == expected) << "the textures differ";
            if (started.guessed) {
                EXPECT_EQ(std::vector<int>({int(width), int(height)}),
                          std::vector<int>({expected.width, expected.height}));
            }
        }
        glDeleteTextures(1, &plain);
        glDeleteTextures(1, &early);
    }
}

// The area that bounds a program's memory: an image whose texture is beyond
// it is refused by name, whichever step finds it (the parent's size check,
// the DDS upload, or a decoder in the child before it allocates), and a
// started decode makes no storage for it.
TEST(SafeLoadGL, TexturesBeyondTheAreaLimitAreRefusedByName)
{
    scratchDirectory scratch;
    const imageCase rgb = {"rgb.png", 300, 200, {"-define", "png:color-type=2"}};
    const imageCase hdr = {"rgb.hdr", 300, 200, {}};
    const imageCase dds = {"plain.dds", 64, 32, {"-define", "dds:compression=none", "-define", "dds:mipmaps=0"}};
    const imageCase bulky = {"bulky.png", 0, 0, {}}; // 2 MB, more than any image of 1000 texels can take
    writeFile(scratch.file(bulky.name), std::string(2 << 20, 'x'));
    const struct {
        const imageCase& image;
        const char* limit;
        std::string reason; // empty: loaded
    } cases[] = {
        {rgb, "131072", ""},
        {rgb, "131071", "image of 300 x 200 texels needs a texture of 131072 texels, more than the limit of 131071 "
                        "(PIXVEIL_AREA_LIMIT)"},
        {rgb, "40000", "image of 300 x 200 texels with 3 channels is beyond what can be loaded (textures of at most "
                       "40000 texels; PIXVEIL_AREA_LIMIT sets that)"},
        {hdr, "131071", "image of 300 x 200 texels needs a texture of 131072 texels, more than the limit of 131071 "
                        "(PIXVEIL_AREA_LIMIT)"},
        {dds, "2047", "image of 64 x 32 texels needs a texture of 2048 texels, more than the limit of 2047 "
                      "(PIXVEIL_AREA_LIMIT)"},
        {bulky, "1000", "image file is too large: more bytes than any image within the limit of 1000 texels "
                        "(PIXVEIL_AREA_LIMIT)"},
        {rgb, "", "PIXVEIL_AREA_LIMIT is not a whole number of texels above 0: \"\""},
        {rgb, "0", "PIXVEIL_AREA_LIMIT is not a whole number of texels above 0: \"0\""},
        {rgb, "1e6", "PIXVEIL_AREA_LIMIT is not a whole number of texels above 0: \"1e6\""},
        {rgb, "-5", "PIXVEIL_AREA_LIMIT is not a whole number of texels above 0: \"-5\""},
    };
    for (const auto& bounded : cases) {
        SCOPED_TRACE(std::string(bounded.image.name) + " within " + bounded.limit);
        const std::string path = scratch.file(bounded.image.name);
        if (bounded.image.width)
            makeImage(bounded.image.width, bounded.image.height, bounded.image.options, path);
        setenv("PIXVEIL_AREA_LIMIT", bounded.limit, 1);
        imageDecodeAhead decodeAhead = startImageDecode(path.c_str());
        std::uint32_t width = 0, height = 0;
        EXPECT_EQ(decodeAhead.guessTextureSize(width, height),
                  bounded.reason.empty() && bounded.image.name == rgb.name);
        std::string reason;
        GLuint texture = loadImageTextureSafely(path.c_str(), std::move(decodeAhead), reason);
        EXPECT_EQ(texture != 0, bounded.reason.empty());
        EXPECT_EQ(reason, bounded.reason);
        glDeleteTextures(1, &texture);
    }
    unsetenv("PIXVEIL_AREA_LIMIT");
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA);
    glutCreateWindow("safeload");
    // The encoder uploads with tight rows; so does the direct load compared here.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    return RUN_ALL_TESTS();
}
