// Image variants that SOIL refused or read wrongly, made with ImageMagick at
// test time. For each: the sandboxed decode must give ImageMagick's own decode
// of the file with the image's channel count, the real encoder's output must
// be the encoding of ImageMagick's pixels, and damaged copies must end in the
// image failure or a whole output, never a signal or a hang.

#include "core/noise.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"
#include "tests/encoder/encoderTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct variant {
    const char* name;
    // Makes {out} from the 8-bit plasma {in}; {key} and {grey-key} are the
    // colour of its first pixel in colour and in grey, for colour keys.
    const char* command;
    int channels;
    int tolerance; // per colour sample: HEIF's colour conversion is ImageMagick's only within rounding
};

const variant variants[] = {
    {"progressive.jpg", "convert {in} -interlace JPEG {out}", 3, 0},
    {"grey-progressive.jpg", "convert {in} -colorspace Gray -interlace JPEG {out}", 1, 0},
    {"arithmetic.jpg", "convert {in} {out}.base.jpg && jpegtran -arithmetic -outfile {out} {out}.base.jpg", 3,
        0},
    {"cmyk.jpg", "convert {in} -colorspace CMYK {out}", 3, 0},
    {"interlaced.png", "convert {in} -interlace PNG -define png:color-type=2 {out}", 3, 0},
    {"few-colours.png", "convert {in} -colors 12 {out}", 3, 0},
    {"bilevel.png", "convert {in} -colorspace Gray -threshold 50% -define png:bit-depth=1 {out}", 1, 0},
    {"grey4.png", "convert {in} -colorspace Gray -define png:bit-depth=4 -define png:color-type=0 {out}", 1,
        0},
    {"rgb16.png", "convert {in} -depth 16 -define png:color-type=2 {out}", 3, 0},
    {"rgba16.png", "convert {in} -depth 16 -alpha set -channel A -evaluate set 60% +channel {out}", 4, 0},
    {"grey-key.png", "convert {in} -colorspace Gray -transparent '{grey-key}' -define png:color-type=0 {out}",
        2, 0},
    {"rgb-key.png", "convert {in} -transparent '{key}' -define png:color-type=2 {out}", 4, 0},
    {"frames.gif", "convert {in} \\( {in} -negate \\) {out}", 3, 0},
    {"transparent.gif", "convert {in} -transparent '{key}' {out}", 4, 0},
    {"interlaced.gif", "convert {in} -interlace GIF {out}", 3, 0},
    {"lossy.webp", "convert {in} -quality 80 {out}", 3, 0},
    {"lossless-alpha.webp",
        "convert {in} -alpha set -channel A -evaluate set 60% +channel -define webp:lossless=true {out}", 4,
        0},
    {"lzw.tiff", "convert {in} -compress lzw {out}", 3, 0},
    {"zip-alpha.tiff", "convert {in} -alpha set -channel A -evaluate set 60% +channel -compress zip {out}", 4,
        0},
    {"grey16.tiff", "convert {in} -colorspace Gray -depth 16 {out}", 1, 0},
    {"palette.tiff", "convert {in} -colors 30 -type Palette {out}", 3, 0},
    {"cmyk.tiff", "convert {in} -colorspace CMYK {out}", 3, 0},
    {"jpeg.tiff", "convert {in} -compress jpeg {out}", 3, 0},
    {"planes.tiff", "convert {in} -interlace plane {out}", 3, 0},
    {"tiles.tiff", "convert {in} -compress lzw -define tiff:tile-geometry=16x16 {out}", 3, 0},
    {"bilevel.tiff", "convert {in} -monochrome {out}", 1, 0},
    {"raw.ppm", "convert {in} {out}", 3, 0},
    {"raw16.pgm", "convert {in} -colorspace Gray -depth 16 {out}", 1, 0},
    {"raw.pbm", "convert {in} -monochrome {out}", 1, 0},
    {"plain.ppm", "convert {in} -compress none {out}", 3, 0},
    {"v3.bmp", "convert {in} BMP3:{out}", 3, 0},
    {"v5.bmp", "convert {in} {out}", 3, 0},
    {"v5-alpha.bmp", "convert {in} -alpha set -channel A -evaluate set 60% +channel {out}", 4, 0},
    {"rgb565.bmp", "convert {in} -define bmp:subtype=RGB565 {out}", 3, 0},
    {"rgb555.bmp", "convert {in} -define bmp:subtype=RGB555 {out}", 3, 0},
    {"rle8.bmp", "convert {in} -colors 200 -type Palette -compress RLE {out}", 3, 0},
    {"os2.bmp", "convert {in} BMP2:{out}", 3, 0},
    {"rgb.psd", "convert {in} {out}", 3, 0},
    {"grey.psd", "convert {in} -colorspace Gray {out}", 1, 0},
    {"rgb16.psd", "convert {in} -depth 16 {out}", 3, 0},
    {"bottom-left.tga", "convert {in} {out}", 3, 0},
    {"bottom-left-rle.tga", "convert {in} -compress RLE {out}", 3, 0},
    {"photo.heic", "convert {in} {out}", 3, 3},
    {"photo.avif", "convert {in} {out}", 3, 3},
};

