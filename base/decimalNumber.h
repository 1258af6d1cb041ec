#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A whole number written in decimal digits alone (no sign, no spaces, no
// other base), as seeds, job counts and the batch workers' messages are
// written; nothing for anything else, or for a number above `largest`.
inline std::optional<std::uint64_t> readDecimal(std::string_view text, std::uint64_t largest)
{
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        value = value * 10 + std::uint64_t(digit - '0');
        if (value > largest)
            return std::nullopt;
    }
    return value;
}
