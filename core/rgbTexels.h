#pragma once

// Every texture, noise buffer and decoded picture of both programs holds three
// bytes a texel: red, green and blue, in that order.
constexpr int rgbChannels = 3;
