#include "safeload/decodeAhead.h"
#include "safeload/safeImageLoad.h"

#include <GL/freeglut.h>
#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <dirent.h>
#include <string>
#include <vector>

// The loader against SOIL's direct load in a real GLUT window on Mesa: every
// format SOIL reads must give the very texture the direct load gives.

namespace {

struct textureState {
    GLint width = 0, height = 0, internalFormat = 0;
    GLint minFilter = 0, magFilter = 0, wrapS = 0, wrapT = 0;
    std::vector<unsigned char> rgba;
};

textureState readTexture(GLuint texture)
{
    textureState state;
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &state.width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &state.height);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &state.internalFormat);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &state.minFilter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &state.magFilter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &state.wrapS);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &state.wrapT);
    state.rgba.resize(size_t(state.width) * state.height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, state.rgba.data());
    return state;
}

class scratchFolder {
public:
    scratchFolder()
    {
        char pattern[] = "/tmp/safeload-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~scratchFolder() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

// Makes a test image with ImageMagick from a seeded plasma, 8 bits per sample.
std::string makeImage(
    const scratchFolder& folder, const std::string& name, const std::string& size, const std::string& options)
{
    std::string path = folder.path + "/" + name;
    std::string command =
        "/usr/bin/convert -seed 7 -size " + size + " plasma: -depth 8 " + options + " '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
}

struct imageCase {
    const char* name;
    const char* size;
    const char* options;
};

const imageCase validImages[] = {
    {"rgb.png", "67x45", "-define png:color-type=2"},
    {"rgba.png", "67x45", "-alpha set -channel A -evaluate set 60% +channel -define png:color-type=6"},
    {"grey.png", "67x45", "-colorspace Gray -define png:color-type=0"},
    {"palette.png", "67x45", "-colors 200 -define png:color-type=3"},
    {"photo.jpg", "67x45", "-quality 90"},
    {"rgb.bmp", "67x45", "-type TrueColor -define bmp:format=bmp3"},
    {"rgb.tga", "67x45", ""},
    {"rgb.psd", "67x45", ""},
    {"rgb.hdr", "67x45", ""},
    {"dxt1.dds", "64x32", "-define dds:compression=dxt1 -define dds:mipmaps=0"},
    {"dxt5.dds", "64x32",
        "-alpha set -channel A -evaluate set 60% +channel -define dds:compression=dxt5 "
        "-define dds:mipmaps=0"},
    {"dxt1-mipmaps.dds", "64x64", "-define dds:compression=dxt1"},
    {"rgb.dds", "60x36", "-define dds:compression=none -define dds:mipmaps=0"},
    {"rgba.dds", "64x32", "-alpha set -define dds:compression=none -define dds:mipmaps=0"},
    {"line.png", "4096x1", "-define png:color-type=2"},
};

GLuint loadSafely(const std::string& path)
{
    std::string reason;
    GLuint texture = loadImageTextureSafely(path.c_str(), reason);
    EXPECT_NE(texture, 0u) << path << ": " << reason;
    return texture;
}

} // namespace

TEST(SafeLoadGL, ValidImagesOfEveryFormatGiveTheDirectLoadsTexture)
{
    scratchFolder folder;
    for (const imageCase& image : validImages) {
        std::string path = makeImage(folder, image.name, image.size, image.options);
        GLuint direct = SOIL_load_OGL_texture(path.c_str(), SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, 65);
        ASSERT_NE(direct, 0u) << image.name << ": " << SOIL_last_result();
        GLuint safe = loadSafely(path);
        textureState expected = readTexture(direct);
        textureState actual = readTexture(safe);
        EXPECT_EQ(actual.width, expected.width) << image.name;
        EXPECT_EQ(actual.height, expected.height) << image.name;
        EXPECT_EQ(actual.internalFormat, expected.internalFormat) << image.name;
        EXPECT_EQ(actual.minFilter, expected.minFilter) << image.name;
        EXPECT_EQ(actual.magFilter, expected.magFilter) << image.name;
        EXPECT_EQ(actual.wrapS, expected.wrapS) << image.name;
        EXPECT_EQ(actual.wrapT, expected.wrapT) << image.name;
        EXPECT_TRUE(actual.rgba == expected.rgba) << image.name << " texels differ";
        glDeleteTextures(1, &direct);
        glDeleteTextures(1, &safe);
    }
}

TEST(SafeLoadGL, DdsFilesKeepTheirOwnSize)
{
    scratchFolder folder;
    std::string path =
        makeImage(folder, "odd.dds", "60x36", "-define dds:compression=none -define dds:mipmaps=0");
    textureState state = readTexture(loadSafely(path));
    EXPECT_EQ(state.width, 60);
    EXPECT_EQ(state.height, 36);
}

// SOIL's direct load of a 1 x 3 image uploads memory it never wrote. The loader
// stretches it as SOIL stretches the same column doubled to 2 x 3.
TEST(SafeLoadGL, SingleTexelColumnIsStretchedLikeSoilStretchesAWiderOne)
{
    scratchFolder folder;
    std::string column = makeImage(folder, "column.png", "1x3", "-colorspace Gray -define png:color-type=0");
    std::string doubled = folder.path + "/doubled.png";
    ASSERT_EQ(std::system(("/usr/bin/convert '" + column +
                  "' -scale 200%x100% -depth 8 -colorspace Gray "
                  "-define png:color-type=0 '" +
                  doubled + "'")
                              .c_str()),
        0);
    textureState stretched = readTexture(loadSafely(column));
    GLuint wide = SOIL_load_OGL_texture(doubled.c_str(), SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, 65);
    textureState expected = readTexture(wide);
    ASSERT_EQ(stretched.width, 1);
    ASSERT_EQ(stretched.height, 4);
    ASSERT_EQ(expected.width, 2);
    ASSERT_EQ(expected.height, 4);
    for (int y = 0; y < 4; ++y)
        for (int channel = 0; channel < 4; ++channel)
            EXPECT_EQ(stretched.rgba[size_t(y) * 4 + channel], expected.rgba[size_t(y) * 8 + channel])
                << "row " << y;
}

TEST(SafeLoadGL, MissingFileGivesSoilsReason)
{
    std::string reason;
    EXPECT_EQ(loadImageTextureSafely("/nonexistent/image.png", reason), 0u);
    SOIL_load_OGL_texture("/nonexistent/image.png", SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, 65);
    EXPECT_EQ(reason, SOIL_last_result());
}

TEST(SafeLoadGL, DirectoryIsTurnedAwayLikeAnUnknownImage)
{
    std::string reason;
    EXPECT_EQ(loadImageTextureSafely("/tmp", reason), 0u);
    EXPECT_EQ(reason, "Image not of any known type, or corrupt");
}

TEST(SafeLoadGL, MalformedImagesGiveAReasonOrAWholeTexture)
{
    DIR* corpus = opendir(MALFORMED_IMAGES_DIR);
    ASSERT_NE(corpus, nullptr);
    int files = 0;
    while (dirent* entry = readdir(corpus)) {
        std::string name = entry->d_name;
        if (name[0] == '.' || name == "README.md" || name == "INDEX.tsv")
            continue;
        ++files;
        std::string reason;
        GLuint texture =
            loadImageTextureSafely((std::string(MALFORMED_IMAGES_DIR) + "/" + name).c_str(), reason);
        if (texture == 0) {
            EXPECT_FALSE(reason.empty()) << name;
            continue;
        }
        textureState state = readTexture(texture);
        EXPECT_GT(state.width, 0) << name;
        EXPECT_GT(state.height, 0) << name;
        glDeleteTextures(1, &texture);
    }
    closedir(corpus);
    EXPECT_GE(files, 27);
}

// A decode started early gives the texture a plain load gives; the texture
// size is guessed from a PNG or BMP header only, and only in proportion to the
// file, whatever its header claims.
TEST(SafeLoadGL, AStartedDecodeGivesTheSameTextureAndGuessesOnlyPlausibleSizes)
{
    scratchFolder folder;
    const std::string lying = makeImage(folder, "lying.png", "8x8", "-define png:color-type=2");
    std::fstream patched(lying, std::ios::in | std::ios::out | std::ios::binary);
    patched.seekp(16);
    patched.write("\0\0\x40\0\0\0\x40\0", 8);
    patched.close();
    const struct {
        std::string path;
        bool guessed;
        std::uint32_t width, height;
    } cases[] = {
        {makeImage(folder, "rgb.png", "300x200", "-define png:color-type=2"), true, 512, 256},
        {makeImage(folder, "topdown.bmp", "64x31", "-type TrueColor -define bmp:format=bmp3 -flip"), true, 64, 32},
        {makeImage(folder, "photo.jpg", "64x32", "-quality 90"), false, 0, 0},
        {lying, false, 0, 0},
    };
    for (const auto& image : cases) {
        SCOPED_TRACE(image.path);
        std::string plainReason, startedReason;
        GLuint plain = loadImageTextureSafely(image.path.c_str(), plainReason);
        startImageDecode(image.path.c_str());
        std::uint32_t width = 0, height = 0;
        EXPECT_EQ(guessTextureSize(width, height), image.guessed);
        EXPECT_EQ(width, image.width);
        EXPECT_EQ(height, image.height);
        GLuint started = loadImageTextureSafely(image.path.c_str(), startedReason);
        EXPECT_EQ(startedReason, plainReason);
        EXPECT_EQ(started != 0, plain != 0);
        if (plain && started) {
            EXPECT_TRUE(readTexture(started).rgba == readTexture(plain).rgba) << "the textures differ";
        }
        EXPECT_FALSE(guessTextureSize(width, height)) << "the started decode was not taken";
        glDeleteTextures(1, &plain);
        glDeleteTextures(1, &started);
    }
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
