#pragma once

#include "sizerecovery/sizeRecovery.h"

#include <string>

// Writes a recovered picture as a 24-bit BMP at outputPath, atomically
// (core/atomicOutput.h), in the same layout as the decoder's captured frames.
// Returns false with a one-line reason.
bool saveRecoveredPicture(const char* outputPath, const recoveredPicture& picture, std::string& failureReason);
