// SOIL's up-scaling as the project repeats it, against SOIL's own
// up_scale_image, without a window.

#include "texture/singleTexelStretch.h"
#include "texture/textureBounds.h"

#include <SOIL/image_helper.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

TEST(SingleTexelStretch, OnlyLinesOfOtherThanPowerOfTwoLengthAreStretched)
{
    for (auto [width, height] : {std::pair{1, 3}, {300, 1}})
        EXPECT_TRUE(needsSingleTexelStretch(width, height)) << width << " x " << height;
    for (auto [width, height] : {std::pair{1, 4}, {1, 1}, {2, 3}, {3, 5}})
        EXPECT_FALSE(needsSingleTexelStretch(width, height)) << width << " x " << height;
}

// SOIL's own up-scaling works for a two-texel-wide image; the stretch of a
// single column must equal either of its columns when both are the same.
TEST(SingleTexelStretch, MatchesSoilsUpScalingOfADoubledLine)
{
    for (int length : {3, 5, 17, 100, 1000}) {
        for (int channels : {1, 3, 4}) {
            std::vector<unsigned char> line(size_t(length) * channels);
            for (size_t i = 0; i < line.size(); ++i)
                line[i] = uint8_t((i * 97 + 13) % 256);
            std::vector<unsigned char> doubled;
            for (int y = 0; y < length; ++y)
                for (int copy = 0; copy < 2; ++copy)
                    doubled.insert(
                        doubled.end(), line.begin() + y * channels, line.begin() + (y + 1) * channels);
            int target = int(nextPowerOfTwo(uint32_t(length)));
            std::vector<unsigned char> soilScaled(size_t(2) * target * channels);
            ASSERT_EQ(up_scale_image(doubled.data(), 2, length, channels, soilScaled.data(), 2, target), 1);

            int width = 0, height = 0;
            std::vector<unsigned char> column =
                stretchSingleTexelLine(line.data(), 1, length, channels, width, height);
            std::vector<unsigned char> row =
                stretchSingleTexelLine(line.data(), length, 1, channels, width, height);
            ASSERT_EQ(width, target);
            ASSERT_EQ(height, 1);
            for (int y = 0; y < target; ++y)
                for (int c = 0; c < channels; ++c) {
                    ASSERT_EQ(column[size_t(y) * channels + c], soilScaled[(size_t(y) * 2) * channels + c])
                        << length << " texels, " << channels << " channels, texel " << y;
                    ASSERT_EQ(row[size_t(y) * channels + c], column[size_t(y) * channels + c]);
                }
        }
    }
}
