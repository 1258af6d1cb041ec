#include "decoder/recoveredOutput.h"

#include "core/atomicOutput.h"
#include "core/bmpCapture.h"
#include "core/bmpLayout.h"

bool saveRecoveredPicture(const char* outputPath, const recoveredPicture& picture, std::string& failureReason)
{
    const auto width = static_cast<std::uint32_t>(picture.width);
    const auto height = static_cast<std::uint32_t>(picture.height);
    const std::vector<unsigned char> file = bmpFileOf(picture.rgb.data(), width, height);
    if (file.empty()) {
        failureReason = "no memory for its " + std::to_string(bmpFileSize(width, height)) + " bytes";
        return false;
    }
    auto writeFile = [&file](std::FILE* temporaryFile, const char* temporaryPath, std::string& reason) {
        return writeWholeFile(temporaryFile, temporaryPath, file.data(), file.size(), reason);
    };
    return replaceFileAtomically(outputPath, file.size(), writeFile, failureReason);
}
