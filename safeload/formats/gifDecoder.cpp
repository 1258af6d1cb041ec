#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <gif_lib.h>

#include <cstdlib>
#include <cstring>

// GIF through giflib: the first frame, on a canvas of the logical screen's
// size. The image is RGB, or RGBA when the frame has a transparent colour or
// leaves part of the screen uncovered (transparent). A frame that reaches past
// the screen is cut to it, as browsers and ImageMagick show it; its lines are
// still all decoded, since the frame's data must be whole.

namespace {

struct memorySource {
    const unsigned char* bytes;
    size_t length;
    size_t position;
};

int readFromMemory(GifFileType* gif, GifByteType* target, int wanted)
{
    auto* source = static_cast<memorySource*>(gif->UserData);
    size_t available = source->length - source->position;
    size_t taken = size_t(wanted) < available ? size_t(wanted) : available;
    std::memcpy(target, source->bytes + source->position, taken);
    source->position += taken;
    return int(taken);
}

struct firstFrame {
    int transparentIndex = NO_TRANSPARENT_COLOR;
    GifImageDesc description {};
};

// Reads records up to the first image descriptor, keeping the transparent
// colour its graphics control extension names.
bool findFirstFrame(GifFileType* gif, firstFrame& frame)
{
    for (;;) {
        GifRecordType record;
        if (DGifGetRecordType(gif, &record) != GIF_OK)
            return false;
        if (record == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) != GIF_OK)
                return false;
            frame.description = gif->Image;
            return true;
        }
        if (record == TERMINATE_RECORD_TYPE)
            return false;
        if (record != EXTENSION_RECORD_TYPE)
            continue;
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) != GIF_OK)
            return false;
        GraphicsControlBlock control;
        if (code == GRAPHICS_EXT_FUNC_CODE && block &&
            DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
            frame.transparentIndex = control.TransparentColor;
        while (block)
            if (DGifGetExtensionNext(gif, &block) != GIF_OK)
                return false;
    }
}

// The row of the frame that the n-th stored line fills; interlaced frames
// store every 8th row from 0, every 8th from 4, every 4th from 2, then the
// odd rows.
int frameRowOfLine(int line, int height, bool interlaced)
{
    if (!interlaced)
        return line;
    static const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        int rowsInPass = height > starts[pass] ? (height - starts[pass] + steps[pass] - 1) / steps[pass] : 0;
        if (line < rowsInPass)
            return starts[pass] + line * steps[pass];
        line -= rowsInPass;
    }
    return -1;
}

bool paintFrame(GifFileType* gif, const firstFrame& frame, const ColorMapObject* colours,
    unsigned char* pixels, int channels, const char** failureReason)
{
    const GifImageDesc& place = frame.description;
    auto* line = static_cast<GifPixelType*>(std::malloc(size_t(place.Width)));
    if (!line) {
        *failureReason = outOfMemoryReason;
        return false;
    }
    bool complete = true;
    for (int stored = 0; stored < place.Height && complete; ++stored) {
        complete = DGifGetLine(gif, line, place.Width) == GIF_OK;
        int y = place.Top + frameRowOfLine(stored, place.Height, place.Interlace);
        if (y >= gif->SHeight)
            continue;
        for (int x = 0; complete && x < place.Width && place.Left + x < gif->SWidth; ++x) {
            if (line[x] == frame.transparentIndex || line[x] >= colours->ColorCount)
                continue;
            unsigned char* pixel =
                pixels + (size_t(y) * size_t(gif->SWidth) + size_t(place.Left + x)) * channels;
            const GifColorType& colour = colours->Colors[line[x]];
            pixel[0] = colour.Red;
            pixel[1] = colour.Green;
            pixel[2] = colour.Blue;
            if (channels == 4)
                pixel[3] = 255;
        }
    }
    std::free(line);
    if (!complete)
        *failureReason = decodeFailure("GIF %s", GifErrorString(gif->Error));
    return complete;
}

unsigned char* decodeFirstFrame(
    GifFileType* gif, int* width, int* height, int* channels, const char** failureReason)
{
    firstFrame frame;
    if (!findFirstFrame(gif, frame)) {
        *failureReason =
            gif->Error ? decodeFailure("GIF %s", GifErrorString(gif->Error)) : "GIF has no image";
        return nullptr;
    }
    const GifImageDesc& place = frame.description;
    const ColorMapObject* colours = place.ColorMap ? place.ColorMap : gif->SColorMap;
    if (!colours) {
        *failureReason = "GIF has no colour table";
        return nullptr;
    }
    if (place.Left < 0 || place.Top < 0 || place.Width < 1 || place.Height < 1) {
        *failureReason = "GIF frame has no pixels";
        return nullptr;
    }
    bool coversScreen = place.Left == 0 && place.Top == 0 && place.Width >= gif->SWidth && place.Height >= gif->SHeight;
    int imageChannels = coversScreen && frame.transparentIndex == NO_TRANSPARENT_COLOR ? 3 : 4;
    unsigned char* pixels =
        allocateImage(uint64_t(gif->SWidth), uint64_t(gif->SHeight), imageChannels, failureReason);
    if (!pixels)
        return nullptr;
    std::memset(pixels, 0, size_t(gif->SWidth) * size_t(gif->SHeight) * size_t(imageChannels));
    if (!paintFrame(gif, frame, colours, pixels, imageChannels, failureReason)) {
        std::free(pixels);
        return nullptr;
    }
    *width = gif->SWidth;
    *height = gif->SHeight;
    *channels = imageChannels;
    return pixels;
}

} // namespace

unsigned char* decodeGif(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    memorySource source {bytes, size_t(length), 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&source, readFromMemory, &error);
    if (!gif) {
        *failureReason = decodeFailure("GIF %s", GifErrorString(error));
        return nullptr;
    }
    unsigned char* pixels = decodeFirstFrame(gif, width, height, channels, failureReason);
    DGifCloseFile(gif, &error);
    return pixels;
}
