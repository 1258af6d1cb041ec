// AFL++ target: one input file through everything the encoder does with an
// untrusted image before OpenGL sees it: the DDS header check, the choice of
// decoder, the sandboxed decode with the limits a file of this size gets, and
// the checks and single-texel stretch applied to what the decoder hands back.
// A crash or hang of this process (not of the decoder child, whose end is an
// ordinary failure) is a finding.
#include "base/limits.h"
#include "safeload/ddsHeader.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"
#include "safeload/safeImageLoad.h"
#include "texture/singleTexelStretch.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<unsigned char> bytes { std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>() };
    ddsDirectCheck dds = checkDdsForDirectUpload(bytes.data(), bytes.size(), largestTextureSide);
    if (dds.verdict != ddsDirectVerdict::notDirect)
        return 0;
    imageDecoderChoice decoder = chooseImageDecoder(bytes.data(), bytes.size());
    if (!decoder.decode)
        return 1;
    sandboxDecodeResult image = decodeImageInSandbox(bytes.data(), bytes.size(),
        sandboxLimitsForFile(bytes.size(), largestTextureSide), largestTextureBytes,
        decoder.decode, decoder.confinement);
    if (!image.decoded
        || !decodedSizeIsUsable(image.width, image.height, image.channels, image.pixelCapacity,
            textureBounds { largestTextureSide, uint64_t(largestTextureSide) * largestTextureSide }))
        return 1;
    unsigned checksum = 0;
    int width = image.width, height = image.height;
    if (needsSingleTexelStretch(width, height)) {
        std::vector<unsigned char> stretched
            = stretchSingleTexelLine(image.pixels, image.width, image.height, image.channels, width, height);
        for (unsigned char value : stretched)
            checksum += value;
    } else {
        for (size_t i = 0; i < size_t(width) * height * image.channels; ++i)
            checksum += image.pixels[i];
    }
    std::printf("%d x %d, %d channels, checksum %u\n", width, height, image.channels, checksum);
    return 0;
}
