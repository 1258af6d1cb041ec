// The project's own forms of SOIL's steps against SOIL itself, in a real GLUT
// window on Mesa: the same input must give the same bytes.

#include "core/atomicOutput.h"
#include "core/encodingPass.h"
#include "core/noise.h"
#include "core/noiseBuffer.h"
#include "safeload/decodeAhead.h"
#include "safeload/safeImageLoad.h"
#include "tests/support/testSupport.h"
#include "tests/support/textureState.h"
#include "texture/soilTexture.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<unsigned char> randomBytes(std::size_t count, unsigned int seed)
{
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (unsigned char& byte : bytes)
        byte = static_cast<unsigned char>(generator());
    return bytes;
}

// A framebuffer of its own for each size, so that any size can be read back
// without resizing the window.
class offscreenFrame {
public:
    offscreenFrame(int width, int height)
    {
        glGenFramebuffers(1, &framebuffer);
        glGenRenderbuffers(1, &colour);
        glBindRenderbuffer(GL_RENDERBUFFER, colour);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
        complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        glViewport(0, 0, width, height);
    }
    ~offscreenFrame()
    {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteRenderbuffers(1, &colour);
    }
    bool complete = false;

private:
    GLuint framebuffer = 0;
    GLuint colour = 0;
};

// Random pixels, every byte value in every channel.
void drawRandomPixels(int width, int height)
{
    const std::vector<unsigned char> rgb = randomBytes(std::size_t(width) * height * 3, unsigned(width * 31 + height));
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glRasterPos2i(-1, -1);
    glDrawPixels(width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
}

class SoilEquivalence : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool windowOpen = false;
        if (windowOpen)
            return;
        static char name[] = "soil-equivalence";
        static char* arguments[] = {name, nullptr};
        int count = 1;
        glutInit(&count, arguments);
        glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
        glutCreateWindow(name);
        glewInit();
        windowOpen = true;
    }

    scratchDirectory scratch;
};

class NoiseAhead : public SoilEquivalence { };

// Whether `texture` holds the noise of a second from `first` to `last`.
bool holdsNoiseOfASecondBetween(GLuint texture, std::uint32_t first, std::uint32_t last)
{
    const textureState made = readTexture(texture, GL_RGB, 3);
    for (std::uint32_t seed = first; seed <= last; ++seed) {
        const noiseBuffer noise = makeNoiseBuffer(unsigned(made.width), unsigned(made.height), seed);
        if (std::equal(made.texels.begin(), made.texels.end(), noise.bytes.get()))
            return true;
    }
    return false;
}

} // namespace

// Odd widths give every row padding; the pack alignment the caller had must
// not leak into either writer.
TEST_F(SoilEquivalence, TheCaptureWriterWritesSoilsScreenshotBytes)
{
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {2, 3}, {3, 5}, {5, 7}, {7, 2}, {300, 200}, {4097, 2049}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height));
        offscreenFrame frame(size.width, size.height);
        ASSERT_TRUE(frame.complete);
        drawRandomPixels(size.width, size.height);
        const std::string soilPath = scratch.file("soil.bmp");
        const std::string ownPath = scratch.file("own.bmp");

        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        ASSERT_NE(SOIL_save_screenshot(soilPath.c_str(), SOIL_SAVE_TYPE_BMP, 0, 0, size.width, size.height), 0);
        std::string reason;
        ASSERT_TRUE(saveCaptureAtomically(ownPath.c_str(), size.width, size.height, reason)) << reason;
        GLint alignmentAfter = 0;
        glGetIntegerv(GL_PACK_ALIGNMENT, &alignmentAfter);

        EXPECT_TRUE(readFile(ownPath) == readFile(soilPath)) << "the files differ";
        EXPECT_EQ(alignmentAfter, 1);
    }
}

// Every channel count SOIL uploads, at sizes that are powers of two (SOIL's
// up-scaling of the others is SOIL's own either way).
TEST_F(SoilEquivalence, TheDirectUploadMakesSoilsTexture)
{
    const GLenum formats[] = {GL_LUMINANCE, GL_LUMINANCE_ALPHA, GL_RGB, GL_RGBA};
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {2, 1}, {1, 4}, {8, 2}, {64, 32}, {512, 1024}};
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int channels = 1; channels <= 4; ++channels) {
        for (const auto& size : sizes) {
            SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(size.width) + " x "
                         + std::to_string(size.height));
            const std::vector<unsigned char> pixels =
                randomBytes(std::size_t(size.width) * size.height * channels, unsigned(channels));
            const GLuint soilTexture = SOIL_create_OGL_texture(pixels.data(), size.width, size.height, channels,
                                                               SOIL_CREATE_NEW_ID, imageTextureFlags);
            const textureState soil = readTexture(soilTexture, formats[channels - 1], channels);
            std::string reason;
            const GLuint ownTexture = createTextureAsSoilDoes(pixels.data(), size.width, size.height, channels, reason);
            const textureState own = readTexture(ownTexture, formats[channels - 1], channels);

            ASSERT_NE(soilTexture, 0u);
            ASSERT_NE(ownTexture, 0u) << reason;
            EXPECT_TRUE(own == soil) << "the textures differ";
            EXPECT_EQ(soil.boundTexture, GLint(soilTexture));
            EXPECT_EQ(own.boundTexture, GLint(ownTexture));
            glDeleteTextures(1, &soilTexture);
            glDeleteTextures(1, &ownTexture);
        }
    }
}

// The encoder's noise made while its image decodes is the very texture it then
// asks for when the guess came true; for any other size the noise is made
// afresh (its name may be the one freed). Either is the noise of the clock's
// second when it was made.
TEST_F(NoiseAhead, IsTakenOnlyAtTheGuessedSize)
{
    const std::string image = scratch.file("rgb.png");
    makeImage(300, 200, {"-define", "png:color-type=2"}, image);
    const struct {
        unsigned int width, height;
        bool madeAhead;
    } cases[] = {{512, 256, true}, {256, 512, false}};
    for (const auto& asked : cases) {
        SCOPED_TRACE(std::to_string(asked.width) + " x " + std::to_string(asked.height));
        imageDecodeAhead decodeAhead = startImageDecode(image.c_str());
        const std::uint32_t before = noiseSeedFromClock();
        noiseMadeAhead noiseAhead = makeNoiseTextureAheadOfImage(decodeAhead);
        GLint ahead = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &ahead);
        std::string reason;
        GLuint imageTexture = loadImageTextureSafely(image.c_str(), std::move(decodeAhead), reason);
        ASSERT_NE(imageTexture, 0u) << reason;
        noiseTextureFailure failure = noiseTextureFailure::none;
        GLuint noise =
            createClockSeededNoiseTexture(asked.width, asked.height, std::move(noiseAhead), failure, reason);
        const std::uint32_t after = noiseSeedFromClock();

        ASSERT_NE(noise, 0u) << reason;
        if (asked.madeAhead) {
            EXPECT_EQ(noise, GLuint(ahead));
        }
        const textureState made = readTexture(noise, GL_RGB, 3);
        EXPECT_EQ(std::vector<int>({made.width, made.height}),
                  std::vector<int>({int(asked.width), int(asked.height)}));
        EXPECT_TRUE(holdsNoiseOfASecondBetween(noise, before, after));
        glDeleteTextures(1, &imageTexture);
        glDeleteTextures(1, &noise);
    }
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
