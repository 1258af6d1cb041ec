#include "texture/textureArea.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

bool readTextureAreaLimit(uint64_t& area, std::string& problem)
{
    area = defaultTextureAreaLimit;
    const char* setting = std::getenv(textureAreaVariable);
    if (setting == nullptr)
        return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(setting, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(setting[0])) || *end || errno || value == 0) {
        problem = std::string(textureAreaVariable) + " is not a whole number of texels above 0: \"" + setting + "\"";
        return false;
    }
    area = value;
    return true;
}
