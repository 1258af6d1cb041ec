#pragma once

#include "core/constants.h"

#include <cstddef>

// The output path of an input image: drive, directory and file name kept, "_enc"
// appended to the file name, the extension replaced by ".bmp". Both '\' and '/'
// end the directory part; only the last '.' of the file name starts the
// extension. "C:\pics\cat.png" gives "C:\pics\cat_enc.bmp".
//
// Returns nullptr and fills `outputPath` (zero-filled, NUL-terminated) when the
// path fits every buffer; otherwise returns a one-line reason naming the limit
// that was exceeded and leaves `outputPath` all zeros. No truncated name is ever
// produced.
const char* deriveOutputPath(const char* inputPath, char (&outputPath)[pathCapacity]);

// The decoder's output path for an encoded image: as above, but a file name
// ending in "_enc" loses that ending before "_dec" is appended
// ("pics/cat_enc.bmp" gives "pics/cat_dec.bmp", "cat.bmp" gives "cat_dec.bmp").
// The same limits apply, with the same reasons.
const char* deriveDecodedPath(const char* inputPath, char (&outputPath)[pathCapacity]);

// The four parts of a path, as the split above finds them. Each part is a view
// into the input (start and length), so splitting never copies or truncates.
struct pathParts {
    const char* drive;
    std::size_t driveLength;
    const char* directory;
    std::size_t directoryLength;
    const char* fileName;
    std::size_t fileNameLength;
    const char* extension;
    std::size_t extensionLength;
};

pathParts splitPath(const char* path);
