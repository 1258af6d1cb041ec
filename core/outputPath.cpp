#include "core/outputPath.h"

#include <cstring>

namespace {

bool isSeparator(char character)
{
    return character == '\\' || character == '/';
}

// Appends `length` bytes; the caller has checked that they fit.
char* append(char* end, const char* text, std::size_t length)
{
    std::memcpy(end, text, length);
    return end + length;
}

const char* checkLimits(std::size_t inputLength, const pathParts& parts)
{
    if (inputLength > longestPath)
        return "the image path is longer than 259 characters";
    if (parts.directoryLength > longestPathPart)
        return "the directory part of the image path is longer than 255 characters";
    if (parts.fileNameLength > longestFileName)
        return "the image file name is longer than 251 characters (without its extension)";
    if (parts.extensionLength > longestPathPart)
        return "the extension of the image file name is longer than 255 characters";
    return nullptr;
}

} // namespace

pathParts splitPath(const char* path)
{
    const std::size_t length = std::strlen(path);
    pathParts parts{};
    parts.drive = path;
    parts.driveLength = (length >= 2 && path[1] == ':') ? 2 : 0;

    const char* rest = path + parts.driveLength;
    const char* end = path + length;
    const char* nameStart = rest;
    for (const char* character = rest; character != end; ++character) {
        if (isSeparator(*character))
            nameStart = character + 1;
    }
    parts.directory = rest;
    parts.directoryLength = static_cast<std::size_t>(nameStart - rest);

    // Only a dot in the file name itself starts the extension.
    const char* dot = end;
    for (const char* character = nameStart; character != end; ++character) {
        if (*character == '.')
            dot = character;
    }
    parts.fileName = nameStart;
    parts.fileNameLength = static_cast<std::size_t>(dot - nameStart);
    parts.extension = dot;
    parts.extensionLength = static_cast<std::size_t>(end - dot);
    return parts;
}

namespace {

// The output path with `suffix` appended to the file name, after removing
// `droppedEnding` from it when the name ends so (and is more than that ending).
const char* derivePathWithSuffix(const char* inputPath, char (&outputPath)[pathCapacity], const char* droppedEnding,
                                 const char* suffix)
{
    std::memset(outputPath, 0, sizeof outputPath);
    pathParts parts = splitPath(inputPath);
    if (const char* problem = checkLimits(std::strlen(inputPath), parts))
        return problem;
    const std::size_t droppedLength = std::strlen(droppedEnding);
    if (parts.fileNameLength > droppedLength
        && std::memcmp(parts.fileName + parts.fileNameLength - droppedLength, droppedEnding, droppedLength) == 0)
        parts.fileNameLength -= droppedLength;

    const std::size_t suffixLength = std::strlen(suffix);
    const std::size_t extensionLength = std::strlen(outputExtension);
    // The directory part always ends in a separator when it is not empty, so no
    // separator is ever inserted between it and the file name.
    const std::size_t outputLength = parts.driveLength + parts.directoryLength + parts.fileNameLength
                                     + suffixLength + extensionLength;
    if (outputLength > longestPath)
        return "the output path would be longer than 259 characters";

    char* end = outputPath;
    end = append(end, parts.drive, parts.driveLength);
    end = append(end, parts.directory, parts.directoryLength);
    end = append(end, parts.fileName, parts.fileNameLength);
    end = append(end, suffix, suffixLength);
    append(end, outputExtension, extensionLength);
    return nullptr;
}

} // namespace

const char* deriveOutputPath(const char* inputPath, char (&outputPath)[pathCapacity])
{
    return derivePathWithSuffix(inputPath, outputPath, "", outputNameSuffix);
}

const char* deriveDecodedPath(const char* inputPath, char (&outputPath)[pathCapacity])
{
    return derivePathWithSuffix(inputPath, outputPath, outputNameSuffix, decodedNameSuffix);
}
