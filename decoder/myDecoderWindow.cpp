#include "decoder/myDecoderWindow.h"

#include "base/livesUntilExit.h"
#include "core/atomicOutput.h"
#include "core/outputPath.h"
#include "core/rgbTexels.h"
#include "core/shaderBlobs.h"
#include "decoder/decoderShaderBlobs.h"
#include "decoder/progressLine.h"
#include "safeload/safeImageLoad.h"
#include "sizerecovery/sizeRecovery.h"
#include "sizerecovery/textureDamage.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

void copyPath(char (&destination)[pathCapacity], const char* path)
{
    std::snprintf(destination, sizeof destination, "%s", path);
}

// How each refusal that a seed would settle ends.
std::string askForSeed(const char* inputPath)
{
    return std::string("give the seed: pixveil-decode ") + inputPath + " SEED";
}

std::string formatSeedChoice(const seedChoice& choice)
{
    char line[160];
    std::snprintf(line, sizeof line, "seed %u, separation %.1fx (best score %.2f, next %.2f)", choice.seed,
                  choice.separation, choice.bestScore, choice.runnerUpScore);
    return line;
}

} // namespace

myDecoderWindow::myDecoderWindow(const char* path, const seedRequest& seedRequested, bool keepSize,
                                 const decodedOutput& decoded)
    : shaderManager(),
      decodeProgram(nullptr),
      shiftProgram(nullptr),
      imageTexture(0),
      noiseTexture(0),
      frameCount(0),
      textureWidth(0),
      textureHeight(0),
      vertexSource{},
      decodeSource{},
      shiftSource{},
      inputPath{},
      output(decoded),
      request(seedRequested),
      keepTextureSize(keepSize),
      resultLines(decoded.toStandardOutput() ? stderr : stdout),
      failure("pixveil-decode"),
      decodeAhead(startImageDecode(path))
{
    copyPath(inputPath, path);
}

myDecoderWindow::~myDecoderWindow() = default;

// A failed step closes the window before it is resized, so GLUT never sees a
// resize without a current window; onDisplay then draws nothing.
void myDecoderWindow::onSetup()
{
    startPassSetup(frameCount);
    if (!buildPrograms() || !loadEncodedImage())
        return;
    const textureSize size = bindImageAndSizeWindow(imageTexture);
    textureWidth = size.width;
    textureHeight = size.height;
}

bool myDecoderWindow::buildPrograms()
{
    if (!inflateShaderText(vertexSource, vertexShaderBlob, vertexShaderBlobLength)
        || !inflateShaderText(decodeSource, decodeFragmentShaderBlob, decodeFragmentShaderBlobLength)
        || !inflateShaderText(shiftSource, shiftFragmentShaderBlob, shiftFragmentShaderBlobLength)) {
        failure.report(*this, "the embedded shader texts are damaged");
        return false;
    }
    decodeProgram = shaderManager.loadFromMemory(vertexSource, decodeSource);
    shiftProgram = decodeProgram ? shaderManager.loadFromMemory(vertexSource, shiftSource) : nullptr;
    if (!decodeProgram || !shiftProgram) {
        failure.report(*this, "the GL driver cannot build the decoding shaders (its log is above)");
        return false;
    }
    // Like the encoder's, the programs are never deleted.
    livesUntilExit(decodeProgram);
    livesUntilExit(shiftProgram);
    return true;
}

bool myDecoderWindow::loadEncodedImage()
{
    std::string reason;
    imageTexture = loadImageTextureSafely(inputPath, std::move(decodeAhead), reason);
    if (imageTexture == 0) {
        failure.report(*this, std::string("cannot load ") + inputPath + ": " + reason);
        return false;
    }
    return true;
}

void myDecoderWindow::onDisplay()
{
    if (failure.reported())
        return;
    // The warm-up frame also leaves the last corner's texture coordinate and
    // a_param current, as the encoder's first frame did for its second.
    runPassFrame(*this, frameCount, [this] { drawQuadOnly(shiftProgram); }, [this] { decodeCapturedFrame(); });
}

void myDecoderWindow::decodeCapturedFrame()
{
    drawQuadOnly(shiftProgram);
    const decodingSample sample = readSample();
    std::uint32_t seed = 0;
    if (!chooseDecodingSeed(sample, seed) || !makeNoise(seed))
        return;

    drawEncodingFrame(decodeProgram, imageTexture, noiseTexture);
    // A given seed that decodes to noise is written all the same, with a
    // warning: the seed, not the file, is then the likelier fault.
    const bool decodedToNoise = request.given && canJudge(sample) && looksLikeNoise(sample, seed);
    if (!saveDecodedFrame(!decodedToNoise))
        return;
    if (decodedToNoise)
        std::fprintf(stderr,
                     "pixveil-decode: warning: %s looks like noise; the seed %u or the GL driver is probably not "
                     "the one that encoded it\n",
                     output.name().c_str(), seed);
}

