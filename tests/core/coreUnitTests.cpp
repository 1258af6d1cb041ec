#include "core/bmpLayout.h"
#include "core/inflateRaw.h"
#include "core/noise.h"
#include "core/outputPath.h"
#include "core/shaderBlobs.h"
#include "tests/support/testSupport.h"

#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

using pathDeriver = bool (*)(const char*, char (&)[pathCapacity], std::string&);

// The path made, or "refused: <reason>" with a check that nothing of a path
// was left in the buffer.
std::string madePath(bool made, const std::string& problem, const char (&output)[pathCapacity])
{
    if (made)
        return output;
    const bool cleared = std::all_of(std::begin(output), std::end(output), [](char byte) { return byte == 0; });
    return "refused: " + problem + (cleared ? "" : " (buffer not cleared)");
}

std::string derive(pathDeriver deriver, const std::string& input)
{
    char output[pathCapacity];
    std::memset(output, 'x', sizeof output);
    std::string problem;
    const bool made = deriver(input.c_str(), output, problem);
    return madePath(made, problem, output);
}

// The encoded output of `input` placed in `folder`.
std::string deriveInFolder(const std::string& input, const std::string& folder)
{
    char output[pathCapacity];
    std::string problem;
    if (!deriveOutputPath(input.c_str(), output, problem))
        return madePath(false, problem, output);
    const bool placed = placeInFolder(output, folder.c_str(), problem);
    return madePath(placed, problem, output);
}

