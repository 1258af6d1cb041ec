// The size recovery without a window: pictures made here, up-scaled by SOIL's
// own up_scale_image, and given back by the recovery at their own size.

#include "sizerecovery/lineFit.h"
#include "sizerecovery/pixelRecovery.h"
#include "sizerecovery/sizeRecovery.h"
#include "sizerecovery/textureDamage.h"
#include "sizerecovery/upScaling.h"
#include "tests/support/testSupport.h"
#include "texture/singleTexelStretch.h"
#include "texture/textureBounds.h"

#include <SOIL/image_helper.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <tuple>
#include <vector>

namespace {

constexpr int rgb = 3;

struct size2d {
    int width;
    int height;
};

int nextPowerOf2(int side)
{
    return static_cast<int>(nextPowerOfTwo(static_cast<std::uint32_t>(side)));
}

std::vector<unsigned char> makePicture(size2d size, int grain = 24)
{
    return photoLikePicture(size.width, size.height, grain);
}

// The picture with its red plane in all three.
std::vector<unsigned char> greyed(std::vector<unsigned char> picture)
{
    for (std::size_t i = 0; i < picture.size(); i += rgb)
        picture[i + 1] = picture[i + 2] = picture[i];
    return picture;
}

// What the encoder's loader makes of a picture: SOIL's up-scaling to powers
// of two, or the loader's stretch for a picture one texel wide or high.
std::vector<unsigned char> soilTexture(const std::vector<unsigned char>& picture, size2d size)
{
    const size2d texture{nextPowerOf2(size.width), nextPowerOf2(size.height)};
    if (texture.width == size.width && texture.height == size.height)
        return picture;
    if (needsSingleTexelStretch(size.width, size.height)) {
        int width = 0;
        int height = 0;
        return stretchSingleTexelLine(picture.data(), size.width, size.height, rgb, width, height);
    }
    std::vector<unsigned char> scaled(static_cast<std::size_t>(texture.width) * texture.height * rgb);
    EXPECT_EQ(up_scale_image(picture.data(), size.width, size.height, rgb, scaled.data(), texture.width,
                             texture.height),
              1);
    return scaled;
}

std::vector<unsigned char> modelTexture(const std::vector<unsigned char>& picture, size2d size)
{
    const size2d texture{nextPowerOf2(size.width), nextPowerOf2(size.height)};
    std::vector<unsigned char> scaled(static_cast<std::size_t>(texture.width) * texture.height * rgb);
    for (int channel = 0; channel < rgb; ++channel) {
        std::vector<unsigned char> plane(picture.size() / rgb);
        for (std::size_t i = 0; i < plane.size(); ++i)
            plane[i] = picture[i * rgb + static_cast<std::size_t>(channel)];
        const std::vector<unsigned char> scaledPlane =
            upScalePlane(plane.data(), size.width, size.height, texture.width, texture.height);
        for (std::size_t i = 0; i < scaledPlane.size(); ++i)
            scaled[i * rgb + static_cast<std::size_t>(channel)] = scaledPlane[i];
    }
    return scaled;
}

recoveredPicture recover(const std::vector<unsigned char>& texture, size2d size)
{
    const size2d textureSize{nextPowerOf2(size.width), nextPowerOf2(size.height)};
    return recoverOriginalSize(texture, textureSize.width, textureSize.height,
                               recoveryWorkLimit(textureSize.width, textureSize.height));
}

TEST(UpScaling, MatchesSoilBitForBit)
{
    const size2d sizes[] = {{17, 9}, {129, 257}, {300, 200}, {512, 300}, {3, 2}, {1, 40}, {33, 1}, {1000, 750}};
    for (const size2d size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const std::vector<unsigned char> picture = makePicture(size, 127);
        EXPECT_EQ(modelTexture(picture, size), soilTexture(picture, size));
    }
}

// Photo-like pictures of these sizes come back at their own size, without
// giving up on a smaller one, and up-scale to the texture exactly under SOIL's
// own routine; grainy ones stay well under one level from the original on
// average. 504 -> 512 and 992 -> 1024: the width's samples drift across whole
// texels so slowly that long runs of outputs read two texels at nearly equal
// weights, and the last misses there take moves of several texels at once.
// A smooth picture (grain 0) fits many sizes near its own almost exactly:
// those with both sides scaled by nearly one each cost a whole budget to give
// up, and a 1020 x 765 one has ten widths ruled out before its own; within
// the decoder's own work limit, its own size must still come.
TEST(SizeRecovery, GivesBackPicturesAtTheirOwnSize)
{
    const struct {
        size2d size;
        int grain;
    } pictures[] = {{{17, 9}, 24},   {{129, 257}, 24}, {{300, 200}, 24}, {{512, 300}, 24}, {{300, 256}, 24},
                    {{1, 40}, 24},   {{3, 3}, 24},     {{504, 378}, 24}, {{992, 744}, 24}, {{504, 378}, 0},
                    {{1020, 765}, 0}};
    for (const auto& [size, grain] : pictures) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + ", grain " + std::to_string(grain));
        const std::vector<unsigned char> picture = makePicture(size, grain);
        const std::vector<unsigned char> texture = soilTexture(picture, size);
        const recoveredPicture recovered = recover(texture, size);
        ASSERT_EQ(recovered.result, recoveredPicture::outcome::recovered);
        EXPECT_EQ(recovered.width, size.width);
        EXPECT_EQ(recovered.height, size.height);
        EXPECT_FALSE(recovered.smallerSizeGivenUp);
        ASSERT_EQ(recovered.rgb.size(), picture.size());
        EXPECT_EQ(soilTexture(recovered.rgb, size), texture);
        if (grain) {
            EXPECT_LT(meanAbsoluteDifference(recovered.rgb, picture), 0.5);
        }
    }
}

