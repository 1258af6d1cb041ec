// Test helper: what the encoder's shader sees of an image. Loads IMAGE exactly
// as the encoder does (SOIL, power-of-two and direct-DDS flags, tight row
// alignment) and writes the texture's level 0 as "width height\n" followed by
// its red, green and blue bytes, texture row 0 first.
//
//     pixveil-reference-texture IMAGE OUTPUT

#include <GL/freeglut.h>
#include <SOIL/SOIL.h>

#include <cstdio>
#include <vector>

namespace {

constexpr unsigned int encoderLoadFlags = SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT;

GLint levelZero(GLenum parameter)
{
    GLint value = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, parameter, &value);
    return value;
}

// Sampling a luminance texture gives (L, L, L); reading it back as RGB would
// give (L, 0, 0), so grey textures are read as luminance and spread out.
std::vector<unsigned char> readRgb(GLint width, GLint height)
{
    const std::size_t texels = static_cast<std::size_t>(width) * height;
    std::vector<unsigned char> rgb(texels * 3);
    const bool grey = levelZero(GL_TEXTURE_LUMINANCE_SIZE) > 0 && levelZero(GL_TEXTURE_RED_SIZE) == 0;
    if (!grey) {
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
        return rgb;
    }
    std::vector<unsigned char> luminance(texels);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, luminance.data());
    for (std::size_t i = 0; i < texels; ++i)
        rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = luminance[i];
    return rgb;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: pixveil-reference-texture IMAGE OUTPUT\n");
        return 2;
    }
    int glutArgumentCount = 1;
    char name[] = "reference";
    char* glutArguments[] = {name, nullptr};
    glutInit(&glutArgumentCount, glutArguments);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow(name);

    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    const GLuint texture = SOIL_load_OGL_texture(argv[1], SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, encoderLoadFlags);
    if (texture == 0) {
        std::fprintf(stderr, "reference: cannot load %s: %s\n", argv[1], SOIL_last_result());
        return 1;
    }
    glBindTexture(GL_TEXTURE_2D, texture);
    const GLint width = levelZero(GL_TEXTURE_WIDTH);
    const GLint height = levelZero(GL_TEXTURE_HEIGHT);
    const std::vector<unsigned char> rgb = readRgb(width, height);

    std::FILE* output = std::fopen(argv[2], "wb");
    if (!output)
        return 1;
    std::fprintf(output, "%d %d\n", width, height);
    const bool written = std::fwrite(rgb.data(), 1, rgb.size(), output) == rgb.size();
    return (std::fclose(output) == 0 && written) ? 0 : 1;
}
