#include "core/workerProtocol.h"

#include "base/decimalNumber.h"

namespace workerProtocol {

namespace {

std::string record(const std::string& first, const std::string& second)
{
    std::string text;
    text.reserve(first.size() + second.size() + 2);
    text.append(first).push_back('\0');
    text.append(second).push_back('\0');
    return text;
}

constexpr std::uint64_t largestIndex = 999999999;

} // namespace

std::string encodeRequest(std::size_t index, const std::string& path)
{
    return record(std::to_string(index), path);
}

std::string encodeReply(std::size_t index, int status)
{
    return record(std::to_string(index), std::to_string(status));
}

bool recordReader::add(const char* bytes, std::size_t length)
{
    if (spoiled)
        return false;
    pending.append(bytes, length);
    // Only the unfinished field at the end can still grow without bound.
    const std::size_t lastEnd = pending.rfind('\0');
    const std::size_t unfinished = lastEnd == std::string::npos ? pending.size() : pending.size() - lastEnd - 1;
    spoiled = unfinished > longestField;
    return !spoiled;
}

std::optional<std::pair<std::string, std::string>> recordReader::next()
{
    if (spoiled)
        return std::nullopt;
    const std::size_t firstEnd = pending.find('\0');
    if (firstEnd == std::string::npos)
        return std::nullopt;
    const std::size_t secondEnd = pending.find('\0', firstEnd + 1);
    if (secondEnd == std::string::npos)
        return std::nullopt;
    std::pair<std::string, std::string> fields{pending.substr(0, firstEnd),
                                               pending.substr(firstEnd + 1, secondEnd - firstEnd - 1)};
    pending.erase(0, secondEnd + 1);
    return fields;
}

bool recordReader::holdsPartOfARecord() const
{
    return !pending.empty();
}

std::optional<request> readRequest(const std::pair<std::string, std::string>& record)
{
    const auto index = readDecimal(record.first, largestIndex);
    if (!index || record.second.empty() || record.second.size() > longestField)
        return std::nullopt;
    return request{std::size_t(*index), record.second};
}

std::optional<reply> readReply(const std::pair<std::string, std::string>& record)
{
    const auto index = readDecimal(record.first, largestIndex);
    const auto status = readDecimal(record.second, 255);
    if (!index || !status)
        return std::nullopt;
    return reply{std::size_t(*index), int(*status)};
}

} // namespace workerProtocol