std::uint64_t digestOf(const std::vector<unsigned char>& bytes)
{
    std::uint64_t digest = 14695981039346656037u; // 64-bit FNV-1a
    for (unsigned char byte : bytes)
        digest = (digest ^ byte) * 1099511628211u;
    return digest;
}

// Of the many pictures that up-scale to a texture, the recovery gives back
// one in particular; these digests pin that picture, so that work on the
// recovery's speed cannot change it unnoticed. A change meant to give other
// pictures updates them and says why. The grey picture's three planes are
// one texture, recovered once and copied. The search is bounded by work, not
// time, so a search cut short by its limit gives the same picture in every
// build, however fast: the last row stops 504 x 378 before its last texel
// is matched.
TEST(SizeRecovery, KeepsGivingBackTheSamePictures)
{
    constexpr std::uint64_t decodersLimit = 0;
    const struct {
        size2d size;
        bool grey;
        std::uint64_t workLimit;
        std::uint64_t digest;
        std::size_t texelsMissed;
    } pinned[] = {{{300, 200}, false, decodersLimit, 0x917b3fb10c4bb4fbu, 0},
                  {{504, 378}, false, decodersLimit, 0x2a96e9a46db5825eu, 0},
                  {{300, 200}, true, decodersLimit, 0x701bf8a03461873fu, 0},
                  {{504, 378}, false, 20'000'000, 0xa89d3c09a41a558fu, 1}};
    for (const auto& [size, grey, workLimit, digest, texelsMissed] : pinned) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + (grey ? " grey" : ""));
        const std::vector<unsigned char> picture = grey ? greyed(makePicture(size)) : makePicture(size);
        const std::vector<unsigned char> texture = soilTexture(picture, size);
        const recoveredPicture recovered =
            workLimit == decodersLimit
                ? recover(texture, size)
                : recoverOriginalSize(texture, nextPowerOf2(size.width), nextPowerOf2(size.height), workLimit);
        EXPECT_EQ(digestOf(recovered.rgb), digest);
        EXPECT_EQ(recovered.texelsMissed, texelsMissed);
        EXPECT_EQ(recovered.result, texelsMissed ? recoveredPicture::outcome::nearlyRecovered
                                                 : recoveredPicture::outcome::recovered);
    }
}

// A flat picture is the up-scaling of a flat picture of any size; the
// smallest is given back.
TEST(SizeRecovery, GivesFlatPicturesBackAtTheSmallestSize)
{
    const size2d size{300, 200};
    const std::vector<unsigned char> flat(static_cast<std::size_t>(size.width) * size.height * rgb, 77);
    const recoveredPicture recovered = recover(soilTexture(flat, size), size);
    ASSERT_EQ(recovered.result, recoveredPicture::outcome::recovered);
    EXPECT_EQ(recovered.width, 257);
    EXPECT_EQ(recovered.height, 129);
    EXPECT_EQ(recovered.rgb, std::vector<unsigned char>(257u * 129u * rgb, 77));
}

TEST(SizeRecovery, StopsAtItsWorkLimit)
{
    const size2d size{300, 200};
    const recoveredPicture late = recoverOriginalSize(soilTexture(makePicture(size), size), 512, 256, 0);
    EXPECT_EQ(late.result, recoveredPicture::outcome::outOfWork);
    EXPECT_TRUE(late.rgb.empty());

    // Cut short after some work, with the progress line's share all spent.
    constexpr std::uint64_t smallLimit = 100'000;
    workProgress progress(smallLimit);
    const recoveredPicture cut =
        recoverOriginalSize(soilTexture(makePicture(size), size), 512, 256, smallLimit, &progress);
    EXPECT_EQ(cut.result, recoveredPicture::outcome::outOfWork);
    EXPECT_EQ(progress.fraction(), 1.0);
}

