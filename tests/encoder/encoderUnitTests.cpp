#include "core/bmpLayout.h"
#include "core/inflateRaw.h"
#include "core/noise.h"
#include "core/outputPath.h"
#include "core/shaderBlobs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The output path for `input`, or "refused: <reason>".
std::string outputFor(const std::string& input)
{
    char output[pathCapacity];
    std::memset(output, 'x', sizeof output);
    if (const char* problem = deriveOutputPath(input.c_str(), output)) {
        for (char byte : output) {
            if (byte != 0)
                return "refused, but the output buffer is not all zeros";
        }
        return std::string("refused: ") + problem;
    }
    return output;
}

std::string repeated(std::size_t count, char character = 'a')
{
    return std::string(count, character);
}

TEST(OutputPath, FollowsTheDocumentedExamples)
{
    EXPECT_EQ(outputFor("C:\\pics\\cat.png"), "C:\\pics\\cat_enc.bmp");
    EXPECT_EQ(outputFor("cat.jpg"), "cat_enc.bmp");
    EXPECT_EQ(outputFor("a.b.tga"), "a.b_enc.bmp");
    EXPECT_EQ(outputFor("photo"), "photo_enc.bmp");
    EXPECT_EQ(outputFor("../in/x.dds"), "../in/x_enc.bmp");
}

TEST(OutputPath, SplitsDirectoryNameAndExtension)
{
    EXPECT_EQ(outputFor("/tmp/v1.2/photo"), "/tmp/v1.2/photo_enc.bmp") << "dots in the directory are no extension";
    EXPECT_EQ(outputFor("dir.d/a.b.c"), "dir.d/a.b_enc.bmp") << "only the last dot counts";
    EXPECT_EQ(outputFor("pics/.png"), "pics/_enc.bmp") << "a name that is only an extension";
    EXPECT_EQ(outputFor(".png"), "_enc.bmp");
    EXPECT_EQ(outputFor(""), "_enc.bmp") << "an empty argument";
    EXPECT_EQ(outputFor("D:/mixed\\seps/img.png"), "D:/mixed\\seps/img_enc.bmp") << "both separators and a drive";
    EXPECT_EQ(outputFor("D:img.png"), "D:img_enc.bmp");
    EXPECT_EQ(outputFor("dir/"), "dir/_enc.bmp");
}

TEST(OutputPath, SplitsIntoFourParts)
{
    const pathParts parts = splitPath("C:\\a/b\\c.d.png");
    EXPECT_EQ(std::string(parts.drive, parts.driveLength), "C:");
    EXPECT_EQ(std::string(parts.directory, parts.directoryLength), "\\a/b\\");
    EXPECT_EQ(std::string(parts.fileName, parts.fileNameLength), "c.d");
    EXPECT_EQ(std::string(parts.extension, parts.extensionLength), ".png");
}

TEST(OutputPath, AcceptsEachLimitAndRefusesOnePast)
{
    // The input path: 259 characters fit. The extension keeps the output short.
    const std::string longDirectory = repeated(200, 'd') + "/";
    const std::string input259 = longDirectory + repeated(10) + "." + repeated(259 - 212);
    ASSERT_EQ(input259.size(), 259u);
    EXPECT_EQ(outputFor(input259), longDirectory + repeated(10) + "_enc.bmp");
    EXPECT_EQ(outputFor(input259 + "e"), "refused: the image path is longer than 259 characters");

    // The directory part, separator included: 255 characters fit its buffer,
    // although no output path that long can then fit.
    const std::string directory255 = repeated(254, 'd') + "/";
    EXPECT_EQ(outputFor(directory255 + "a"), "refused: the output path would be longer than 259 characters");
    EXPECT_EQ(outputFor("d" + directory255 + "a"),
              "refused: the directory part of the image path is longer than 255 characters");

    // The file name without its extension: 251 characters fit.
    EXPECT_EQ(outputFor(repeated(251) + ".png"), repeated(251) + "_enc.bmp");
    EXPECT_EQ(outputFor(repeated(252) + ".png"),
              "refused: the image file name is longer than 251 characters (without its extension)");

    // The extension, dot included: 255 characters fit.
    const std::string extension255 = "." + repeated(254, 'e');
    EXPECT_EQ(outputFor("a" + extension255), "a_enc.bmp");
    EXPECT_EQ(outputFor("a" + extension255 + "e"),
              "refused: the extension of the image file name is longer than 255 characters");

    // The composed output: 259 characters fit. No extension makes it 8 longer.
    const std::string directory200 = repeated(199, 'd') + "/";
    EXPECT_EQ(outputFor(directory200 + repeated(51)), directory200 + repeated(51) + "_enc.bmp");
    EXPECT_EQ((directory200 + repeated(51) + "_enc.bmp").size(), 259u);
    EXPECT_EQ(outputFor(directory200 + repeated(52)), "refused: the output path would be longer than 259 characters");
}

// The texts exactly as the shader program must see them, written out here
// rather than read back from encoder/shaders/.
const char* const expectedVertexText = "attribute vec3 a_param;\n"
                                       "\n"
                                       "varying vec4 texCoord0;\n"
                                       "varying vec3 v_param;\n"
                                       "\n"
                                       "void main(void)\n"
                                       "{\n"
                                       "\tgl_Position = gl_ModelViewProjectionMatrix * gl_Vertex;\n"
                                       "\ttexCoord0 = gl_MultiTexCoord0;\n"
                                       "\tv_param = a_param;\n"
                                       "}";

