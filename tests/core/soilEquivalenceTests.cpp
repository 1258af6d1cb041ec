// The project's own forms of SOIL's steps against SOIL itself, in a real GLUT
// window on Mesa: the same input must give the same bytes.

#include "core/atomicOutput.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

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
        static char name[] = "soil-equivalence";
        static char* arguments[] = {name, nullptr};
        int count = 1;
        glutInit(&count, arguments);
        glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
        glutCreateWindow(name);
        glewInit();
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/soil-equivalence-XXXXXX";
        directory = mkdtemp(pattern);
    }
    void TearDown() override { std::system(("rm -rf '" + directory + "'").c_str()); }

    std::string directory;
};

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
        const std::string soilPath = directory + "/soil.bmp";
        const std::string ownPath = directory + "/own.bmp";

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

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