void PrintTo(const variant& image, std::ostream* stream)
{
    *stream << image.name;
}

std::string replaced(std::string text, const std::string& placeholder, const std::string& value)
{
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

std::vector<unsigned char> bytesOf(const std::string& path)
{
    const std::string text = readFile(path);
    return {text.begin(), text.end()};
}

void runShell(const std::string& command)
{
    const std::string quiet = "(set -e; " + command + ") >/dev/null 2>&1";
    ASSERT_EQ(std::system(quiet.c_str()), 0) << command;
}

std::string firstPixelColour(
    const std::string& image, const std::string& options, const std::string& scratchFile)
{
    runShell("convert " + image + " " + options + " -format '%[pixel:p{0,0}]' info: >" + scratchFile);
    return readFile(scratchFile);
}

class FormatVariant : public testing::TestWithParam<variant> {
protected:
    void SetUp() override
    {
        image = scratch.file(GetParam().name);
        const std::string source = scratch.file("plasma.miff");
        runShell("convert -seed 7 -size 67x45 plasma: -depth 8 " + source);
        std::string command = replaced(GetParam().command, "{in}", source);
        command = replaced(command, "{key}", firstPixelColour(source, "", scratch.file("key")));
        command = replaced(
            command, "{grey-key}", firstPixelColour(source, "-colorspace Gray", scratch.file("key")));
        runShell(replaced(command, "{out}", image));
    }

    // ImageMagick's RGBA of the image's first frame, 8 bits a sample.
    std::vector<unsigned char> imageMagickRgba()
    {
        runShell("convert '" + image + "[0]' -depth 8 RGBA:" + scratch.file("expected.rgba"));
        return bytesOf(scratch.file("expected.rgba"));
    }

    scratchDirectory scratch;
    std::string image;
};

sandboxDecodeResult decodeSafely(const std::vector<unsigned char>& bytes)
{
    constexpr uint32_t largestTexture = 16384;
    imageDecoderChoice decoder = chooseImageDecoder(bytes.data(), bytes.size());
    EXPECT_NE(decoder.decode, nullptr) << decoder.refusal;
    if (!decoder.decode)
        return {};
    return decodeImageInSandbox(bytes.data(), bytes.size(),
        sandboxLimitsForFile(bytes.size(), largestTexture), uint64_t(largestTexture) * largestTexture * 4,
        decoder.decode, decoder.confinement);
}

// The samples of a decoded pixel as RGBA.
std::vector<unsigned char> asRgba(const unsigned char* pixel, int channels)
{
    switch (channels) {
    case 1: return {pixel[0], pixel[0], pixel[0], 255};
    case 2: return {pixel[0], pixel[0], pixel[0], pixel[1]};
    case 3: return {pixel[0], pixel[1], pixel[2], 255};
    default: return {pixel[0], pixel[1], pixel[2], pixel[3]};
    }
}

unsigned char rotatedLeft(unsigned char value, int shift)
{
    return static_cast<unsigned char>((value << shift) | (value >> ((8 - shift) & 7)));
}

// Pixels of `output` that are not the encoding of `input` with the noise of
// `seed`: output XOR noise is the input pixel rotated left by one amount, each
// sample within `tolerance` of it.
size_t pixelsOffTheEncoding(const rgbImage& input, const rgbImage& output, uint32_t seed, int tolerance)
{
    if (input.width != output.width || input.height != output.height)
        return input.rgb.size() / 3;
    std::vector<unsigned char> noise(output.rgb.size());
    fillNoise(noise.data(), noise.size(), seed);
    size_t off = 0;
    for (size_t at = 0; at < output.rgb.size(); at += 3) {
        bool matched = false;
        for (int shift = 0; shift < 8 && !matched; ++shift) {
            matched = true;
            for (int channel = 0; channel < 3; ++channel) {
                int decoded = rotatedLeft(output.rgb[at + channel] ^ noise[at + channel], (8 - shift) & 7);
                matched = matched && std::abs(decoded - int(input.rgb[at + channel])) <= tolerance;
            }
        }
        off += matched ? 0 : 1;
    }
    return off;
}

std::string withoutExtension(const std::string& path)
{
    return path.substr(0, path.rfind('.'));
}

const std::string imageFailure = "Something is wrong with your image...\nTexture loading failed: '";

} // namespace

