#pragma once

// One variant of every kind of image file our decoders read differently, made
// with ImageMagick from a plasma at test time: the format tests hold each to
// ImageMagick's pixels, and the memory-checking pass decodes each.

#include "tests/support/testSupport.h"

#include <string>
#include <vector>

struct formatVariant {
    const char* name; // the file's name, with ImageMagick's format prefix where the extension is not enough
    textLines options; // after the plasma, before the file
    int channels;
    int tolerance = 0; // per colour sample: HEIF's colour conversion is ImageMagick's only within rounding
    textLines recode = {}; // rewrites the file made: given it last, prints the new one
};

const std::vector<formatVariant>& formatVariants();

// Alpha of 60 % everywhere.
extern const textLines translucent;

// `options` followed by `more`.
textLines with(textLines options, const textLines& more);

// The variant's file name, without a format prefix.
std::string fileNameOf(const formatVariant& image);

// Makes the variant at width x height in `folder`, recoded when it says so;
// its path. Throws when a program fails.
std::string makeFormatVariant(const formatVariant& image, const scratchDirectory& folder, int width, int height);