// How both programs name their outputs, beside the input or in an output
// folder (-O DIR); at each length limit they accept a path and refuse one
// character more with the limit's reason, and no shortened name is ever made.
// An empty decoded name is the encoded one's; an empty one in the folder
// "in/out" the encoded one's refusal.
TEST(OutputPath, NamesTheOutputsBesideTheInputOrInAFolderWithinTheLimits)
{
    const auto repeated = [](std::size_t count, char character = 'a') { return std::string(count, character); };
    const std::string directory200 = repeated(199, 'd') + "/";
    const std::string directory255 = repeated(254, 'd') + "/";
    const std::string input259 = directory200 + repeated(10) + "." + repeated(48);
    const std::string outputPathTooLong = "refused: the output path would be longer than 259 characters";
    const struct {
        std::string input;
        std::string encoded;
        std::string decoded;
        std::string inFolder;
    } namings[] = {
        {"C:\\pics\\cat.png", "C:\\pics\\cat_enc.bmp", "C:\\pics\\cat_dec.bmp", "in/out/cat_enc.bmp"},
        {"cat.jpg", "cat_enc.bmp", "cat_dec.bmp", "in/out/cat_enc.bmp"},
        {"a.b.tga", "a.b_enc.bmp", "a.b_dec.bmp", "in/out/a.b_enc.bmp"},
        {"photo", "photo_enc.bmp", "photo_dec.bmp", "in/out/photo_enc.bmp"},
        {"../in/x_enc.png", "../in/x_enc_enc.bmp", "../in/x_dec.bmp", "in/out/x_enc_enc.bmp"},
        {"/tmp/v1.2/photo", "/tmp/v1.2/photo_enc.bmp", "/tmp/v1.2/photo_dec.bmp", "in/out/photo_enc.bmp"},
        {"dir.d/a.b.c", "dir.d/a.b_enc.bmp", "dir.d/a.b_dec.bmp", "in/out/a.b_enc.bmp"},
        {"pics/.png", "pics/_enc.bmp", "pics/_dec.bmp", "in/out/_enc.bmp"},
        {"", "_enc.bmp", "_dec.bmp", "in/out/_enc.bmp"},
        {"D:/mixed\\seps/img.png", "D:/mixed\\seps/img_enc.bmp", "D:/mixed\\seps/img_dec.bmp", "in/out/img_enc.bmp"},
        {"D:img.png", "D:img_enc.bmp", "D:img_dec.bmp", "in/out/img_enc.bmp"},
        {"dir/", "dir/_enc.bmp", "dir/_dec.bmp", "in/out/_enc.bmp"},
        {"x_enc_enc.bmp", "x_enc_enc_enc.bmp", "x_enc_dec.bmp", "in/out/x_enc_enc_enc.bmp"},
        {"photo_ENC.bmp", "photo_ENC_enc.bmp", "photo_ENC_dec.bmp", "in/out/photo_ENC_enc.bmp"},
        {"dir_enc/photo.bmp", "dir_enc/photo_enc.bmp", "dir_enc/photo_dec.bmp", "in/out/photo_enc.bmp"},
        {"_enc.bmp", "_enc_enc.bmp", "_enc_dec.bmp", "in/out/_enc_enc.bmp"},
        {input259, directory200 + repeated(10) + "_enc.bmp", directory200 + repeated(10) + "_dec.bmp",
         "in/out/" + repeated(10) + "_enc.bmp"},
        {input259 + "e", "refused: the image path is longer than 259 characters", "", ""},
        {directory255 + "a", outputPathTooLong, "", ""},
        {"d" + directory255 + "a", "refused: the directory part of the image path is longer than 255 characters", "",
         ""},
        // The folder takes the place of a shorter directory part.
        {repeated(244) + ".png", repeated(244) + "_enc.bmp", repeated(244) + "_dec.bmp",
         "in/out/" + repeated(244) + "_enc.bmp"},
        {repeated(245) + ".png", repeated(245) + "_enc.bmp", repeated(245) + "_dec.bmp", outputPathTooLong},
        {repeated(247) + ".png", repeated(247) + "_enc.bmp", repeated(247) + "_dec.bmp", outputPathTooLong},
        {repeated(248) + ".png", "refused: the output file name would be longer than 255 characters", "", ""},
        // The longest name the encoder writes decodes to a name as long.
        {repeated(247) + "_enc.bmp", "refused: the output file name would be longer than 255 characters",
         repeated(247) + "_dec.bmp", ""},
        {repeated(252) + ".png",
         "refused: the image file name is longer than 251 characters (without its extension)", "", ""},
        {"a." + repeated(254, 'e'), "a_enc.bmp", "a_dec.bmp", "in/out/a_enc.bmp"},
        {"a." + repeated(255, 'e'), "refused: the extension of the image file name is longer than 255 characters",
         "", ""},
        {directory200 + repeated(51), directory200 + repeated(51) + "_enc.bmp", directory200 + repeated(51) + "_dec.bmp",
         "in/out/" + repeated(51) + "_enc.bmp"},
        {directory200 + repeated(52), outputPathTooLong, "", ""},
        // The longest output the encoder writes decodes to a name as long.
        {directory200 + repeated(47) + "_enc.bmp", directory200 + repeated(47) + "_enc_enc.bmp",
         directory200 + repeated(47) + "_dec.bmp", "in/out/" + repeated(47) + "_enc_enc.bmp"},
    };
    for (const auto& naming : namings) {
        SCOPED_TRACE(naming.input.size());
        EXPECT_EQ(derive(deriveOutputPath, naming.input), naming.encoded);
        EXPECT_EQ(derive(deriveDecodedPath, naming.input), naming.decoded.empty() ? naming.encoded : naming.decoded);
        EXPECT_EQ(deriveInFolder(naming.input, "in/out"), naming.inFolder.empty() ? naming.encoded : naming.inFolder);
    }

    // A separator is added to a folder that does not end in one; the path in
    // the folder has the same limit.
    const struct {
        std::string folder;
        std::string placed;
    } folders[] = {
        {"out", "out/cat_enc.bmp"},
        {"out/", "out/cat_enc.bmp"},
        {"out\\", "out\\cat_enc.bmp"},
        {"", "cat_enc.bmp"},
        {".", "./cat_enc.bmp"},
        {"/", "/cat_enc.bmp"},
        {"C:", "C:/cat_enc.bmp"},
        {"/srv/a b/", "/srv/a b/cat_enc.bmp"},
        {repeated(247), repeated(247) + "/cat_enc.bmp"},
        {repeated(247) + "/", repeated(247) + "/cat_enc.bmp"},
        {repeated(248), outputPathTooLong},
        {repeated(248) + "/", outputPathTooLong},
        {repeated(400), outputPathTooLong},
    };
    for (const auto& [folder, placed] : folders) {
        SCOPED_TRACE(folder.size());
        EXPECT_EQ(deriveInFolder("C:\\pics\\cat.png", folder), placed);
    }
}

struct inflated {
    int status;
    std::string text;
    std::vector<unsigned char> buffer;
};

inflated inflateInto(std::size_t capacity, const std::vector<unsigned char>& blob)
{
    inflated result{0, "", std::vector<unsigned char>(capacity, 0)};
    uLongf length = capacity;
    result.status = inflateRaw(result.buffer.data(), &length, blob.data(), blob.size());
    result.text.assign(result.buffer.begin(), result.buffer.begin() + static_cast<std::ptrdiff_t>(length));
    return result;
}