TEST_P(FormatVariant, DecodesToImageMagicksPixels)
{
    const sandboxDecodeResult decoded = decodeSafely(bytesOf(image));
    ASSERT_TRUE(decoded.decoded) << decoded.failureReason;
    ASSERT_EQ(decoded.width, 67);
    ASSERT_EQ(decoded.height, 45);
    EXPECT_EQ(decoded.channels, GetParam().channels);
    const std::vector<unsigned char> expected = imageMagickRgba();
    ASSERT_EQ(expected.size(), size_t(67 * 45 * 4));
    size_t colourOff = 0, alphaOff = 0;
    for (size_t pixel = 0; pixel < size_t(67 * 45); ++pixel) {
        std::vector<unsigned char> actual =
            asRgba(decoded.pixels + pixel * decoded.channels, decoded.channels);
        for (int channel = 0; channel < 3; ++channel)
            colourOff += std::abs(actual[channel] - expected[pixel * 4 + channel]) > GetParam().tolerance;
        // ImageMagick 6 keeps alpha as opacity, so its 8 bits of a 16-bit
        // alpha round up where every other sample rounds down.
        alphaOff += std::abs(actual[3] - expected[pixel * 4 + 3]) > 1;
    }
    EXPECT_EQ(colourOff, 0u);
    EXPECT_EQ(alphaOff, 0u);
}

TEST_P(FormatVariant, EncodesImageMagicksPixels)
{
    const std::string reference = scratch.file("reference.bmp");
    runShell("convert '" + image + "[0]' -alpha off -depth 8 -type TrueColor BMP3:" + reference);
    const rgbImage input = referenceTexture(reference);
    const processResult run = runProcess({PIXVEIL_BINARY, image}, pinnedClock());
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string layoutProblem;
    const rgbImage output = readBmp(withoutExtension(image) + "_enc.bmp", layoutProblem);
    ASSERT_EQ(layoutProblem, "");
    // libfaketime lets the pinned clock run on; the seed is one of the first seconds.
    size_t fewestOff = input.rgb.size();
    for (uint32_t seed = pinnedSeed; seed < pinnedSeed + 10; ++seed)
        fewestOff = std::min(fewestOff, pixelsOffTheEncoding(input, output, seed, GetParam().tolerance));
    EXPECT_EQ(fewestOff, 0u);
}

// A copy cut in half is refused; one with bytes overwritten in its middle is
// refused or encoded whole.
TEST_P(FormatVariant, DamagedCopiesAreRefusedOrEncodedWhole)
{
    const std::string bytes = readFile(image);
    const std::string extension = image.substr(image.rfind('.'));
    std::string overwritten = bytes;
    for (size_t at = bytes.size() / 3; at < bytes.size() * 2 / 3; at += bytes.size() / 40 + 1)
        overwritten[at] = char(overwritten[at] ^ 0x5a);
    const struct {
        std::string name;
        std::string content;
        bool mayEncode;
    } copies[] = {{"half", bytes.substr(0, bytes.size() / 2), false}, {"overwritten", overwritten, true}};
    for (const auto& copy : copies) {
        const std::string path = scratch.file(copy.name + extension);
        std::ofstream(path, std::ios::binary) << copy.content;
        const processResult run = runProcess({PIXVEIL_BINARY, path}, pinnedClock());
        const bool written = fileExists(scratch.file(copy.name + "_enc.bmp"));
        if (run.status == 0 && copy.mayEncode) {
            std::string layoutProblem;
            readBmp(scratch.file(copy.name + "_enc.bmp"), layoutProblem);
            EXPECT_EQ(layoutProblem, "") << copy.name;
            continue;
        }
        EXPECT_EQ(run.status, 1) << copy.name << ": " << run.err;
        EXPECT_NE(run.out.find(imageFailure), std::string::npos) << copy.name << ": " << run.out;
        EXPECT_FALSE(written) << copy.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    , FormatVariant, testing::ValuesIn(variants), [](const testing::TestParamInfo<variant>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

// A user who re-saves an encoded output as PNG, or as the BMP ImageMagick
// writes by default (a V5 header), can still decode it: it decodes to the
// very bytes the encoder's own BMP decodes to.
TEST(ResavedOutput, DecodesLikeTheEncodersOwnBmp)
{
    scratchDirectory scratch;
    makeImage(64, 32, {}, "PNG24:" + scratch.file("photo.png"));
    ASSERT_EQ(runProcess({PIXVEIL_BINARY, scratch.file("photo.png")}, pinnedClock()).status, 0);
    std::string layoutProblem;
    const rgbImage output = readBmp(scratch.file("photo_enc.bmp"), layoutProblem);
    const uint32_t seed =
        findSeed(referenceTexture(scratch.file("photo.png")), output, pinnedSeed, pinnedSeed + 10);
    ASSERT_NE(seed, 0u);
    auto decodedBytes = [&](const std::string& folder, const std::string& format,
                            const std::string& encoded) {
        const std::string path = scratch.file(folder + "/" + encoded);
        mkdir(scratch.file(folder).c_str(), 0755);
        runShell("convert " + scratch.file("photo_enc.bmp") + " " + format + path);
        const processResult run = runProcess({PIXVEIL_DECODE_BINARY, path, std::to_string(seed)});
        EXPECT_EQ(run.status, 0) << encoded << ": " << run.err;
        return readFile(scratch.file(folder + "/photo_dec.bmp"));
    };
    const std::string original = decodedBytes("bmp3", "BMP3:", "photo_enc.bmp");
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(decodedBytes("png", "", "photo_enc.png"), original);
    EXPECT_EQ(decodedBytes("v5", "", "photo_enc.bmp"), original);
}