// A plane that leaves misses when its work is up was given up on, not ruled
// out: the size may still be the true one. A wrong size is ruled out.
TEST(SizeRecovery, TellsAPlaneGivenUpFromASizeRuledOut)
{
    const size2d size{300, 200};
    const std::vector<unsigned char> texture = soilTexture(makePicture(size), size);
    std::vector<unsigned char> red(512u * 256u);
    for (std::size_t i = 0; i < red.size(); ++i)
        red[i] = texture[i * rgb];
    const struct {
        size2d tried;
        std::uint64_t allowance;
        planeSearch expected;
    } cases[] = {
        {size, 0, planeSearch::gaveUp},
        {{400, 200}, recoveryWorkLimit(512, 256), planeSearch::ruledOut},
    };
    for (const auto& plane : cases) {
        planeWork work{plane.allowance};
        std::vector<unsigned char> original;
        EXPECT_EQ(recoverPlane(red, 512, 256, plane.tried.width, plane.tried.height, work, original),
                  plane.expected)
            << plane.tried.width << "x" << plane.tried.height;
    }
}

// The line tests rule out every length below the true one, which comes
// first; the texture's own length always fits and comes last.
TEST(SizeRecovery, LineTestsRuleOutEveryShorterLength)
{
    const size2d size{300, 200};
    const std::vector<unsigned char> texture = soilTexture(makePicture(size), size);
    const std::vector<int> widths = feasibleLengths(texture, 512, 256, true);
    const std::vector<int> heights = feasibleLengths(texture, 512, 256, false);
    EXPECT_EQ(widths.front(), size.width);
    EXPECT_EQ(widths.back(), 512);
    EXPECT_EQ(heights.front(), size.height);
    EXPECT_EQ(heights.back(), 256);
}

// A smoothly shaded row fits almost any width in real numbers; the exact
// test of the first row, which every size samples alone, rules out nearly
// all of them (153 of 255 widths pass without it).
TEST(SizeRecovery, FirstRowRulesOutMostWidthsOfASmoothPicture)
{
    const size2d size{512, 512};
    const std::vector<int> widths = feasibleLengths(makePicture(size, 0), size.width, size.height, true);
    EXPECT_LT(widths.size(), 20u);
    EXPECT_EQ(widths.back(), size.width);
}

// The size search skips the whole-texel test on a line of one level, taking
// it to fit every length: the exact test agrees, at every level.
TEST(SizeRecovery, LineOfOneLevelFitsEveryLength)
{
    constexpr int textureLength = 64;
    for (int level = 0; level < 256; ++level) {
        const std::vector<unsigned char> line(textureLength, static_cast<unsigned char>(level));
        for (int length = textureLength / 2 + 1; length <= textureLength; ++length)
            EXPECT_TRUE(fitsWholeLine(line.data(), 1, sampleAxis(length, textureLength), length))
                << "level " << level << ", length " << length;
    }
}

// Whether some line of whole texels of `length` up-scales to `line` exactly,
// tried the slow way: the values each texel can take, passed on from texel to
// texel by trying every value of the next one.
bool fitsWholeLineByTryingEveryValue(const std::vector<unsigned char>& line, int length)
{
    static const axisSample alone{0, 0, 0.0f, 1.0f};
    const std::vector<axisSample> samples = sampleAxis(length, static_cast<int>(line.size()));
    std::vector<bool> here(256, true);
    for (int original = 0; original + 1 < length; ++original) {
        std::vector<bool> next(256, false);
        for (int value = 0; value < 256; ++value)
            for (int nextValue = 0; here[value] && nextValue < 256; ++nextValue) {
                bool fits = true;
                for (std::size_t t = 0; fits && t < samples.size(); ++t)
                    fits = samples[t].base != original
                           || static_cast<unsigned char>(upScaledSum(static_cast<unsigned char>(value),
                                                                     static_cast<unsigned char>(nextValue), 0, 0,
                                                                     samples[t], alone))
                                  == line[t];
                next[static_cast<std::size_t>(nextValue)] = next[static_cast<std::size_t>(nextValue)] || fits;
            }
        here = next;
    }
    return std::find(here.begin(), here.end(), true) != here.end();
}

