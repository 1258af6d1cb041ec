#include "decoder/decodedOutput.h"

#include "core/atomicOutput.h"
#include "core/bmpCapture.h"
#include "core/bmpLayout.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int rgbChannels = 3;

bool allPlanesEqual(const std::vector<unsigned char>& rgb)
{
    for (std::size_t i = 0; i < rgb.size(); i += rgbChannels)
        if (rgb[i] != rgb[i + 1] || rgb[i] != rgb[i + 2])
            return false;
    return true;
}

std::vector<unsigned char> firstPlane(const std::vector<unsigned char>& rgb)
{
    std::vector<unsigned char> grey(rgb.size() / rgbChannels);
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = rgb[i * rgbChannels];
    return grey;
}

struct freeContext {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

struct freeBytes {
    void operator()(void* bytes) const { std::free(bytes); }
};

// The PNG file of a picture, grey when its colours are equal, or empty with
// a reason. The decode must stay quick, and a photo's texels barely compress
// past what the fastest settings get: each row as its difference from the row
// above, coded as runs (zlib's Z_RLE), which shrinks the flat areas of a
// screenshot or line art as well as full deflate and takes a third of its time
// on a photo (measured at 4096 x 4096: 1.4 s for the decode instead of 2.2 s,
// and a smaller file).
std::vector<unsigned char> pngFileOf(const std::vector<unsigned char>& rgb, int width, int height,
                                     std::string& failureReason)
{
    const bool grey = allPlanesEqual(rgb);
    const std::vector<unsigned char> greyPlane = grey ? firstPlane(rgb) : std::vector<unsigned char>();
    const std::vector<unsigned char>& pixels = grey ? greyPlane : rgb;
    std::unique_ptr<spng_ctx, freeContext> context(spng_ctx_new(SPNG_CTX_ENCODER));
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(width);
    header.height = static_cast<std::uint32_t>(height);
    header.bit_depth = 8;
    header.color_type = grey ? SPNG_COLOR_TYPE_GRAYSCALE : SPNG_COLOR_TYPE_TRUECOLOR;
    int error = context ? 0 : SPNG_EMEM;
    if (!error)
        error = spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1);
    if (!error)
        error = spng_set_ihdr(context.get(), &header);
    if (!error)
        error = spng_set_option(context.get(), SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_UP);
    if (!error)
        error = spng_set_option(context.get(), SPNG_IMG_COMPRESSION_LEVEL, 1);
    if (!error)
        error = spng_set_option(context.get(), SPNG_IMG_COMPRESSION_STRATEGY, Z_RLE);
    if (!error)
        error = spng_encode_image(context.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    std::size_t length = 0;
    std::unique_ptr<void, freeBytes> png(error ? nullptr : spng_get_png_buffer(context.get(), &length, &error));
    if (!png) {
        failureReason = std::string("cannot make its PNG: ") + spng_strerror(error ? error : SPNG_EMEM);
        return {};
    }
    const auto* bytes = static_cast<const unsigned char*>(png.get());
    return std::vector<unsigned char>(bytes, bytes + length);
}

// The file's bytes for the format asked, or empty with a reason.
std::vector<unsigned char> fileOf(decodedOutput::format kind, const std::vector<unsigned char>& rgb, int width,
                                  int height, std::string& failureReason)
{
    if (kind == decodedOutput::format::png)
        return pngFileOf(rgb, width, height, failureReason);
    const auto bmpWidth = static_cast<std::uint32_t>(width);
    const auto bmpHeight = static_cast<std::uint32_t>(height);
    std::vector<unsigned char> file = bmpFileOf(rgb.data(), bmpWidth, bmpHeight);
    if (file.empty())
        failureReason = "no memory for its " + std::to_string(bmpFileSize(bmpWidth, bmpHeight)) + " bytes";
    return file;
}

} // namespace

decodedOutput::format formatOfName(const std::string& path)
{
    std::string ending = path.size() >= 4 ? path.substr(path.size() - 4) : path;
    std::transform(ending.begin(), ending.end(), ending.begin(),
                   [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
    return ending == ".bmp" ? decodedOutput::format::bmp : decodedOutput::format::png;
}

bool writeDecodedPicture(const decodedOutput& output, const std::vector<unsigned char>& rgb, int width, int height,
                         std::string& failureReason)
{
    const decodedOutput::format kind = output.toStandardOutput() ? decodedOutput::format::png : output.kind;
    const std::vector<unsigned char> file = fileOf(kind, rgb, width, height, failureReason);
    if (file.empty())
        return false;
    if (output.toStandardOutput()) {
        if (std::fwrite(file.data(), 1, file.size(), stdout) == file.size() && std::fflush(stdout) == 0)
            return true;
        failureReason = std::string("cannot write to standard output: ") + std::strerror(errno);
        return false;
    }
    return replaceFileAtomically(
        output.path.c_str(), file.size(),
        [&file](std::FILE* temporaryFile, const char* temporaryPath, std::string& reason) {
            return writeWholeFile(temporaryFile, temporaryPath, file.data(), file.size(), reason);
        },
        failureReason);
}
