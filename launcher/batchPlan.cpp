#include "launcher/batchPlan.h"

#include "base/limits.h"
#include "core/outputPath.h"
#include "launcher/batchReport.h"
#include "seedsearch/seedText.h"
#include "texture/textureArea.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

bool exists(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

bool isSeed(const std::string& text)
{
    std::uint32_t seed = 0;
    return parseSeed(text.c_str(), seed);
}

// A second name for the decoder that is no file but looks meant as a seed
// ("12abc", "1e9", "+5", " 5", "0x10", "", "4294967296") would otherwise be
// decoded as a second file after a whole seed search of the first.
std::optional<std::string> refuseMalformedSeed(const launchRequest& request)
{
    if (request.command != commandKind::decoder || request.names.size() != 2 || request.readsNamesFromInput[1])
        return std::nullopt;
    const std::string& second = request.names[1];
    if (isSeed(second) || exists(second))
        return std::nullopt;
    const bool looksLikeASeed = second.empty() || std::isspace(static_cast<unsigned char>(second[0]))
        || second[0] == '+' || (second[0] >= '0' && second[0] <= '9');
    if (!looksLikeASeed)
        return std::nullopt;
    return "'" + second + "' is no file and no seed: a seed is a whole number from 0 to 4294967295";
}

std::optional<std::string> refuseOutputFolder(const launchRequest& request)
{
    if (!request.outputFolder)
        return std::nullopt;
    struct stat status {};
    if (stat(request.outputFolder->c_str(), &status) != 0)
        return "the output folder '" + *request.outputFolder + "' does not exist: " + std::strerror(errno);
    if (!S_ISDIR(status.st_mode))
        return "the output folder '" + *request.outputFolder + "' is not a folder";
    return std::nullopt;
}

// The folder part of a path made absolute and free of links where it exists,
// the file name kept: two spellings of one file give one text.
std::string realPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(folder.c_str(), nullptr), &std::free);
    return (resolved ? std::string(resolved.get()) : folder) + "/" + name;
}

} // namespace

bool isSingleRun(const launchRequest& request)
{
    if (request.names.empty())
        return true;
    if (request.names.size() == 1)
        return !request.readsNamesFromInput[0];
    return request.command == commandKind::decoder && request.names.size() == 2 && !request.readsNamesFromInput[0]
        && !request.readsNamesFromInput[1] && isSeed(request.names[1]);
}

std::optional<std::string> refusalBeforeWork(const launchRequest& request)
{
    if (auto seedProblem = refuseMalformedSeed(request))
        return seedProblem;
    if (request.outputFile && !isSingleRun(request))
        return std::string("-o names the output of a single file");
    if (auto folderProblem = refuseOutputFolder(request))
        return folderProblem;
    uint64_t area = 0;
    std::string areaProblem;
    if (!readTextureAreaLimit(area, areaProblem))
        return areaProblem;
    return std::nullopt;
}

std::vector<std::string> collectFiles(const launchRequest& request, std::istream& input)
{
    std::vector<std::string> files;
    for (std::size_t at = 0; at < request.names.size(); ++at) {
        if (!request.readsNamesFromInput[at]) {
            files.push_back(request.names[at]);
            continue;
        }
        std::string line;
        while (std::getline(input, line)) {
            if (!line.empty())
                files.push_back(line);
        }
    }
    return files;
}

std::optional<std::string> outputPathOf(const launchRequest& request, const std::string& file)
{
    char path[pathCapacity];
    std::string problem;
    const bool named = request.command == commandKind::encoder
        ? deriveOutputPath(file.c_str(), path, problem)
        : deriveDecodedPath(file.c_str(), path, request.bmp ? ".bmp" : ".png", problem);
    if (!named || (request.outputFolder && !placeInFolder(path, request.outputFolder->c_str(), problem)))
        return std::nullopt;
    return std::string(path);
}

std::optional<std::string> findCollidingOutputs(const launchRequest& request, const std::vector<std::string>& files)
{
    struct claim {
        std::string input;
        std::string file;
    };
    std::map<std::string, claim> claims; // by the output's real path
    for (const std::string& file : files) {
        const auto output = outputPathOf(request, file);
        if (!output)
            continue;
        const std::string input = realPath(file);
        const auto [existing, isNew] = claims.emplace(realPath(*output), claim{input, file});
        if (!isNew && existing->second.input != input)
            return shown(existing->second.file) + " and " + shown(file) + " would both be written to " +
                shown(*output);
    }
    return std::nullopt;
}

std::vector<std::string> programArguments(const launchRequest& request, const std::string& program,
                                          const std::vector<std::string>& names)
{
    std::vector<std::string> arguments{program};
    if (request.command == commandKind::encoder) {
        // The encoder takes its one name as a name, whatever it looks like.
        if (request.outputFolder)
            arguments.insert(arguments.end(), {outputFolderOption, *request.outputFolder});
        arguments.insert(arguments.end(), names.begin(), names.end());
        return arguments;
    }
    if (request.keepTextureSize)
        arguments.push_back("--keep-texture-size");
    if (request.bmp)
        arguments.push_back("--bmp");
    if (request.outputFile)
        arguments.insert(arguments.end(), {"-o", *request.outputFile});
    if (request.outputFolder)
        arguments.insert(arguments.end(), {outputFolderOption, *request.outputFolder});
    arguments.push_back("--");
    arguments.insert(arguments.end(), names.begin(), names.end());
    return arguments;
}

std::vector<std::string> workerArguments(const launchRequest& request, const std::string& worker)
{
    std::vector<std::string> arguments{worker};
    if (request.outputFolder)
        arguments.insert(arguments.end(), {outputFolderOption, *request.outputFolder});
    return arguments;
}

std::size_t defaultJobs(commandKind command, std::size_t processors, uint64_t availableBytes, uint64_t textureArea)
{
    const uint64_t bytesPerTexel =
        command == commandKind::encoder ? encoderPeakBytesPerTexel : decoderPeakBytesPerTexel;
    const uint64_t programPeak = textureArea * bytesPerTexel + programBaseBytes;
    const uint64_t fit = std::max<uint64_t>(1, availableBytes / programPeak);
    return std::size_t(std::min<uint64_t>(std::max<std::size_t>(processors, 1), fit));
}
