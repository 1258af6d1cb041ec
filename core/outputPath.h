#pragma once

#include <cstddef>
#include <string>

// Paths live in buffers of this many bytes, the terminating zero included.
inline constexpr std::size_t pathCapacity = 260;
inline constexpr std::size_t longestPath = pathCapacity - 1;
// The directory, file name and extension parts of a path each fit a buffer of
// this many bytes.
inline constexpr std::size_t pathPartCapacity = 256;
inline constexpr std::size_t longestPathPart = pathPartCapacity - 1;
inline constexpr const char* outputNameSuffix = "_enc";
// The decoder's output: an "_enc" ending is dropped and this appended.
inline constexpr const char* decodedNameSuffix = "_dec";
inline constexpr const char* outputExtension = ".bmp";
// The file name must leave room for the suffix in its part buffer.
inline constexpr std::size_t longestFileName = longestPathPart - std::char_traits<char>::length(outputNameSuffix);

// The output path of an input image: drive, directory and file name kept, "_enc"
// appended to the file name, the extension replaced by ".bmp". Both '\' and '/'
// end the directory part; only the last '.' of the file name starts the
// extension. "C:\pics\cat.png" gives "C:\pics\cat_enc.bmp".
//
// Returns true and fills `outputPath` (zero-filled, NUL-terminated) when the
// path fits every buffer and its file name the file system's 255 bytes;
// otherwise returns false with a one-line `reason` naming the limit that was
// exceeded, and leaves `outputPath` all zeros. No truncated name is ever
// produced.
bool deriveOutputPath(const char* inputPath, char (&outputPath)[pathCapacity], std::string& reason);

// The decoder's output path for an encoded image: as above, but a file name
// ending in "_enc" loses that ending before "_dec" is appended, and the
// extension is `extension` ("pics/cat_enc.bmp" gives "pics/cat_dec.bmp",
// "cat.bmp" gives "cat_dec.bmp"). The same limits apply, with the same reasons.
bool deriveDecodedPath(const char* inputPath, char (&outputPath)[pathCapacity], const char* extension,
                       std::string& reason);
// The same with the extension ".bmp".
bool deriveDecodedPath(const char* inputPath, char (&outputPath)[pathCapacity], std::string& reason);

// The option that puts the outputs into a folder, in every program and
// command: -O DIR, or --output-dir DIR.
inline constexpr const char* outputFolderOption = "-O";
inline constexpr const char* outputFolderLongOption = "--output-dir";
bool isOutputFolderOption(const char* argument);

// Puts an output path derived above into `folder` instead of its input's
// directory: its drive and directory part are replaced by `folder`, with a
// '/' added when `folder` is not empty and ends in neither '/' nor '\'
// ("pics/cat_enc.bmp" into "out" gives "out/cat_enc.bmp", into "" gives
// "cat_enc.bmp"). The same limits apply: returns true when the path still
// fits, otherwise false with the reason and `outputPath` all zeros, never a
// truncated path.
bool placeInFolder(char (&outputPath)[pathCapacity], const char* folder, std::string& reason);

// Checks an output path given by name against the same limits (the path 259
// characters, its file name 255); false with the reason when it does not fit.
bool checkOutputPath(const char* path, std::string& reason);

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
