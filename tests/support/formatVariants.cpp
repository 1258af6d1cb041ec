#include "tests/support/formatVariants.h"

#include <stdexcept>

const textLines translucent = {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"};

textLines with(textLines options, const textLines& more)
{
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

namespace {

// Alpha from 0.1 at the top to 0.9 at the bottom.
const textLines graded = {"-alpha", "set", "-channel", "A", "-fx", "0.1+0.8*j/h", "+channel"};
const textLines associated = {"-define", "tiff:alpha=associated"};
const textLines tiled = {"-define", "tiff:tile-geometry=16x16"};

// A patch of one colour made transparent, for colour keys.
textLines keyed(const std::string& colour)
{
    return {"-fill", colour, "-draw", "rectangle 0,0 9,9", "-transparent", colour};
}

} // namespace

const std::vector<formatVariant>& formatVariants()
{
    static const std::vector<formatVariant> variants = {
        // SOIL's baseline decoder was up to 20 levels off libjpeg-turbo's with 2 x 1 chroma.
        {"baseline.jpg", {"-quality", "90"}, 3},
        {"grey-baseline.jpg", {"-colorspace", "Gray", "-quality", "90"}, 1},
        {"chroma-2x1.jpg", {"-sampling-factor", "2x1", "-quality", "90"}, 3},
        {"progressive.jpg", {"-interlace", "JPEG"}, 3},
        {"grey-progressive.jpg", {"-colorspace", "Gray", "-interlace", "JPEG"}, 1},
        {"arithmetic.jpg", {}, 3, 0, {"jpegtran", "-arithmetic"}},
        {"cmyk.jpg", {"-colorspace", "CMYK"}, 3},
        // The common kinds, inflated whole rather than by libspng.
        {"rgb.png", {"-define", "png:color-type=2"}, 3},
        {"rgba.png", with(translucent, {"-define", "png:color-type=6"}), 4},
        {"interlaced.png", {"-interlace", "PNG", "-define", "png:color-type=2"}, 3},
        // Fewer colours than the indexes could name: libspng adds each index's
        // bits to the byte already in its buffer.
        {"PNG8:interlaced-palette2.png",
         {"-colors", "3", "-type", "palette", "-define", "png:bit-depth=2", "-interlace", "PNG"}, 3},
        {"PNG8:interlaced-palette4.png",
         {"-colors", "12", "-type", "palette", "-define", "png:bit-depth=4", "-interlace", "PNG"}, 3},
        {"few-colours.png", {"-colors", "12"}, 3},
        {"bilevel.png", {"-colorspace", "Gray", "-threshold", "50%", "-define", "png:bit-depth=1"}, 1},
        {"grey4.png", {"-colorspace", "Gray", "-define", "png:bit-depth=4", "-define", "png:color-type=0"}, 1},
        {"rgb16.png", {"-depth", "16", "-define", "png:color-type=2"}, 3},
        {"rgba16.png", with({"-depth", "16"}, translucent), 4},
        {"grey-key.png", with(with({"-colorspace", "Gray"}, keyed("gray(40)")), {"-define", "png:color-type=0"}), 2},
        {"rgb-key.png", with(keyed("#102030"), {"-define", "png:color-type=2"}), 4},
        {"frames.gif", {"(", "+clone", "-negate", ")"}, 3},
        {"transparent.gif", keyed("#102030"), 4},
        {"interlaced.gif", {"-interlace", "GIF"}, 3},
        {"lossy.webp", {"-quality", "80"}, 3},
        {"lossless-alpha.webp", with(translucent, {"-define", "webp:lossless=true"}), 4},
        // The first frame of an animation, as ImageMagick reads it.
        {"frames.webp", {"(", "+clone", "-negate", ")", "-define", "webp:lossless=true"}, 3},
        {"lzw.tiff", {"-compress", "lzw"}, 3},
        {"zip-alpha.tiff", with(translucent, {"-compress", "zip"}), 4},
        {"grey16.tiff", {"-colorspace", "Gray", "-depth", "16"}, 1},
        {"palette.tiff", {"-colors", "30", "-type", "Palette"}, 3},
        // The rows in their stored order, whatever the Orientation tag says, also
        // through libtiff's RGBA reader (tiles).
        {"bottom-right-tiles.tiff", {"-compress", "lzw", "-define", "tiff:tile-geometry=16x16", "-orient", "BottomRight"}, 3},
        {"left-bottom-tiles.tiff", {"-compress", "lzw", "-define", "tiff:tile-geometry=16x16", "-orient", "LeftBottom"}, 3},
        {"cmyk.tiff", {"-colorspace", "CMYK"}, 3},
        {"jpeg.tiff", {"-compress", "jpeg"}, 3},
        {"planes.tiff", {"-interlace", "plane"}, 3},
        {"tiles.tiff", {"-compress", "lzw", "-define", "tiff:tile-geometry=16x16"}, 3},
        {"tiles16-alpha.tiff", with(with({"-depth", "16"}, graded), tiled), 4},
        {"associated-alpha.tiff", with(graded, associated), 4},
        {"associated-alpha16-tiles.tiff", with(with(with({"-depth", "16"}, graded), associated), tiled), 4},
        {"associated-alpha-planes.tiff", with(with(graded, associated), {"-interlace", "plane"}), 4},
        {"associated-alpha16-planes.tiff", with(with(with({"-depth", "16"}, graded), associated), {"-interlace", "plane"}), 4},
        {"cmyk16.tiff", {"-colorspace", "CMYK", "-depth", "16"}, 3},
        {"bilevel.tiff", {"-monochrome"}, 1},
        {"float-alpha.tiff", with(graded, {"-define", "quantum:format=floating-point", "-depth", "32", "-compress", "zip"}), 4},
        {"raw.ppm", {}, 3},
        {"raw16.pgm", {"-colorspace", "Gray", "-depth", "16"}, 1},
        {"raw.pbm", {"-monochrome"}, 1},
        {"plain.ppm", {"-compress", "none"}, 3},
        {"BMP3:v3.bmp", {}, 3},
        {"v5.bmp", {}, 3},
        {"v5-alpha.bmp", translucent, 4},
        {"rgb565.bmp", {"-define", "bmp:subtype=RGB565"}, 3},
        {"rgb555.bmp", {"-define", "bmp:subtype=RGB555"}, 3},
        {"rle8.bmp", {"-colors", "200", "-type", "Palette", "-compress", "RLE"}, 3},
        {"BMP2:os2.bmp", {}, 3},
        {"rgb.psd", {}, 3},
        {"grey.psd", {"-colorspace", "Gray"}, 1},
        {"rgb16.psd", {"-depth", "16"}, 3},
        {"bottom-left.tga", {}, 3},
        {"bottom-left-rle.tga", {"-compress", "RLE"}, 3},
        {"photo.heic", {}, 3, 3},
        {"photo.avif", {}, 3, 3},
    };
    return variants;
}

std::string fileNameOf(const formatVariant& image)
{
    const std::string name = image.name;
    return name.substr(name.find(':') + 1);
}

std::string makeFormatVariant(const formatVariant& image, const scratchDirectory& folder, int width, int height)
{
    const std::string name = image.name;
    const std::string path = folder.file(fileNameOf(image));
    const std::string made = image.recode.empty() ? path : folder.file("made-" + fileNameOf(image));
    makeImage(width, height, image.options, name.substr(0, name.find(':') + 1) + made);
    if (image.recode.empty())
        return path;
    const processResult run = runProcess(with(image.recode, {made}));
    if (run.status != 0)
        throw std::runtime_error(image.recode[0] + " failed for " + made + ": " + run.err);
    writeFile(path, run.out);
    return path;
}