bool myDecoderWindow::saveDecodedFrame(bool refuseChangedTexture)
{
    const int width = static_cast<int>(textureWidth);
    const int height = static_cast<int>(textureHeight);
    std::vector<unsigned char> texture;
    if (refuseChangedTexture || !keepTextureSize)
        texture = readFrameInTextureOrder();
    if (refuseChangedTexture && !refuseIfChanged(texture))
        return false;
    recoveredPicture picture;
    if (!keepTextureSize) {
        picture = [&] {
            const std::uint64_t workLimit = recoveryWorkLimit(width, height);
            workProgress progress(workLimit);
            const progressLine line("finding the picture's own size", "its work limit spent", progress);
            return recoverOriginalSize(texture, width, height, workLimit, &progress);
        }();
        std::fprintf(resultLines, "%s\n", describeRecovery(picture, width, height).c_str());
        std::fflush(resultLines);
    }
    std::string reason;
    bool written = false;
    if (!picture.rgb.empty()) {
        written = writeDecodedPicture(output, picture.rgb, picture.width, picture.height, reason);
    } else if (output.kind == decodedOutput::format::bmp && !output.toStandardOutput()) {
        // The texture as BMP is read from the frame straight into the file's
        // layout, as the encoder saves its own; the copy read for the checks
        // is let go first, so that the two are never held at once.
        std::vector<unsigned char>().swap(texture);
        written = saveCaptureAtomically(output.path.c_str(), width, height, reason);
    } else {
        if (texture.empty())
            texture = readFrameInTextureOrder();
        written = writeDecodedPicture(output, texture, width, height, reason);
    }
    if (!written)
        failure.report(*this, output.name() + " was not written: " + reason);
    return written;
}

// Texels changed after encoding decode to bytes that have nothing to do with
// the picture; such a picture is refused rather than handed back damaged.
bool myDecoderWindow::refuseIfChanged(const std::vector<unsigned char>& texture)
{
    const textureDamage damage =
        findChangedTexels(texture, static_cast<int>(textureWidth), static_cast<int>(textureHeight));
    if (!damage.changed)
        return true;
    failure.report(*this, std::string(inputPath) + " was changed after encoding, for example re-saved as JPEG: "
                              + describeDamage(damage) + "; " + output.name() + " was not written");
    return false;
}

std::vector<unsigned char> myDecoderWindow::readFrameInTextureOrder()
{
    const std::size_t rowBytes = std::size_t{textureWidth} * rgbChannels;
    std::vector<unsigned char> texture(rowBytes * textureHeight);
    glReadPixels(0, 0, static_cast<GLsizei>(textureWidth), static_cast<GLsizei>(textureHeight), GL_RGB,
                 GL_UNSIGNED_BYTE, texture.data());
    // Turned over in place: a second copy would be the decode's peak.
    for (std::size_t top = 0, bottom = textureHeight; top + 1 < bottom; ++top, --bottom)
        std::swap_ranges(&texture[top * rowBytes], &texture[(top + 1) * rowBytes], &texture[(bottom - 1) * rowBytes]);
    return texture;
}

// The frame's rows count from the bottom, the texture's from the row the noise
// starts with, which the quad's texture coordinates put at the top.
decodingSample myDecoderWindow::readSample()
{
    decodingSample sample;
    sample.width = textureWidth;
    std::vector<unsigned char> texels(std::size_t{textureWidth} * textureHeight * rgbChannels);
    selectTextureUnit(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, imageTexture);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, texels.data());

    const std::size_t rowBytes = std::size_t{textureWidth} * rgbChannels;
    for (std::uint32_t textureRow : rowsToSample(textureWidth, textureHeight)) {
        sampledRow row;
        row.textureRow = textureRow;
        row.encoded.assign(texels.begin() + static_cast<std::ptrdiff_t>(textureRow * rowBytes),
                           texels.begin() + static_cast<std::ptrdiff_t>((textureRow + 1) * rowBytes));
        row.shifts.resize(textureWidth);
        const GLint frameRow = static_cast<GLint>(textureHeight - 1 - textureRow);
        glReadPixels(0, frameRow, static_cast<GLsizei>(textureWidth), 1, GL_RED, GL_UNSIGNED_BYTE, row.shifts.data());
        sample.rows.push_back(std::move(row));
    }
    return sample;
}

bool myDecoderWindow::chooseDecodingSeed(const decodingSample& sample, std::uint32_t& seed)
{
    if (request.given) {
        seed = request.seed;
        return true;
    }
    const seedRange range = candidateSeeds(request.modificationTime);
    if (!canJudge(sample)) {
        failure.report(*this, std::string(inputPath) + " is too small to tell its seed from its content; "
                                  + askForSeed(inputPath));
        return false;
    }
    if (looksLikeAPictureAsStored(sample)) {
        failure.report(*this, std::string(inputPath)
                                  + " holds a picture as it is stored, where an encoding holds noise: it is likely "
                                    "no encoding of pixveil, or was re-saved in a lossy format such as JPEG; if you "
                                    "know the seed, "
                                  + askForSeed(inputPath));
        return false;
    }
    const seedChoice choice = [&] {
        workProgress progress(searchedSeconds(range));
        const progressLine line("looking for the seed", "the candidate seconds tried", progress);
        return searchSeeds(sample, range, &progress);
    }();
    if (!choice.standsOut) {
        failure.report(*this, "no seed stands out among the encoding times from " + secondAsUtcTime(range.first)
                                  + " to " + secondAsUtcTime(range.last)
                                  + " UTC; the file is likely no encoding of pixveil, or was re-saved in a lossy "
                                    "format such as JPEG, or was encoded with another GL driver; if you know the "
                                    "seed, "
                                  + askForSeed(inputPath));
        return false;
    }
    seed = choice.seed;
    std::fprintf(resultLines, "%s\n", formatSeedChoice(choice).c_str());
    std::fflush(resultLines);
    return true;
}

bool myDecoderWindow::makeNoise(std::uint32_t seed)
{
    noiseTextureFailure noiseFailure = noiseTextureFailure::none;
    std::string reason;
    noiseTexture = createNoiseTexture(textureWidth, textureHeight, seed, noiseFailure, reason);
    if (noiseTexture == 0) {
        failure.report(*this, output.name() + " was not written: the noise texture could not be made ("
                                  + reason + ")");
        return false;
    }
    bindNoiseTexture(noiseTexture);
    return true;
}

void myDecoderWindow::onCloseRequest()
{
    failure.endProcessIfReported();
}
