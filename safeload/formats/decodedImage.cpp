#include "safeload/formats/decodedImage.h"

#include "base/limits.h"
#include "safeload/imageSandbox.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The shared area of the largest texture, until the loader says otherwise.
uint64_t byteLimit = largestTextureBytes;

char failureText[decodeReasonCapacity];

} // namespace

void setDecodedImageByteLimit(uint64_t bytes)
{
    byteLimit = bytes;
}

uint64_t decodedImageByteLimit()
{
    return byteLimit;
}

unsigned char* allocateImage(uint64_t width, uint64_t height, int channels, const char** failureReason)
{
    if (width == 0 || height == 0) {
        *failureReason = "image has no pixels";
        return nullptr;
    }
    if (width > INT_MAX || height > INT_MAX || !decodedSizeFits(int(width), int(height), channels, byteLimit)) {
        *failureReason = decodeFailure("%s", oversizedImageReason(width, height, channels, byteLimit).c_str());
        return nullptr;
    }
    auto* pixels = static_cast<unsigned char*>(std::malloc(size_t(width * height * uint64_t(channels))));
    if (!pixels)
        *failureReason = outOfMemoryReason;
    return pixels;
}

const char* decodeFailure(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(failureText, sizeof failureText, format, arguments);
    va_end(arguments);
    // Some libraries end their messages with a line break (libheif's about a
    // cut file does), but the reason is quoted within one line of the output.
    size_t length = std::strlen(failureText);
    while (length > 0 && std::isspace(static_cast<unsigned char>(failureText[length - 1])))
        failureText[--length] = '\0';
    std::replace(failureText, failureText + length, '\n', ' ');
    return failureText;
}

void flipRows(unsigned char* pixels, int width, int height, int channels)
{
    const size_t rowBytes = size_t(width) * size_t(channels);
    unsigned char* top = pixels;
    unsigned char* bottom = pixels + (size_t(height) - 1) * rowBytes;
    for (; top < bottom; top += rowBytes, bottom -= rowBytes)
        for (size_t i = 0; i < rowBytes; ++i) {
            unsigned char kept = top[i];
            top[i] = bottom[i];
            bottom[i] = kept;
        }
}
