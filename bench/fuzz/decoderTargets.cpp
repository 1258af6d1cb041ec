// libFuzzer targets, one per decoder of our own and per check we run before
// a library's, called in the fuzzer's process (no sandbox), so that
// AddressSanitizer and UBSan see every fault. PIXVEIL_FUZZ_TARGET names the
// target at build time (bench/fuzz/in-process builds each).
#include "base/limits.h"
#include "safeload/ddsHeader.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "safeload/formats/imageFormats.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using decoder = unsigned char* (*)(const unsigned char*, int, int*, int*, int*, const char**);

void decode(decoder decodeImage, const uint8_t* bytes, size_t size)
{
    // A changed header may claim a large image; a few megabytes is enough.
    setDecodedImageByteLimit(uint64_t(8) << 20);
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    std::free(decodeImage(bytes, int(size), &width, &height, &channels, &reason));
}

void sniff(const uint8_t* bytes, size_t size)
{
    imageDecoderChoice choice = chooseImageDecoder(bytes, size);
    declaredImage declared;
    readDeclaredImage(bytes, size, declared);
    checkDdsForDirectUpload(bytes, size, largestTextureSide);
    (void)choice;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    static const struct {
        const char* name;
        decoder decodeImage;
    } decoders[] = {{"bmp", decodeBmp}, {"psd", decodePsd},   {"pnm", decodePnm}, {"jpeg", decodeJpeg},
                    {"png", decodePng}, {"gif", decodeGif},   {"tiff", decodeTiff}};
    if (std::strcmp(PIXVEIL_FUZZ_TARGET, "sniff") == 0)
        sniff(bytes, size);
    for (const auto& target : decoders)
        if (std::strcmp(PIXVEIL_FUZZ_TARGET, target.name) == 0)
            decode(target.decodeImage, bytes, size);
    return 0;
}
