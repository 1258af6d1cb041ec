// One file for TIFF, longer than the other formats': libtiff reads from memory
// only through the callbacks below, and the sample layouts it hands over
// (strips or tiles, 1 to 16 bits, palettes, CMYK, premultiplied alpha) all
// end in the one pixel conversion in the middle.

#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// TIFF through libtiff, from memory, first page. Grey, RGB, palette and CMYK
// images, in strips or tiles, are read sample by sample, so that their values
// are the stored ones (16-bit samples rounded down as everywhere else, alpha
// stored premultiplied divided out as ImageMagick does); the other kinds
// (YCbCr, 1- to 4-bit grey, min-is-white) go through libtiff's RGBA reader.
// Lab and signed samples are refused by name rather than drawn wrong.

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

// libjpeg only warns about damaged JPEG data inside a TIFF (libtiff passes
// its warnings on under the module name "JPEGLib") and fills in what it could
// not decode; that is kept as an error, so that the file is refused as a
// plain JPEG with damaged data is. libtiff's own warnings (unknown tags and
// the like) change no pixel and are ignored.
void keepJpegWarning(const char* module, const char* format, va_list arguments)
{
    if (module && std::strcmp(module, "JPEGLib") == 0 && !lastError[0])
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
    // The colour samples hold colour times alpha (associated alpha).
    bool premultiplied = false;
    int channels = 0;
    // The depth of the values sampleAt gives: floating-point samples come as
    // 16-bit ones.
    int valueBits = 1;
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
        layout.photometric =
            layout.samplesPerPixel - layout.extraSamples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    bool grey = layout.photometric == PHOTOMETRIC_MINISBLACK || layout.photometric == PHOTOMETRIC_MINISWHITE;
    bool alpha = layout.extraSamples > 0;
    layout.premultiplied = alpha && extraKinds && extraKinds[0] == EXTRASAMPLE_ASSOCALPHA;
    layout.channels = grey ? (alpha ? 2 : 1) : (alpha ? 4 : 3);
    layout.valueBits = layout.sampleFormat == SAMPLEFORMAT_IEEEFP ? 16 : layout.bitsPerSample;
    return true;
}

// Samples per pixel that carry colour (not alpha) in the kinds read sample by
// sample, 0 for the others.
int colourSamplesOf(const tiffLayout& layout)
{
    switch (layout.photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_PALETTE: return 1;
    case PHOTOMETRIC_RGB: return 3;
    case PHOTOMETRIC_SEPARATED: return 4;
    default: return 0;
    }
}

bool readsSampleBySample(TIFF* tiff, const tiffLayout& layout)
{
    const int colourSamples = colourSamplesOf(layout);
    const int bits = layout.bitsPerSample;
    const bool floats = layout.sampleFormat == SAMPLEFORMAT_IEEEFP;
    bool depthFits = layout.photometric == PHOTOMETRIC_PALETTE
        ? !floats && (bits == 1 || bits == 2 || bits == 4 || bits == 8)
        : floats ? bits == 32 : bits == 8 || bits == 16;
    bool planesFit = layout.planarConfig == PLANARCONFIG_CONTIG ||
        layout.photometric == PHOTOMETRIC_MINISBLACK || layout.photometric == PHOTOMETRIC_RGB;
    uint16_t inks = INKSET_CMYK;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inks);
    return colourSamples > 0 && depthFits && planesFit &&
        (layout.sampleFormat == SAMPLEFORMAT_UINT || floats) &&
        layout.samplesPerPixel == colourSamples + layout.extraSamples &&
        (layout.photometric != PHOTOMETRIC_SEPARATED || inks == INKSET_CMYK);
}

// A floating-point sample of 0.0 to 1.0 as 0 to 65535, rounded, as
// ImageMagick reads one; below 0 (and not a number) is 0, above 1 full.
uint32_t sixteenBitsOfFloat(float value)
{
    if (!(value > 0.0f))
        return 0;
    if (value >= 1.0f)
        return 65535;
    return uint32_t(double(value) * 65535.0 + 0.5);
}

uint32_t sampleAt(const unsigned char* row, size_t index, const tiffLayout& layout)
{
    const int bitsPerSample = layout.bitsPerSample;
    if (layout.sampleFormat == SAMPLEFORMAT_IEEEFP) {
        float value;
        std::memcpy(&value, row + index * 4, 4);
        return sixteenBitsOfFloat(value);
    }
    if (bitsPerSample == 16) {
        uint16_t wide;
        std::memcpy(&wide, row + index * 2, 2);
        return wide;
    }
    size_t bit = index * size_t(bitsPerSample);
    return (row[bit / 8] >> (8 - bitsPerSample - bit % 8)) & ((1u << bitsPerSample) - 1);
}

