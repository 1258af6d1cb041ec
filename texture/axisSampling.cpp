#include "texture/axisSampling.h"

std::vector<axisSample> sampleAxis(int originalLength, int textureLength)
{
    std::vector<axisSample> samples(static_cast<std::size_t>(textureLength));
    if (originalLength == 1) {
        for (axisSample& sample : samples)
            sample = {0, 0, 0.0f, 1.0f};
        return samples;
    }
    const float step = (originalLength - 1.0f) / (textureLength - 1.0f);
    for (int index = 0; index < textureLength; ++index) {
        float position = index * step;
        int base = static_cast<int>(position);
        if (base > originalLength - 2)
            base = originalLength - 2;
        position -= base;
        samples[static_cast<std::size_t>(index)] = {base, base + 1, position, 1.0f - position};
    }
    return samples;
}
