#include "core/outputPath.h"

#include <cstring>
#include <string>

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

// "<subject> longer than <limit> characters<detail>", made from the limit so
// that the text and the check cannot disagree.
std::string longerThan(const char* subject, std::size_t limit, const char* detail = "")
{
    return std::string(subject) + " longer than " + std::to_string(limit) + " characters" + detail;
}

const char* checkLimits(std::size_t inputLength, const pathParts& parts)
{
    static const std::string pathTooLong = longerThan("the image path is", longestPath);
    static const std::string directoryTooLong = longerThan("the directory part of the image path is", longestPathPart);
    static const std::string fileNameTooLong =
        longerThan("the image file name is", longestFileName, " (without its extension)");
    static const std::string extensionTooLong =
        longerThan("the extension of the image file name is", longestPathPart);
    if (inputLength > longestPath)
        return pathTooLong.c_str();
    if (parts.directoryLength > longestPathPart)
        return directoryTooLong.c_str();
    if (parts.fileNameLength > longestFileName)
        return fileNameTooLong.c_str();
    if (parts.extensionLength > longestPathPart)
        return extensionTooLong.c_str();
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
                                 const char* suffix, const char* extension)
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
    const std::size_t extensionLength = std::strlen(extension);
    // The directory part always ends in a separator when it is not empty, so no
    // separator is ever inserted between it and the file name.
    const std::size_t outputLength = parts.driveLength + parts.directoryLength + parts.fileNameLength
                                     + suffixLength + extensionLength;
    static const std::string outputTooLong = longerThan("the output path would be", longestPath);
    if (outputLength > longestPath)
        return outputTooLong.c_str();
    // A file name the file system cannot hold would only fail once the window
    // has opened and the image is drawn.
    static const std::string outputNameTooLong = longerThan("the output file name would be", longestPathPart);
    if (parts.fileNameLength + suffixLength + extensionLength > longestPathPart)
        return outputNameTooLong.c_str();

    char* end = outputPath;
    end = append(end, parts.drive, parts.driveLength);
    end = append(end, parts.directory, parts.directoryLength);
    end = append(end, parts.fileName, parts.fileNameLength);
    end = append(end, suffix, suffixLength);
    append(end, extension, extensionLength);
    return nullptr;
}

// The helpers above name a problem or return null; callers get the house
// shape of a failure, true or false and the reason.
bool succeeded(const char* problem, std::string& reason)
{
    if (problem != nullptr)
        reason = problem;
    return problem == nullptr;
}

} // namespace

bool deriveOutputPath(const char* inputPath, char (&outputPath)[pathCapacity], std::string& reason)
{
    return succeeded(derivePathWithSuffix(inputPath, outputPath, "", outputNameSuffix, outputExtension), reason);
}

bool deriveDecodedPath(const char* inputPath, char (&outputPath)[pathCapacity], const char* extension,
                       std::string& reason)
{
    return succeeded(derivePathWithSuffix(inputPath, outputPath, outputNameSuffix, decodedNameSuffix, extension),
                     reason);
}

bool deriveDecodedPath(const char* inputPath, char (&outputPath)[pathCapacity], std::string& reason)
{
    return deriveDecodedPath(inputPath, outputPath, outputExtension, reason);
}

bool isOutputFolderOption(const char* argument)
{
    return std::strcmp(argument, outputFolderOption) == 0 || std::strcmp(argument, outputFolderLongOption) == 0;
}

bool placeInFolder(char (&outputPath)[pathCapacity], const char* folder, std::string& reason)
{
    const pathParts parts = splitPath(outputPath);
    // The file name and its extension follow each other in the path.
    const std::size_t nameLength = parts.fileNameLength + parts.extensionLength;
    char name[pathCapacity] = {};
    std::memcpy(name, parts.fileName, nameLength);
    std::memset(outputPath, 0, sizeof outputPath);

    const std::size_t folderLength = std::strlen(folder);
    const std::size_t separatorLength = folderLength > 0 && !isSeparator(folder[folderLength - 1]) ? 1 : 0;
    static const std::string outputTooLong = longerThan("the output path would be", longestPath);
    if (folderLength + separatorLength + nameLength > longestPath)
        return succeeded(outputTooLong.c_str(), reason);
    char* end = append(outputPath, folder, folderLength);
    end = append(end, "/", separatorLength);
    append(end, name, nameLength);
    return true;
}

bool checkOutputPath(const char* path, std::string& reason)
{
    static const std::string pathTooLong = longerThan("the output path is", longestPath);
    static const std::string nameTooLong = longerThan("the output file name is", longestPathPart);
    const pathParts parts = splitPath(path);
    if (*path == '\0')
        return succeeded("the output path is empty", reason);
    if (std::strlen(path) > longestPath)
        return succeeded(pathTooLong.c_str(), reason);
    if (parts.fileNameLength + parts.extensionLength > longestPathPart)
        return succeeded(nameTooLong.c_str(), reason);
    return true;
}
