#include "seedsearch/seedText.h"

#include "base/decimalNumber.h"

#include <ctime>

bool parseSeed(const char* text, std::uint32_t& seed)
{
    const auto value = readDecimal(text == nullptr ? "" : text, UINT32_MAX);
    if (value)
        seed = static_cast<std::uint32_t>(*value);
    return value.has_value();
}

std::string secondAsUtcTime(std::uint32_t seed)
{
    const std::time_t seconds = static_cast<std::time_t>(seed);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}