unsigned char eightBits(uint32_t sample, int bitsPerSample)
{
    return bitsPerSample == 16 ? sampleFromSixteenBits(sample) : static_cast<unsigned char>(sample);
}

// A colour sample stored multiplied by its alpha (both of one depth), divided
// back as ImageMagick does: in 16 bits, rounded and no brighter than full,
// then rounded down to 8. Under no alpha a colour is 0 or full.
unsigned char unpremultiplied(uint32_t colour, uint32_t alpha)
{
    if (alpha == 0)
        return colour == 0 ? 0 : 255;
    return sampleFromSixteenBits(unsigned(std::min<uint64_t>(65535, (uint64_t(colour) * 65535 + alpha / 2) / alpha)));
}

struct colourMap {
    uint16_t* red = nullptr;
    uint16_t* green = nullptr;
    uint16_t* blue = nullptr;
};

// One pixel's stored samples as the image's channels: grey and RGB as they
// are (divided by a premultiplied alpha), a palette index looked up (its
// 16-bit colours rounded down), CMYK inks turned into RGB (16-bit inks rounded
// down to 8 first, as ImageMagick's 8 bits of them are); an alpha sample
// follows the colour.
void convertPixel(
    const tiffLayout& layout, const colourMap& map, const uint32_t* samples, unsigned char* target)
{
    const int colourSamples = colourSamplesOf(layout);
    if (layout.photometric == PHOTOMETRIC_PALETTE) {
        target[0] = sampleFromSixteenBits(map.red[samples[0]]);
        target[1] = sampleFromSixteenBits(map.green[samples[0]]);
        target[2] = sampleFromSixteenBits(map.blue[samples[0]]);
    } else if (layout.photometric == PHOTOMETRIC_SEPARATED) {
        for (int channel = 0; channel < 3; ++channel)
            target[channel] = rgbFromInks(eightBits(samples[channel], layout.valueBits),
                                          eightBits(samples[3], layout.valueBits));
    } else if (layout.premultiplied) {
        for (int channel = 0; channel < colourSamples; ++channel)
            target[channel] = unpremultiplied(samples[channel], samples[colourSamples]);
    } else {
        for (int channel = 0; channel < colourSamples; ++channel)
            target[channel] = eightBits(samples[channel], layout.valueBits);
    }
    if (layout.extraSamples > 0)
        target[layout.channels - 1] = eightBits(samples[colourSamples], layout.valueBits);
}

// The stored rows of one plane, whether the file keeps them in strips or in
// tiles: a tiled file's tiles are read a band of rows at a time and joined
// into whole rows.
class rowReader {
public:
    rowReader(TIFF* tiff, const tiffLayout& layout)
        : tiff_(tiff), tiled_(TIFFIsTiled(tiff) != 0), height_(layout.height)
    {
        const int samplesInPlane = layout.planarConfig == PLANARCONFIG_SEPARATE ? 1 : layout.samplesPerPixel;
        rowBytes_ = (size_t(layout.width) * size_t(samplesInPlane) * layout.bitsPerSample + 7) / 8;
        if (tiled_) {
            TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth_);
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileLength_);
            tileRowBytes_ = size_t(TIFFTileRowSize(tiff));
            tile_.resize(size_t(TIFFTileSize(tiff)));
        }
        band_.resize(rowBytes_ * (tiled_ ? tileLength_ : 1));
    }

    // Row y of `plane`, or null when it cannot be read.
    const unsigned char* row(uint32_t y, uint16_t plane)
    {
        if (!tiled_)
            return TIFFReadScanline(tiff_, band_.data(), y, plane) >= 0 ? band_.data() : nullptr;
        if (plane != bandPlane_ || y < bandStart_ || y >= bandStart_ + tileLength_) {
            bandStart_ = y - y % tileLength_;
            bandPlane_ = plane;
            if (!readBand())
                return nullptr;
        }
        return band_.data() + size_t(y - bandStart_) * rowBytes_;
    }

    bool usable() const { return rowBytes_ > 0 && (!tiled_ || (tileWidth_ > 0 && tileLength_ > 0 && !tile_.empty())); }

