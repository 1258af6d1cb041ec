#include "safeload/formats/pngWholeImage.h"

#include "safeload/byteOrder.h"

#include <libdeflate.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t signatureBytes = 8;
constexpr size_t chunkFrame = 12; // length, type, checksum

struct chunk {
    const unsigned char* type;
    const unsigned char* data;
    uint32_t length;
};

bool isType(const chunk& piece, const char* type)
{
    return std::memcmp(piece.type, type, 4) == 0;
}

// The chunk at `offset`, if it lies whole within the file; its checksum is
// checked only when `checked`.
bool chunkAt(const unsigned char* bytes, size_t length, size_t offset, bool checked, chunk& piece)
{
    if (offset > length || length - offset < chunkFrame)
        return false;
    piece.length = bigEndian32(bytes + offset);
    if (piece.length > length - offset - chunkFrame)
        return false;
    piece.type = bytes + offset + 4;
    piece.data = bytes + offset + 8;
    return !checked || libdeflate_crc32(0, piece.type, size_t(piece.length) + 4) == bigEndian32(piece.data + piece.length);
}

// Where the file's image chunks are: the first one's offset, the end of the
// last one, and their data joined (or pointed at, when there is one).
struct imageData {
    size_t first = 0;
    size_t end = 0;
    std::string joined;
    const unsigned char* stream = nullptr;
    size_t streamLength = 0;
};

// Finds the image chunks, which must follow each other with sound checksums.
// The chunks before them were checked by libspng.
bool findImageData(const unsigned char* bytes, size_t length, imageData& image)
{
    size_t offset = signatureBytes;
    chunk piece {};
    while (chunkAt(bytes, length, offset, false, piece) && !isType(piece, "IDAT"))
        offset += chunkFrame + piece.length;
    if (!chunkAt(bytes, length, offset, true, piece) || !isType(piece, "IDAT"))
        return false;
    image.first = offset;
    size_t chunks = 0;
    for (; chunkAt(bytes, length, offset, false, piece) && isType(piece, "IDAT"); ++chunks) {
        if (!chunkAt(bytes, length, offset, true, piece))
            return false;
        offset += chunkFrame + piece.length;
    }
    image.end = offset;
    if (chunks == 1) {
        image.stream = bytes + image.first + 8;
        image.streamLength = bigEndian32(bytes + image.first);
        return true;
    }
    for (size_t at = image.first; at < image.end; at += chunkFrame + bigEndian32(bytes + at))
        image.joined.append(reinterpret_cast<const char*>(bytes + at + 8), bigEndian32(bytes + at));
    image.stream = reinterpret_cast<const unsigned char*>(image.joined.data());
    image.streamLength = image.joined.size();
    return true;
}

bool inflateWhole(const imageData& image, unsigned char* filtered, size_t filteredBytes)
{
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    if (!inflater)
        return false;
    size_t read = 0, written = 0;
    const libdeflate_result result = libdeflate_zlib_decompress_ex(
        inflater, image.stream, image.streamLength, filtered, filteredBytes, &read, &written);
    libdeflate_free_decompressor(inflater);
    return result == LIBDEFLATE_SUCCESS && read == image.streamLength && written == filteredBytes;
}

inline unsigned char paethPredictor(int left, int above, int aboveLeft)
{
    const int estimate = left + above - aboveLeft;
    const int toLeft = std::abs(estimate - left), toAbove = std::abs(estimate - above),
              toAboveLeft = std::abs(estimate - aboveLeft);
    if (toLeft <= toAbove && toLeft <= toAboveLeft)
        return static_cast<unsigned char>(left);
    return static_cast<unsigned char>(toAbove <= toAboveLeft ? above : aboveLeft);
}