TEST(ShaderBlobs, InflateToTheShaderFilesFollowedByAZero)
{
    const struct {
        const unsigned char* blob;
        std::size_t length;
        const char* file;
    } shaders[] = {
        {vertexShaderBlob, vertexShaderBlobLength, SHADERS_DIR "/vertex.glsl"},
        {fragmentShaderBlob, fragmentShaderBlobLength, SHADERS_DIR "/fragment.glsl"},
    };
    for (const auto& shader : shaders) {
        const std::string text = readFile(shader.file);
        ASSERT_FALSE(text.empty()) << shader.file;
        const inflated result = inflateInto(4096, {shader.blob, shader.blob + shader.length});
        EXPECT_EQ(result.status, Z_OK);
        EXPECT_EQ(result.text, text) << shader.file;
        EXPECT_EQ(result.buffer[text.size()], 0);
    }
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

// Raw DEFLATE only, and a text that fills the whole buffer leaves no room for
// a terminating zero: callers rely on that to keep one byte spare.
TEST(InflateRaw, TakesRawStreamsThatFitTheBuffer)
{
    const std::vector<unsigned char> fragment(fragmentShaderBlob, fragmentShaderBlob + fragmentShaderBlobLength);
    const struct {
        const char* name;
        std::vector<unsigned char> blob;
        bool inflates;
    } cases[] = {
        {"zlib header", compress("uniform sampler2D u_texture;", 15), false},
        {"damaged stream", {fragment.begin(), fragment.begin() + fragment.size() / 2}, false},
        {"one byte too long", compress(std::string(4097, 'x'), -15), false},
        {"exactly the buffer", compress(std::string(4096, 'x'), -15), true},
    };
    for (const auto& stream : cases)
        EXPECT_EQ(inflateInto(4096, stream.blob).status == Z_OK, stream.inflates) << stream.name;
    EXPECT_EQ(inflateInto(4096, cases[1].blob).status, Z_DATA_ERROR);
    EXPECT_EQ(inflateInto(4096, cases[3].blob).text, std::string(4096, 'x'));
}

// The generator is the classic rand() of Microsoft's C library: seed 1 draws
// 41, 18467, 6334, and every noise byte is a draw modulo 256.
TEST(Noise, FollowsTheEncodersGenerator)
{
    noiseGenerator generator(1);
    EXPECT_EQ((std::vector<int>{generator.next(), generator.next(), generator.next()}),
              (std::vector<int>{41, 18467, 6334}));
    unsigned char bytes[5];
    fillNoise(bytes, 5, 1);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 5), (std::vector<int>{41, 35, 190, 132, 225}));
    fillNoise(bytes, 3, 0);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 3), (std::vector<int>{38, 39, 246}));
}

// The threaded, interleaved fill against the serial generator: counts around
// the interleaved block and the split between threads, odd texture sizes and a
// large texture, seeds at both ends of the range.
TEST(Noise, FillIsTheSerialGeneratorsNoise)
{
    const std::size_t counts[] = {0, 1, 2, 3, 127, 128, 129, 3 * 300 * 7, 3 * 4097 * 33, (std::size_t{1} << 21) + 5,
                                  3 * 1031 * 1027, 3 * 4096 * 4096};
    for (std::uint32_t seed : {0u, 1u, pinnedSeed, 0xFFFFFFFFu}) {
        for (std::size_t count : counts) {
            std::vector<unsigned char> serial(count);
            noiseGenerator generator(seed);
            for (unsigned char& byte : serial)
                byte = static_cast<unsigned char>(generator.next() % 256);
            std::vector<unsigned char> fast(count + 1, 0xA5);
            fillNoise(fast.data(), count, seed);
            EXPECT_EQ(fast.back(), 0xA5) << "written past the end of " << count << " bytes";
            fast.pop_back();
            EXPECT_TRUE(fast == serial) << "seed " << seed << ", " << count << " bytes";
        }
    }
}

// Smaller sizes are checked by every save, against readBmp's own reckoning.
TEST(BmpLayout, TheLargestFileSizeDoesNotOverflow)
{
    EXPECT_EQ(bmpFileSize(16384, 16384), 54ull + 3ull * 16384 * 16384);
}

} // namespace

// A picture written by the project's BMP writer is byte for byte the file
// SOIL's writer makes of it, at every row padding.
TEST(BmpLayout, PicturesAreWrittenAsSoilWritesThem)
{
    scratchDirectory scratch;
    for (std::uint32_t width = 1; width <= 5; ++width) {
        const std::uint32_t height = 3;
        std::vector<unsigned char> rgb(std::size_t{3} * width * height);
        for (std::size_t i = 0; i < rgb.size(); ++i)
            rgb[i] = static_cast<unsigned char>(i * 37 + 11);
        const std::string soilFile = scratch.file("soil.bmp");
        ASSERT_NE(SOIL_save_image(soilFile.c_str(), SOIL_SAVE_TYPE_BMP, static_cast<int>(width),
                                  static_cast<int>(height), 3, rgb.data()),
                  0);
        const std::string soilBytes = readFile(soilFile);
        const std::vector<unsigned char> ours = bmpFileOf(rgb.data(), width, height);
        EXPECT_EQ(std::string(ours.begin(), ours.end()), soilBytes) << "width " << width;
    }
}
