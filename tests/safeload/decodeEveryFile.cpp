// Test program, run under valgrind's memcheck (decodersUnderMemcheck.sh):
// every file of the malformed corpus and of a set of image variants made here
// with ImageMagick, decoded in this process by each of our decoders, and the
// pixels of every decode written to /dev/null, so that memcheck sees any
// pixel made of memory nothing wrote. AddressSanitizer sees reads out of
// bounds but not reads of uninitialised memory, which leave the output
// depending on what the heap held.
//
//     pixveil-decode-every-file CORPUS_FOLDER
//
// Ends with status 1 when it could not make its images or read a file.

#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "tests/support/testSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

using decoder = unsigned char* (*)(const unsigned char*, int, int*, int*, int*, const char**);

// All but the TGA decoder, which hands the kinds SOIL reads right to SOIL:
// SOIL's faults are known, and only the sandbox contains them.
const decoder decoders[] = {decodePng, decodeJpeg, decodeGif, decodeWebp, decodeTiff,
                            decodeBmp, decodePnm, decodePsd, decodeHeif};

// One variant of each kind our decoders read differently: the file's name
// (with ImageMagick's format prefix where the extension is not enough) and
// the options that make it from a plasma.
const struct {
    const char* name;
    textLines options;
} variants[] = {
    {"baseline.jpg", {"-quality", "90"}},
    {"grey.jpg", {"-colorspace", "Gray"}},
    {"progressive.jpg", {"-interlace", "JPEG"}},
    {"cmyk.jpg", {"-colorspace", "CMYK"}},
    {"interlaced.png", {"-interlace", "PNG", "-define", "png:color-type=2"}},
    {"few-colours.png", {"-colors", "12"}},
    {"bilevel.png", {"-colorspace", "Gray", "-threshold", "50%", "-define", "png:bit-depth=1"}},
    {"grey4.png", {"-colorspace", "Gray", "-define", "png:bit-depth=4", "-define", "png:color-type=0"}},
    {"rgba16.png", {"-depth", "16", "-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"}},
    {"PNG8:interlaced-palette2.png", {"-colors", "3", "-type", "palette", "-define", "png:bit-depth=2", "-interlace", "PNG"}},
    {"PNG8:interlaced-palette4.png", {"-colors", "12", "-type", "palette", "-define", "png:bit-depth=4", "-interlace", "PNG"}},
    {"frames.gif", {"(", "+clone", "-negate", ")"}},
    {"interlaced.gif", {"-interlace", "GIF"}},
    {"lossy.webp", {"-quality", "80"}},
    {"lossless-alpha.webp", {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel", "-define", "webp:lossless=true"}},
    {"lzw.tiff", {"-compress", "lzw"}},
    {"palette.tiff", {"-colors", "30", "-type", "Palette"}},
    {"tiles16-alpha.tiff", {"-depth", "16", "-alpha", "set", "-define", "tiff:tile-geometry=16x16"}},
    {"cmyk.tiff", {"-colorspace", "CMYK"}},
    {"jpeg.tiff", {"-compress", "jpeg"}},
    {"planes.tiff", {"-interlace", "plane"}},
    {"bilevel.tiff", {"-monochrome"}},
    {"raw16.pgm", {"-colorspace", "Gray", "-depth", "16"}},
    {"raw.pbm", {"-monochrome"}},
    {"plain.ppm", {"-compress", "none"}},
    {"BMP3:v3.bmp", {}},
    {"v5-alpha.bmp", {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"}},
    {"rgb565.bmp", {"-define", "bmp:subtype=RGB565"}},
    {"rle8.bmp", {"-colors", "200", "-type", "Palette", "-compress", "RLE"}},
    {"rgb16.psd", {"-depth", "16"}},
    {"photo.heic", {}},
    {"photo.avif", {}},
};

std::vector<std::string> makeVariants(const scratchDirectory& scratch)
{
    std::vector<std::string> files;
    for (const auto& variant : variants) {
        const std::string name = variant.name;
        const size_t prefixEnd = name.find(':') + 1;
        files.push_back(scratch.file(name.substr(prefixEnd)));
        makeImage(37, 23, variant.options, name.substr(0, prefixEnd) + files.back());
    }
    return files;
}

// Every decoder on the file; the pixels of each decode go to /dev/null
// through write(), whose buffer memcheck checks byte by byte.
void decodeWithEach(const std::string& bytes, int sink)
{
    for (decoder decode : decoders) {
        int width = 0, height = 0, channels = 0;
        const char* reason = nullptr;
        unsigned char* pixels = decode(reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()),
                                       &width, &height, &channels, &reason);
        if (pixels && write(sink, pixels, size_t(width) * size_t(height) * size_t(channels)) < 0)
            std::perror("write to /dev/null");
        std::free(pixels);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pixveil-decode-every-file CORPUS_FOLDER\n");
        return 2;
    }
    try {
        prepareTiffDecoder();
        prepareHeifDecoder();
        // Changed headers may claim large images; a few megabytes is enough.
        setDecodedImageByteLimit(uint64_t(4) << 20);
        scratchDirectory scratch;
        std::vector<std::string> files = makeVariants(scratch);
        const std::string corpus = argv[1];
        for (const std::string& name : namesIn(corpus))
            if (name != "README.md" && name != "INDEX.tsv")
                files.push_back(corpus + "/" + name);
        const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
        for (const std::string& file : files)
            decodeWithEach(readFile(file), sink);
        close(sink);
        std::printf("%zu files decoded by each of %zu decoders\n", files.size(), std::size(decoders));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