// One row's filter undone. `above` is the row before, already undone, or null
// for the first; the first pixel's left neighbours count as zero. Templated on
// the pixel's bytes so that the loops keep their left neighbour in registers.
template <size_t pixelBytes>
bool unfilterRow(int filter, const unsigned char* source, unsigned char* row, const unsigned char* above, size_t rowBytes)
{
    const auto left = [&](size_t i) -> unsigned { return i >= pixelBytes ? row[i - pixelBytes] : 0u; };
    // Without a row above, Up is None and Paeth is Sub (Average below halves
    // the left alone).
    if (!above && filter == 2)
        filter = 0;
    else if (!above && filter == 4)
        filter = 1;
    switch (filter) {
    case 0:
        std::memcpy(row, source, rowBytes);
        return true;
    case 1:
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>(source[i] + left(i));
        return true;
    case 2:
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>(source[i] + above[i]);
        return true;
    case 3:
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>(source[i] + ((left(i) + (above ? above[i] : 0u)) >> 1));
        return true;
    case 4:
        for (size_t i = 0; i < pixelBytes && i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>(source[i] + paethPredictor(0, above[i], 0));
        for (size_t i = pixelBytes; i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>(
                source[i] + paethPredictor(row[i - pixelBytes], above[i], above[i - pixelBytes]));
        return true;
    default:
        return false;
    }
}

template <size_t pixelBytes>
bool unfilterRows(const unsigned char* filtered, unsigned char* pixels, size_t rowBytes, uint32_t height)
{
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char* source = filtered + size_t(y) * (rowBytes + 1);
        unsigned char* row = pixels + size_t(y) * rowBytes;
        if (!unfilterRow<pixelBytes>(source[0], source + 1, row, y > 0 ? row - rowBytes : nullptr, rowBytes))
            return false;
    }
    return true;
}

bool unfilter(const unsigned char* filtered, unsigned char* pixels, size_t rowBytes, uint32_t height, int channels)
{
    switch (channels) {
    case 1: return unfilterRows<1>(filtered, pixels, rowBytes, height);
    case 2: return unfilterRows<2>(filtered, pixels, rowBytes, height);
    case 3: return unfilterRows<3>(filtered, pixels, rowBytes, height);
    default: return unfilterRows<4>(filtered, pixels, rowBytes, height);
    }
}

void appendBigEndian32(std::string& bytes, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += char((value >> shift) & 0xFF);
}

void appendChunk(std::string& file, const char* type, const std::string& data)
{
    appendBigEndian32(file, uint32_t(data.size()));
    const size_t typeAt = file.size();
    file.append(type, 4);
    file += data;
    appendBigEndian32(file, libdeflate_crc32(0, file.data() + typeAt, data.size() + 4));
}

// libspng's verdict on the chunks after the image, which it reads only once it
// has decoded the image: it is given the same file with the image made one
// pixel of zeros, its header saying so, and everything else as it was. What it
// says of text, time and the end of the file is then what it would have said
// of the whole.
bool libspngAcceptsTheRest(const unsigned char* bytes, size_t length, const imageData& image, int format,
    int channels)
{
    std::string file(reinterpret_cast<const char*>(bytes), signatureBytes);
    std::string headerData(reinterpret_cast<const char*>(bytes) + signatureBytes + 8, 13);
    headerData.replace(0, 8, std::string("\0\0\0\1\0\0\0\1", 8));
    appendChunk(file, "IHDR", headerData);
    const size_t afterHeader = signatureBytes + chunkFrame + 13;
    file.append(reinterpret_cast<const char*>(bytes) + afterHeader, image.first - afterHeader);
    const std::string onePixel(size_t(1 + channels), '\0');
    std::string stream(libdeflate_zlib_compress_bound(nullptr, onePixel.size()), '\0');
    libdeflate_compressor* deflater = libdeflate_alloc_compressor(1);
    if (!deflater)
        return false;
    stream.resize(libdeflate_zlib_compress(deflater, onePixel.data(), onePixel.size(), &stream[0], stream.size()));
    libdeflate_free_compressor(deflater);
    if (stream.empty())
        return false;
    appendChunk(file, "IDAT", stream);
    file.append(reinterpret_cast<const char*>(bytes) + image.end, length - image.end);

    spng_ctx* context = spng_ctx_new(0);
    if (!context)
        return false;
    spng_set_png_buffer(context, file.data(), file.size());
    unsigned char pixel[4];
    const bool accepted = spng_decode_image(context, pixel, size_t(channels), format, 0) == 0
        && spng_decode_chunks(context) == 0;
    spng_ctx_free(context);
    return accepted;
}

} // namespace

bool suitsWholeDecode(const spng_ihdr& header, int transparency)
{
    const bool eightBitDirect = header.bit_depth == 8
        && (header.color_type == SPNG_COLOR_TYPE_GRAYSCALE || header.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA
            || header.color_type == SPNG_COLOR_TYPE_TRUECOLOR || header.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
    return eightBitDirect && header.interlace_method == SPNG_INTERLACE_NONE && transparency == SPNG_ECHUNKAVAIL;
}

bool decodePngWhole(const unsigned char* bytes, size_t length, const spng_ihdr& header, int format, int channels,
    unsigned char* pixels)
{
    imageData image;
    if (!findImageData(bytes, length, image))
        return false;
    const size_t rowBytes = size_t(header.width) * size_t(channels);
    const size_t filteredBytes = (rowBytes + 1) * header.height;
    auto* filtered = static_cast<unsigned char*>(std::malloc(filteredBytes));
    const bool decoded = filtered && inflateWhole(image, filtered, filteredBytes)
        && unfilter(filtered, pixels, rowBytes, header.height, channels);
    std::free(filtered);
    return decoded && libspngAcceptsTheRest(bytes, length, image, format, channels);
}