private:
    bool readBand()
    {
        const uint32_t rows = std::min(tileLength_, height_ - bandStart_);
        size_t byteX = 0;
        for (uint32_t x = 0; byteX < rowBytes_; x += tileWidth_, byteX += tileRowBytes_) {
            if (TIFFReadTile(tiff_, tile_.data(), x, bandStart_, 0, bandPlane_) < 0)
                return false;
            const size_t taken = std::min(tileRowBytes_, rowBytes_ - byteX);
            for (uint32_t row = 0; row < rows; ++row)
                std::memcpy(band_.data() + size_t(row) * rowBytes_ + byteX, tile_.data() + row * tileRowBytes_, taken);
        }
        return true;
    }

    TIFF* tiff_;
    bool tiled_;
    uint32_t height_;
    size_t rowBytes_ = 0;
    uint32_t tileWidth_ = 0, tileLength_ = 0;
    size_t tileRowBytes_ = 0;
    std::vector<unsigned char> tile_, band_;
    uint32_t bandStart_ = 0;
    uint16_t bandPlane_ = UINT16_MAX;
};

// The samples of one plane, in pixel order, each handed to `take` with its
// pixel's index.
template <typename sampleTaker>
bool readPlane(rowReader& rows, const tiffLayout& layout, int plane, sampleTaker take)
{
    size_t pixel = 0;
    for (uint32_t y = 0; y < layout.height; ++y) {
        const unsigned char* row = rows.row(y, uint16_t(plane));
        if (!row)
            return false;
        for (uint32_t x = 0; x < layout.width; ++x, ++pixel)
            take(pixel, sampleAt(row, x, layout));
    }
    return true;
}

// Separate planes (grey and RGB only) come a plane at a time. Colours stored
// premultiplied are divided by their alpha at the depth both are stored in,
// as contiguous ones are, so the alpha plane (the last) is read first.
bool readPlanes(rowReader& rows, const tiffLayout& layout, unsigned char* pixels)
{
    const int alphaPlane = layout.channels - 1;
    std::vector<uint16_t> alphas;
    if (layout.premultiplied) {
        alphas.resize(size_t(layout.width) * layout.height);
        if (!readPlane(rows, layout, alphaPlane, [&](size_t pixel, uint32_t alpha) { alphas[pixel] = uint16_t(alpha); }))
            return false;
    }
    for (int plane = 0; plane < layout.channels; ++plane) {
        const bool divided = layout.premultiplied && plane != alphaPlane;
        unsigned char* target = pixels + plane;
        if (!readPlane(rows, layout, plane, [&](size_t pixel, uint32_t sample) {
                target[pixel * size_t(layout.channels)] =
                    divided ? unpremultiplied(sample, alphas[pixel]) : eightBits(sample, layout.valueBits);
            }))
            return false;
    }
    return true;
}

// Contiguous samples come a pixel at a time in one row.
bool readSamples(TIFF* tiff, const tiffLayout& layout, unsigned char* pixels)
{
    colourMap map;
    if (layout.photometric == PHOTOMETRIC_PALETTE &&
        !TIFFGetField(tiff, TIFFTAG_COLORMAP, &map.red, &map.green, &map.blue))
        return false;
    rowReader rows(tiff, layout);
    if (!rows.usable())
        return false;
    if (layout.planarConfig == PLANARCONFIG_SEPARATE)
        return readPlanes(rows, layout, pixels);
    for (uint32_t y = 0; y < layout.height; ++y) {
        const unsigned char* row = rows.row(y, 0);
        if (!row)
            return false;
        unsigned char* target = pixels + size_t(y) * layout.width * size_t(layout.channels);
        for (uint32_t x = 0; x < layout.width; ++x, target += layout.channels) {
            uint32_t samples[5] = {};
            for (int sample = 0; sample < layout.samplesPerPixel && sample < 5; ++sample)
                samples[sample] =
                    sampleAt(row, size_t(x) * layout.samplesPerPixel + size_t(sample), layout);
            convertPixel(layout, map, samples, target);
        }
    }
    return true;
}

