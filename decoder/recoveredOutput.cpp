#include "decoder/recoveredOutput.h"

#include "core/atomicOutput.h"
#include "core/bmpLayout.h"

#include <SOIL/SOIL.h>

bool saveRecoveredPicture(const char* outputPath, const recoveredPicture& picture, std::string& failureReason)
{
    constexpr int rgbChannels = 3;
    auto writeWithSoil = [&picture](const char* temporaryPath, std::string& reason) {
        if (SOIL_save_image(temporaryPath, SOIL_SAVE_TYPE_BMP, picture.width, picture.height, rgbChannels,
                            picture.rgb.data())
            != 0)
            return true;
        reason = std::string("SOIL could not write it: ") + SOIL_last_result();
        return false;
    };
    const std::uint64_t expectedSize =
        bmpFileSize(static_cast<std::uint32_t>(picture.width), static_cast<std::uint32_t>(picture.height));
    return replaceFileAtomically(outputPath, expectedSize, writeWithSoil, failureReason);
}
