#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// TIFF through libtiff, from memory, first page. Grey and RGB images of 8 or
// 16 bits in strips are read sample by sample, so that their values are the
// stored ones (16-bit samples rounded down as everywhere else); every other
// kind (palettes, CMYK, YCbCr, tiles, 1- and 4-bit, min-is-white) goes
// through libtiff's RGBA reader.

namespace {

struct memoryFile {
    const unsigned char* bytes;
    toff_t length;
    toff_t position;
};

tmsize_t readFromMemory(thandle_t handle, void* target, tmsize_t wanted)
{
    auto* file = static_cast<memoryFile*>(handle);
    if (wanted < 0)
        return -1;
    toff_t available = file->position < file->length ? file->length - file->position : 0;
    toff_t taken = toff_t(wanted) < available ? toff_t(wanted) : available;
    std::memcpy(target, file->bytes + file->position, size_t(taken));
    file->position += taken;
    return tmsize_t(taken);
}

tmsize_t refuseWriting(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t seekInMemory(thandle_t handle, toff_t offset, int whence)
{
    auto* file = static_cast<memoryFile*>(handle);
    toff_t base = whence == SEEK_CUR ? file->position : whence == SEEK_END ? file->length : 0;
    file->position = base + offset;
    return file->position;
}

int closeMemory(thandle_t)
{
    return 0;
}

toff_t sizeOfMemory(thandle_t handle)
{
    return static_cast<memoryFile*>(handle)->length;
}

int refuseMapping(thandle_t, void**, toff_t*)
{
    return 0;
}

void ignoreUnmapping(thandle_t, void*, toff_t) { }

char lastError[200];

void keepError(const char*, const char* format, va_list arguments)
{
    std::vsnprintf(lastError, sizeof lastError, format, arguments);
}

const char* tiffFailure()
{
    return lastError[0] ? decodeFailure("TIFF %s", lastError) : "TIFF image data is corrupt";
}

struct tiffLayout {
    uint32_t width = 0, height = 0;
    uint16_t bitsPerSample = 1, samplesPerPixel = 1, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t planarConfig = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT, extraSamples = 0;
    int channels = 0;
};

bool readLayout(TIFF* tiff, tiffLayout& layout)
{
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width) ||
        !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height))
        return false;
    uint16_t* extraKinds = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bitsPerSample);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samplesPerPixel);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &layout.planarConfig);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &layout.sampleFormat);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &layout.extraSamples, &extraKinds);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &layout.photometric))
        layout.photometric = layout.samplesPerPixel - layout.extraSamples >= 3 ? PHOTOMETRIC_RGB
                                                                              : PHOTOMETRIC_MINISBLACK;
    bool grey = layout.photometric == PHOTOMETRIC_MINISBLACK || layout.photometric == PHOTOMETRIC_MINISWHITE;
    bool alpha = layout.extraSamples > 0;
    layout.channels = grey ? (alpha ? 2 : 1) : (alpha ? 4 : 3);
    return true;
}

bool readsSampleBySample(TIFF* tiff, const tiffLayout& layout)
{
    int colourSamples = layout.photometric == PHOTOMETRIC_RGB ? 3 : 1;
    bool plainKind = layout.photometric == PHOTOMETRIC_RGB || layout.photometric == PHOTOMETRIC_MINISBLACK;
    return !TIFFIsTiled(tiff) && plainKind && layout.sampleFormat == SAMPLEFORMAT_UINT &&
        (layout.bitsPerSample == 8 || layout.bitsPerSample == 16) &&
        layout.samplesPerPixel == colourSamples + layout.extraSamples &&
        layout.samplesPerPixel >= layout.channels;
}

unsigned char sampleAt(const unsigned char* row, size_t index, int bitsPerSample)
{
    if (bitsPerSample == 8)
        return row[index];
    uint16_t wide;
    std::memcpy(&wide, row + index * 2, 2);
    return sampleFromSixteenBits(wide);
}

// Contiguous samples come a pixel at a time in one scanline; separate ones
// a plane at a time, one scanline per plane and row.
bool readSamples(TIFF* tiff, const tiffLayout& layout, unsigned char* pixels)
{
    auto* row = static_cast<unsigned char*>(std::malloc(size_t(TIFFScanlineSize(tiff))));
    if (!row)
        return false;
    bool separate = layout.planarConfig == PLANARCONFIG_SEPARATE;
    int planes = separate ? layout.channels : 1;
    size_t stride = separate ? 1 : layout.samplesPerPixel;
    bool ok = true;
    for (int plane = 0; plane < planes && ok; ++plane)
        for (uint32_t y = 0; y < layout.height && ok; ++y) {
            ok = TIFFReadScanline(tiff, row, y, uint16_t(plane)) >= 0;
            unsigned char* target = pixels + size_t(y) * layout.width * size_t(layout.channels);
            for (uint32_t x = 0; ok && x < layout.width; ++x)
                for (int channel = separate ? plane : 0; channel < (separate ? plane + 1 : layout.channels);
                     ++channel)
                    target[size_t(x) * layout.channels + channel] =
                        sampleAt(row, x * stride + (separate ? 0 : channel), layout.bitsPerSample);
        }
    std::free(row);
    return ok;
}