// The RGBA image in its rows' stored order, top row first, as every other
// reader here gives it: libtiff's RGBA reader would turn the image by its
// Orientation tag, which no other format's orientation is (the file is told
// its own orientation is top-left, so that nothing is turned).
bool readRgbaRaster(TIFF* tiff, const tiffLayout& layout, uint32_t* raster)
{
    char message[1024] = {};
    TIFFRGBAImage image {};
    if (!TIFFRGBAImageOK(tiff, message) || !TIFFRGBAImageBegin(&image, tiff, 1, message))
        return false;
    image.orientation = ORIENTATION_TOPLEFT;
    image.req_orientation = ORIENTATION_TOPLEFT;
    const bool ok = TIFFRGBAImageGet(&image, raster, layout.width, layout.height) == 1;
    TIFFRGBAImageEnd(&image);
    return ok;
}

bool readThroughRgba(TIFF* tiff, const tiffLayout& layout, unsigned char* pixels, const char** failureReason)
{
    auto* raster = reinterpret_cast<uint32_t*>(allocateImage(layout.width, layout.height, 4, failureReason));
    if (!raster)
        return false;
    bool ok = readRgbaRaster(tiff, layout, raster);
    size_t count = size_t(layout.width) * layout.height;
    for (size_t pixel = 0; ok && pixel < count; ++pixel) {
        // libtiff's RGBA reader hands over colours multiplied by alpha,
        // whatever the file stores.
        const uint32_t abgr = raster[pixel];
        const uint32_t alpha = TIFFGetA(abgr);
        const unsigned char rgba[] = {unpremultiplied(TIFFGetR(abgr), alpha), unpremultiplied(TIFFGetG(abgr), alpha),
            unpremultiplied(TIFFGetB(abgr), alpha), uint8_t(alpha)};
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

// Kinds that libtiff would hand over wrong: its Lab conversion is not
// ImageMagick's, and signed samples would be read as unsigned ones.
const char* unsupportedKind(const tiffLayout& layout)
{
    switch (layout.photometric) {
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: return "not supported: TIFF in L*a*b* colours";
    default: break;
    }
    if (layout.sampleFormat == SAMPLEFORMAT_INT)
        return "not supported: TIFF with signed samples";
    return nullptr;
}

unsigned char* decodeOpened(TIFF* tiff, int* width, int* height, int* channels, const char** failureReason)
{
    tiffLayout layout;
    if (!readLayout(tiff, layout)) {
        *failureReason = tiffFailure();
        return nullptr;
    }
    if (const char* unsupported = unsupportedKind(layout)) {
        *failureReason = unsupported;
        return nullptr;
    }
    const bool bySample = readsSampleBySample(tiff, layout);
    // libtiff's RGBA reader takes no floating-point samples.
    if (layout.sampleFormat == SAMPLEFORMAT_IEEEFP && !bySample) {
        *failureReason = "not supported: TIFF of floating-point samples other than 32-bit grey, RGB or CMYK";
        return nullptr;
    }
    unsigned char* pixels = allocateImage(layout.width, layout.height, layout.channels, failureReason);
    if (!pixels)
        return nullptr;
    bool ok = bySample ? readSamples(tiff, layout, pixels) : readThroughRgba(tiff, layout, pixels, failureReason);
    if (!ok || lastError[0]) {
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
    const uint16_t entries[][2] = {{TIFFTAG_IMAGEWIDTH, 1}, {TIFFTAG_IMAGELENGTH, 1},
        {TIFFTAG_BITSPERSAMPLE, 8}, {TIFFTAG_COMPRESSION, COMPRESSION_NONE},
        {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK}, {TIFFTAG_STRIPOFFSETS, 8 + 2 + 8 * 12 + 4},
        {TIFFTAG_ROWSPERSTRIP, 1}, {TIFFTAG_STRIPBYTECOUNTS, 1}};
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
    TIFFSetWarningHandler(keepJpegWarning);
    std::vector<unsigned char> bytes = onePixelTiff();
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    std::free(decodeTiff(bytes.data(), int(bytes.size()), &width, &height, &channels, &reason));
}

unsigned char* decodeTiff(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    TIFFSetErrorHandler(keepError);
    TIFFSetWarningHandler(keepJpegWarning);
    lastError[0] = '\0';
    *failureReason = nullptr;
    memoryFile file {bytes, toff_t(length), 0};
    TIFF* tiff = TIFFClientOpen("image", "rm", &file, readFromMemory, refuseWriting, seekInMemory,
        closeMemory, sizeOfMemory, refuseMapping, ignoreUnmapping);
    if (!tiff) {
        *failureReason = tiffFailure();
        return nullptr;
    }
    unsigned char* pixels = decodeOpened(tiff, width, height, channels, failureReason);
    TIFFClose(tiff);
    return pixels;
}