// The whole-texel test passes runs of values from texel to texel rather than
// single values; it must agree with trying every value, on lines that fit
// some lengths and lines that fit none.
TEST(SizeRecovery, WholeLineTestAgreesWithTryingEveryValue)
{
    constexpr int textureLength = 32;
    // The red row of a picture `length` texels wide, up-scaled to the
    // texture's length: a line that fits `length`, and maybe others.
    auto upScaledRow = [](int length, int grain) {
        const std::vector<unsigned char> picture = makePicture({length, 1}, grain);
        std::vector<unsigned char> red;
        for (std::size_t i = 0; i < picture.size(); i += rgb)
            red.push_back(picture[i]);
        return upScalePlane(red.data(), length, 1, textureLength, 1);
    };
    std::vector<unsigned char> step(textureLength, 0);
    std::fill(step.begin() + textureLength / 2, step.end(), 255);
    const std::vector<unsigned char> lines[] = {
        upScaledRow(17, 24), upScaledRow(25, 0), upScaledRow(31, 127), upScaledRow(textureLength, 127), step,
    };
    for (const std::vector<unsigned char>& line : lines)
        for (int length = textureLength / 2 + 1; length <= textureLength; ++length)
            EXPECT_EQ(fitsWholeLine(line.data(), 1, sampleAxis(length, textureLength), length),
                      fitsWholeLineByTryingEveryValue(line, length))
                << "line " << &line - lines << ", length " << length;
}

TEST(SizeRecovery, DescribesItsOutcomeInOneLine)
{
    recoveredPicture picture;
    picture.width = 300;
    picture.height = 200;
    picture.texelsMissed = 7;
    const std::tuple<recoveredPicture::outcome, bool, const char*> lines[] = {
        {recoveredPicture::outcome::recovered, false,
         "original size 300x200 recovered; it up-scales to the encoded texture exactly"},
        {recoveredPicture::outcome::recovered, true,
         "size 300x200 recovered; it up-scales to the encoded texture exactly, but the search for a smaller "
         "original reached its work limit"},
        {recoveredPicture::outcome::nearlyRecovered, false,
         "original size 300x200 recovered nearly; it up-scales to the encoded texture but for 7 of its 131072 "
         "texels"},
        {recoveredPicture::outcome::textureKept, false,
         "texture size 512x256 kept; no smaller original up-scales to it exactly"},
        {recoveredPicture::outcome::outOfWork, true,
         "texture size 512x256 kept; the search for a smaller original reached its work limit"},
    };
    for (const auto& [outcome, smallerSizeGivenUp, line] : lines) {
        picture.result = outcome;
        picture.smallerSizeGivenUp = smallerSizeGivenUp;
        EXPECT_EQ(describeRecovery(picture, 512, 256), line);
    }
}

} // namespace

// Texels changed after encoding decode to random bytes. A few are damage only
// where the up-scaling shows that they broke it; many are damage unless the
// picture was up-scaled with them (a dither of single texels is); a picture's
// own stars at a size that was not up-scaled are no damage.
TEST(TextureDamage, TellsChangedTexelsFromAPicturesOwn)
{
    const auto withRandomTexels = [](std::vector<unsigned char> texture, std::size_t every) {
        std::uint32_t state = 7;
        for (std::size_t texel = every / 2; texel < texture.size() / rgb; texel += every)
            for (int channel = 0; channel < rgb; ++channel) {
                state = state * 1664525u + 1013904223u;
                texture[texel * rgb + channel] = static_cast<unsigned char>(state >> 24);
            }
        return texture;
    };
    const auto withStars = [](std::vector<unsigned char> picture, int width) {
        for (const int x : {40, 200, 333})
            std::fill_n(&picture[(static_cast<std::size_t>(x / 3) * width + x) * rgb], rgb, 255);
        return picture;
    };
    const size2d photoSize{300, 200};
    const std::vector<unsigned char> photo = soilTexture(makePicture(photoSize), photoSize);
    std::vector<unsigned char> dither(300u * 200u * rgb);
    for (std::size_t texel = 0; texel < dither.size() / rgb; ++texel)
        std::fill_n(&dither[texel * rgb], rgb, (texel % 300 + texel / 300) % 2 == 0 ? 0 : 255);
    const struct {
        const char* name;
        std::vector<unsigned char> texture;
        bool changed;
    } textures[] = {
        {"up-scaled photo", photo, false},
        {"up-scaled photo with a few texels changed", withRandomTexels(photo, 4099), true},
        {"up-scaled photo with one texel in ten changed", withRandomTexels(photo, 10), true},
        {"smooth sky with stars, not up-scaled", withStars(makePicture({512, 256}, 0), 512), false},
        {"up-scaled dither of single texels", soilTexture(dither, photoSize), false},
    };
    for (const auto& [name, texture, changed] : textures) {
        SCOPED_TRACE(name);
        const textureDamage damage = findChangedTexels(texture, 512, 256);
        EXPECT_EQ(damage.changed, changed) << describeDamage(damage);
        EXPECT_EQ(damage.texels, 512u * 256u);
    }
}