bool readThroughRgba(TIFF* tiff, const tiffLayout& layout, unsigned char* pixels, const char** failureReason)
{
    auto* raster = reinterpret_cast<uint32_t*>(allocateImage(layout.width, layout.height, 4, failureReason));
    if (!raster)
        return false;
    bool ok = TIFFReadRGBAImageOriented(tiff, layout.width, layout.height, raster, ORIENTATION_TOPLEFT, 1) == 1;
    size_t count = size_t(layout.width) * layout.height;
    for (size_t pixel = 0; ok && pixel < count; ++pixel) {
        const uint32_t abgr = raster[pixel];
        const unsigned char rgba[] = {
            uint8_t(TIFFGetR(abgr)), uint8_t(TIFFGetG(abgr)), uint8_t(TIFFGetB(abgr)), uint8_t(TIFFGetA(abgr))};
        unsigned char* target = pixels + pixel * layout.channels;
        if (layout.channels <= 2) {
            target[0] = rgba[0];
            if (layout.channels == 2)
                target[1] = rgba[3];
        } else {
            std::memcpy(target, rgba, size_t(layout.channels));
        }
    }
    std::free(raster);
    return ok;
}

unsigned char* decodeOpened(TIFF* tiff, int* width, int* height, int* channels, const char** failureReason)
{
    tiffLayout layout;
    if (!readLayout(tiff, layout)) {
        *failureReason = tiffFailure();
        return nullptr;
    }
    unsigned char* pixels = allocateImage(layout.width, layout.height, layout.channels, failureReason);
    if (!pixels)
        return nullptr;
    bool ok = readsSampleBySample(tiff, layout) ? readSamples(tiff, layout, pixels)
                                                : readThroughRgba(tiff, layout, pixels, failureReason);
    if (!ok) {
        std::free(pixels);
        if (lastError[0] || !*failureReason)
            *failureReason = tiffFailure();
        return nullptr;
    }
    *width = int(layout.width);
    *height = int(layout.height);
    *channels = layout.channels;
    return pixels;
}

// A one-pixel grey TIFF: a header, a directory of eight entries and the
// pixel.
std::vector<unsigned char> onePixelTiff()
{
    std::vector<unsigned char> bytes = {'I', 'I', 42, 0, 8, 0, 0, 0, 8, 0};
    const uint16_t entries[][2] = {{TIFFTAG_IMAGEWIDTH, 1}, {TIFFTAG_IMAGELENGTH, 1}, {TIFFTAG_BITSPERSAMPLE, 8},
        {TIFFTAG_COMPRESSION, COMPRESSION_NONE}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK},
        {TIFFTAG_STRIPOFFSETS, 8 + 2 + 8 * 12 + 4}, {TIFFTAG_ROWSPERSTRIP, 1}, {TIFFTAG_STRIPBYTECOUNTS, 1}};
    for (const auto& entry : entries) {
        const unsigned char field[12] = {uint8_t(entry[0]), uint8_t(entry[0] >> 8), TIFF_SHORT, 0, 1, 0, 0, 0,
            uint8_t(entry[1]), uint8_t(entry[1] >> 8), 0, 0};
        bytes.insert(bytes.end(), field, field + 12);
    }
    bytes.insert(bytes.end(), {0, 0, 0, 0, 128});
    return bytes;
}

} // namespace

// libtiff asks the system for its memory size (sysinfo) the first time it
// reads a directory; reading a one-pixel image here does that before the
// filter goes on.
void prepareTiffDecoder()
{
    TIFFSetErrorHandler(keepError);
    TIFFSetWarningHandler(nullptr);
    std::vector<unsigned char> bytes = onePixelTiff();
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    std::free(decodeTiff(bytes.data(), int(bytes.size()), &width, &height, &channels, &reason));
}

unsigned char* decodeTiff(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    TIFFSetErrorHandler(keepError);
    TIFFSetWarningHandler(nullptr);
    lastError[0] = '\0';
    *failureReason = nullptr;
    memoryFile file{bytes, toff_t(length), 0};
    TIFF* tiff = TIFFClientOpen("image", "rm", &file, readFromMemory, refuseWriting, seekInMemory, closeMemory,
        sizeOfMemory, refuseMapping, ignoreUnmapping);
    if (!tiff) {
        *failureReason = tiffFailure();
        return nullptr;
    }
    unsigned char* pixels = decodeOpened(tiff, width, height, channels, failureReason);
    TIFFClose(tiff);
    return pixels;
}
