// Test program, run under valgrind's memcheck (safeload.DecodersUnderMemcheck):
// every file of the malformed corpus and every format variant
// (tests/support/formatVariants.h), decoded in this process by each of our
// decoders, and the pixels of every decode written to /dev/null, so that
// memcheck sees any pixel made of memory nothing wrote. AddressSanitizer sees reads out of
// bounds but not reads of uninitialised memory, which leave the output
// depending on what the heap held.
//
//     pixveil-decode-every-file CORPUS_FOLDER
//
// Ends with status 1 when it could not make its images or read a file.

#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "tests/support/formatVariants.h"
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

std::vector<std::string> makeVariants(const scratchDirectory& scratch)
{
    std::vector<std::string> files;
    for (const formatVariant& variant : formatVariants())
        files.push_back(makeFormatVariant(variant, scratch, 37, 23));
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