const char* const expectedFragmentText =
    "#version 330\n"
    "uniform sampler2D u_texture;\n"
    "uniform sampler2D u_gamma;\n"
    "varying vec4 texCoord0;\n"
    "varying vec3 v_param;\n"
    "\n"
    "uint func(vec3 co){\n"
    "    return uint(fract(sin(dot(co ,vec3(17.1684, 94.3498, 124.9547))) * 68431.4621) * 255.);\n"
    "}\n"
    "\n"
    "uvec3 rol(uvec3 value, int shift) {\n"
    "    return (value << shift) | (value >> (8 - shift));\n"
    "}\n"
    "\n"
    "const uvec3 m = uvec3(0xff);\n"
    "\n"
    "void main()\n"
    "{\n"
    "\tuvec3 t = uvec3(texture2D(u_texture, vec2(texCoord0)).rgb * 0xff) & m;\n"
    "\tuvec3 g = uvec3(texture2D(u_gamma, vec2(texCoord0)).rgb * 0xff) & m;\n"
    "\tint s = int(mod(func(v_param), 8));\n"
    "\tt = rol(t, s);\n"
    "\tvec3 c = vec3((t ^ g) & m) / 0xff;\n"
    "\tgl_FragColor = vec4(c, 1.);\n"
    "}";

struct inflated {
    int status;
    std::vector<unsigned char> buffer;
    uLongf length;
};

inflated inflateInto(std::size_t capacity, const unsigned char* blob, std::size_t blobLength)
{
    inflated result{0, std::vector<unsigned char>(capacity, 0), capacity};
    result.status = inflateRaw(result.buffer.data(), &result.length, blob, blobLength);
    return result;
}

std::vector<unsigned char> compress(const std::string& text, int windowBits)
{
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> blob(deflateBound(&stream, text.size()));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = blob.data();
    stream.avail_out = static_cast<uInt>(blob.size());
    deflate(&stream, Z_FINISH);
    blob.resize(stream.total_out);
    deflateEnd(&stream);
    return blob;
}

TEST(InflateRaw, BothBlobsGiveTheShaderTextsTerminatedByTheZeroFill)
{
    const struct {
        const unsigned char* blob;
        std::size_t blobLength;
        const char* text;
        std::size_t textLength;
    } cases[] = {
        {vertexShaderBlob, vertexShaderBlobLength, expectedVertexText, 200},
        {fragmentShaderBlob, fragmentShaderBlobLength, expectedFragmentText, 629},
    };
    for (const auto& shader : cases) {
        ASSERT_EQ(std::strlen(shader.text), shader.textLength);
        const inflated result = inflateInto(4096, shader.blob, shader.blobLength);
        EXPECT_EQ(result.status, 0);
        ASSERT_EQ(result.length, shader.textLength);
        EXPECT_EQ(std::string(result.buffer.begin(), result.buffer.begin() + result.length), shader.text);
        EXPECT_EQ(result.buffer[shader.textLength], 0) << "no terminator after the text";
    }
}

TEST(InflateRaw, RefusesDataWithAZlibHeader)
{
    const std::vector<unsigned char> wrapped = compress("uniform sampler2D u_texture;", 15);
    EXPECT_NE(inflateInto(4096, wrapped.data(), wrapped.size()).status, 0);
}

TEST(InflateRaw, RefusesADamagedStream)
{
    std::vector<unsigned char> damaged(fragmentShaderBlob, fragmentShaderBlob + fragmentShaderBlobLength);
    damaged.resize(damaged.size() / 2);
    EXPECT_EQ(inflateInto(4096, damaged.data(), damaged.size()).status, Z_DATA_ERROR);
}

TEST(InflateRaw, ATextMustLeaveRoomForTheTerminator)
{
    const std::vector<unsigned char> tooLong = compress(repeated(4097, 'x'), -15);
    EXPECT_NE(inflateInto(4096, tooLong.data(), tooLong.size()).status, 0);

    const std::vector<unsigned char> exact = compress(repeated(4096, 'x'), -15);
    const inflated result = inflateInto(4096, exact.data(), exact.size());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.length, 4096u);
    EXPECT_EQ(result.buffer.back(), 'x') << "the buffer is full: no terminating zero is left";
}

TEST(Noise, FollowsTheEncodersGenerator)
{
    unsigned char bytes[5];
    fillNoise(bytes, 5, 1);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 5), (std::vector<int>{41, 35, 190, 132, 225}));
    fillNoise(bytes, 3, 0);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 3), (std::vector<int>{38, 39, 246}));

    noiseGenerator generator(1);
    EXPECT_EQ(generator.next(), 41);
    EXPECT_EQ(generator.next(), 18467);
    EXPECT_EQ(generator.next(), 6334);
}

TEST(BmpLayout, RowsArePaddedToFourBytes)
{
    EXPECT_EQ(bmpFileSize(1, 1), 54u + 4u);
    EXPECT_EQ(bmpFileSize(2, 3), 54u + 8u * 3u);
    EXPECT_EQ(bmpFileSize(4, 2), 54u + 12u * 2u);
    EXPECT_EQ(bmpFileSize(512, 256), 393270u);
    EXPECT_EQ(bmpFileSize(16384, 16384), 54ull + 3ull * 16384 * 16384) << "no 32-bit overflow";
}

} // namespace
