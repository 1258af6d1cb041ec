#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How much decoded bytes look like a picture rather than uniform noise,
// measured as compression: two small codes predict each byte from what came
// before it, and the evidence is how many bits the better of them saves
// against the 8 bits per byte that noise needs.
//
// The neighbour code predicts a byte from its left neighbours one and two
// texels away, the three neighbours in the row above (when that row was fed
// just before), and the previous channel of the same texel, each through a
// sharp, a wide and a broad kernel around the neighbour's value, and mixes in
// the values its channel has taken so far and a uniform share. Smooth photos,
// text, line art, stripes, dithers and flat areas code in far fewer than 8
// bits a byte. The value code uses only how often each value has occurred in
// its channel, which still saves bits on a photo so grainy that neighbours
// say little, as long as its colours keep to part of the range. Uniform random
// bytes cost a little more than 8 bits in both.
//
// Both codes are proper probability distributions over every byte, so noise
// saves b bits or more in either with a chance of at most 2^-b; choosing the
// better costs one bit. The evidence can thus be weighed against the number
// of seeds tried, whatever the picture.
class evidenceMeter {
public:
    explicit evidenceMeter(std::uint32_t width);

    // Codes one decoded row of `width` texels (red, green, blue).
    // `belowPrevious` says that it is the texture row right under the row fed
    // before it, whose texels are then its upper neighbours.
    void addRow(const unsigned char* rgb, bool belowPrevious);

    // Bits saved so far against 8 bits a byte by the better code, less the
    // bit that says which; negative for noise.
    double bits() const;
    // The same, but without the row on which each code saved most: what the
    // other rows save. Whatever one row holds, this is at most what each
    // code, still a proper code, saves on the others, so where they hold
    // uniform noise it reaches b bits with a chance of at most 2^-b.
    double bitsBesideBestRow() const;
    std::size_t bytes() const { return codedBytes; }
    // The code's length in bits per byte: a little above 8 for noise, lower
    // for a picture.
    double bitsPerByte() const;

private:
    double valueProbability(int channel, int value) const;
    double neighbourProbability(const unsigned char* row, std::uint32_t x, int channel, double valueEstimate) const;

    std::uint32_t width;
    std::vector<unsigned char> previousRow;
    bool hasRowAbove = false;
    std::vector<std::uint32_t> valueCounts;
    std::uint32_t channelCounts[3] = {};
    double neighbourCodeBits = 0;
    double valueCodeBits = 0;
    double bestNeighbourRowBits = 0;
    double bestValueRowBits = 0;
    bool anyRow = false;
    std::size_t codedBytes = 0;
};
