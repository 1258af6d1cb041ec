#include "seedsearch/seedText.h"

#include "base/decimalNumber.h"

bool parseSeed(const char* text, std::uint32_t& seed)
{
    const auto value = readDecimal(text == nullptr ? "" : text, UINT32_MAX);
    if (value)
        seed = static_cast<std::uint32_t>(*value);
    return value.has_value();
}
