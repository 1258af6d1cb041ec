// libFuzzer targets, one per decoder of our own and per check we run before
// a library's, called in the fuzzer's process (no sandbox), so that
// AddressSanitizer and UBSan see every fault. PIXVEIL_FUZZ_TARGET names the
// target at build time (bench/fuzz/in-process builds each).
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
    checkDdsForDirectUpload(bytes, size, 16384);
    (void)choice;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const char* target = PIXVEIL_FUZZ_TARGET;
    if (std::strcmp(target, "sniff") == 0)
        sniff(bytes, size);
    else if (std::strcmp(target, "bmp") == 0)
        decode(decodeBmp, bytes, size);
    else if (std::strcmp(target, "psd") == 0)
        decode(decodePsd, bytes, size);
    else if (std::strcmp(target, "pnm") == 0)
        decode(decodePnm, bytes, size);
    else if (std::strcmp(target, "jpeg") == 0)
        decode(decodeJpeg, bytes, size);
    else if (std::strcmp(target, "png") == 0)
        decode(decodePng, bytes, size);
    else if (std::strcmp(target, "gif") == 0)
        decode(decodeGif, bytes, size);
    else if (std::strcmp(target, "tiff") == 0)
        decode(decodeTiff, bytes, size);
    return 0;
}
