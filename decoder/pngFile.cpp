#include "decoder/pngFile.h"

#include "base/parallelParts.h"
#include "decoder/runDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <thread>

namespace {

// About this many filtered bytes make a strip: enough for the coder's blocks
// to pay off, few enough that the cores share a picture evenly.
constexpr std::size_t stripBytes = std::size_t{4} << 20;
constexpr unsigned char filterNone = 0;
constexpr unsigned char filterUp = 2;

void putBigEndian(std::vector<unsigned char>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

// Appends a chunk whose data is `out` from `dataStart` on, after room for its
// length and type that the caller left there.
void closeChunk(std::vector<unsigned char>& out, std::size_t dataStart)
{
    const auto length = static_cast<std::uint32_t>(out.size() - dataStart);
    for (int byte = 0; byte < 4; ++byte)
        out[dataStart - 8 + byte] = static_cast<unsigned char>(length >> (24 - 8 * byte));
    const unsigned char* typeAndData = out.data() + dataStart - 4;
    putBigEndian(out, static_cast<std::uint32_t>(crc32(0, typeAndData, length + 4)));
}

std::size_t openChunk(std::vector<unsigned char>& out, const char type[4])
{
    out.insert(out.end(), 4, 0);
    out.insert(out.end(), type, type + 4);
    return out.size();
}

struct strip {
    std::uint32_t firstRow = 0;
    std::uint32_t rows = 0;
    // The strip's IDAT chunk, whole.
    std::vector<unsigned char> chunk;
    // Of the strip's filtered bytes, for the zlib stream's checksum.
    uLong adler = 1;
    std::size_t filteredSize = 0;
    // Memory ran out while the strip was coded, on whichever thread.
    bool outOfMemory = false;
};

// Fills `filtered` (whose memory serves every strip of a thread) with the
// strip's rows, each a filter byte and its difference from the row above.
void filterRows(const unsigned char* pixels, std::size_t rowBytes, const strip& part,
                std::vector<unsigned char>& filtered)
{
    filtered.resize((rowBytes + 1) * part.rows);
    unsigned char* out = filtered.data();
    for (std::uint32_t row = part.firstRow; row < part.firstRow + part.rows; ++row) {
        const unsigned char* current = pixels + row * rowBytes;
        *out++ = row == 0 ? filterNone : filterUp;
        if (row == 0) {
            out = std::copy(current, current + rowBytes, out);
            continue;
        }
        const unsigned char* above = current - rowBytes;
        for (std::size_t i = 0; i < rowBytes; ++i)
            *out++ = static_cast<unsigned char>(current[i] - above[i]);
    }
}

void codeStrip(const unsigned char* pixels, std::size_t rowBytes, bool first, bool last, strip& part,
               std::vector<unsigned char>& filtered)
{
    filterRows(pixels, rowBytes, part, filtered);
    part.filteredSize = filtered.size();
    part.adler = adler32(1, filtered.data(), static_cast<uInt>(filtered.size()));
    const std::size_t dataStart = openChunk(part.chunk, "IDAT");
    if (first) {
        // zlib's header: deflate with a 32 KiB window, no dictionary.
        part.chunk.push_back(0x78);
        part.chunk.push_back(0x01);
    }
    appendRunDeflate(filtered.data(), filtered.size(), last, part.chunk);
    closeChunk(part.chunk, dataStart);
}

std::vector<strip> stripsOf(std::uint32_t height, std::size_t rowBytes)
{
    const std::size_t rowsPerStrip = std::max<std::size_t>(1, stripBytes / (rowBytes + 1));
    std::vector<strip> strips;
    for (std::uint32_t row = 0; row < height; row += static_cast<std::uint32_t>(rowsPerStrip)) {
        strip part;
        part.firstRow = row;
        part.rows = static_cast<std::uint32_t>(std::min<std::size_t>(rowsPerStrip, height - row));
        strips.push_back(std::move(part));
    }
    return strips;
}

// An allocation that fails throws std::bad_alloc, which must not leave a
// strip's thread (it would end the process): each thread notes it on its
// strip and stops.
void codeStrips(const unsigned char* pixels, std::size_t rowBytes, std::vector<strip>& strips)
{
    const std::size_t threads = std::min<std::size_t>(strips.size(), std::max(1u, std::thread::hardware_concurrency()));
    runParallelParts(threads, [&](std::size_t thread) {
        std::vector<unsigned char> filtered;
        for (std::size_t index = thread; index < strips.size(); index += threads) {
            try {
                codeStrip(pixels, rowBytes, index == 0, index + 1 == strips.size(), strips[index], filtered);
            } catch (const std::bad_alloc&) {
                strips[index].outOfMemory = true;
                return;
            }
        }
    });
}

fileParts assembleFile(std::vector<strip>& strips, std::uint32_t width, std::uint32_t height, int channels)
{

    std::vector<unsigned char> header = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const std::size_t headerStart = openChunk(header, "IHDR");
    putBigEndian(header, width);
    putBigEndian(header, height);
    const unsigned char colourType = channels == 1 ? 0 : 2;
    header.insert(header.end(), {8, colourType, 0, 0, 0}); // depth, colour, deflate, standard filters, no interlace
    closeChunk(header, headerStart);

    fileParts file;
    file.push_back(std::move(header));
    uLong adler = 1;
    for (strip& part : strips) {
        adler = adler32_combine(adler, part.adler, static_cast<z_off_t>(part.filteredSize));
        file.push_back(std::move(part.chunk));
    }
    std::vector<unsigned char> trailer;
    const std::size_t checksumStart = openChunk(trailer, "IDAT");
    putBigEndian(trailer, static_cast<std::uint32_t>(adler));
    closeChunk(trailer, checksumStart);
    closeChunk(trailer, openChunk(trailer, "IEND"));
    file.push_back(std::move(trailer));
    return file;
}

} // namespace

bool pngFileOf(const unsigned char* pixels, std::uint32_t width, std::uint32_t height, int channels, fileParts& file,
               std::string& reason)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    try {
        std::vector<strip> strips = stripsOf(height, rowBytes);
        codeStrips(pixels, rowBytes, strips);
        if (std::none_of(strips.begin(), strips.end(), [](const strip& part) { return part.outOfMemory; })) {
            file = assembleFile(strips, width, height, channels);
            return true;
        }
    } catch (const std::bad_alloc&) {
    }
    reason = "no memory for its PNG";
    return false;
}
