#include "seedsearch/seedText.h"

bool parseSeed(const char* text, std::uint32_t& seed)
{
    if (text == nullptr || *text == '\0')
        return false;
    std::uint64_t value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(*digit - '0');
        if (value > UINT32_MAX)
            return false;
    }
    seed = static_cast<std::uint32_t>(value);
    return true;
}
