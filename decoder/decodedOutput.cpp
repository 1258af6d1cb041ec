#include "decoder/decodedOutput.h"

#include "core/atomicOutput.h"
#include "core/bmpCapture.h"
#include "core/bmpLayout.h"
#include "core/rgbTexels.h"
#include "decoder/pngFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

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

// The PNG file of a picture, grey when its colours are equal, or empty with
// a reason.
fileParts pngOfPicture(const std::vector<unsigned char>& rgb, int width, int height, std::string& failureReason)
{
    const auto pngWidth = static_cast<std::uint32_t>(width);
    const auto pngHeight = static_cast<std::uint32_t>(height);
    fileParts file;
    if (!allPlanesEqual(rgb)) {
        pngFileOf(rgb.data(), pngWidth, pngHeight, rgbChannels, file, failureReason);
        return file;
    }
    // The grey plane's copy is the one allocation made here.
    std::vector<unsigned char> grey;
    try {
        grey = firstPlane(rgb);
    } catch (const std::bad_alloc&) {
        failureReason = "no memory for its PNG";
        return {};
    }
    pngFileOf(grey.data(), pngWidth, pngHeight, 1, file, failureReason);
    return file;
}

// The file's bytes for the format asked, or no parts with a reason.
fileParts fileOf(decodedOutput::format kind, const std::vector<unsigned char>& rgb, int width, int height,
                 std::string& failureReason)
{
    if (kind == decodedOutput::format::png)
        return pngOfPicture(rgb, width, height, failureReason);
    const auto bmpWidth = static_cast<std::uint32_t>(width);
    const auto bmpHeight = static_cast<std::uint32_t>(height);
    std::vector<unsigned char> file = bmpFileOf(rgb.data(), bmpWidth, bmpHeight);
    if (!file.empty())
        return {std::move(file)};
    failureReason = "no memory for its " + std::to_string(bmpFileSize(bmpWidth, bmpHeight)) + " bytes";
    return {};
}

std::uint64_t sizeOf(const fileParts& file)
{
    std::uint64_t size = 0;
    for (const std::vector<unsigned char>& part : file)
        size += part.size();
    return size;
}

bool writeToStandardOutput(const fileParts& file, std::string& failureReason)
{
    for (const std::vector<unsigned char>& part : file)
        if (std::fwrite(part.data(), 1, part.size(), stdout) != part.size())
            break;
    if (!std::ferror(stdout) && std::fflush(stdout) == 0)
        return true;
    failureReason = std::string("cannot write to standard output: ") + std::strerror(errno);
    return false;
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
    const fileParts file = fileOf(kind, rgb, width, height, failureReason);
    if (file.empty())
        return false;
    if (output.toStandardOutput())
        return writeToStandardOutput(file, failureReason);
    return replaceFileAtomically(
        output.path.c_str(), sizeOf(file),
        [&file](std::FILE* temporaryFile, const char* temporaryPath, std::string& reason) {
            for (const std::vector<unsigned char>& part : file)
                if (!writeWholeFile(temporaryFile, temporaryPath, part.data(), part.size(), reason))
                    return false;
            return true;
        },
        failureReason);
}
