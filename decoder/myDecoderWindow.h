#pragma once

// GLEW's header must come before every other OpenGL header.
#include "vexo/source/glsl.h"

#include "vexo/framework/glutWindow.h"

#include "core/capturePass.h"
#include "core/inflateRaw.h"
#include "core/outputPath.h"
#include "decoder/decodedOutput.h"
#include "safeload/decodeAhead.h"
#include "seedsearch/seedSearch.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What the command line says about the seed: given, or to be searched below
// the encoded file's modification time.
struct seedRequest {
    bool given = false;
    std::uint32_t seed = 0;
    std::uint32_t modificationTime = 0;
};

// The decoder's only window. It repeats the encoder's pass exactly (same GL
// state, window and viewport size, quad and two-frame capture, see
// encodingPass.h and capturePass.h) with the encoder's fragment text inverted,
// so that every pixel is rotated back by the amount that encoded it. On the captured frame
// it first draws the rotation amounts and finds the seed from them (unless one
// was given), then draws the decoded image, gives it back at its original
// size when a smaller one up-scales to it exactly (sizeRecovery.h; unless
// the texture size is to be kept), writes it where `output` says (beside the
// input as <name>_dec.png by default) and closes the window. Its result lines
// (the seed found, the picture's size) go to standard output, or to standard
// error when the picture itself goes to standard output.
//
// Every failure is one line on standard error and exit status 1; so is a
// search in which no seed stands out, which writes nothing.
class myDecoderWindow : public vexo::glutWindow {
public:
    // `path` is the encoded image's path; the caller has checked that
    // deriveDecodedPath accepts it. `keepSize` writes the decoded texture as
    // it is, without looking for its original size. With the window's context
    // current, the image starts decoding in its sandboxed child
    // (decodeAhead.h) while GLUT starts its loop and the window builds its
    // programs; the child is forked here, on the main thread, which lives as
    // long as the child must.
    myDecoderWindow(const char* path, const seedRequest& request, bool keepSize, const decodedOutput& output);
    ~myDecoderWindow() override;

    void onSetup() override;
    void onDisplay() override;
    // Ends the process with status 1 after a failure.
    void onCloseRequest() override;

    vexo::glShaderManager shaderManager;
    vexo::glShader* decodeProgram;
    vexo::glShader* shiftProgram;
    GLuint imageTexture;
    GLuint noiseTexture;
    int frameCount;
    unsigned int textureWidth;
    unsigned int textureHeight;
    char vertexSource[shaderTextCapacity];
    char decodeSource[shaderTextCapacity];
    char shiftSource[shaderTextCapacity];

    char inputPath[pathCapacity];
    decodedOutput output;

private:
    bool buildPrograms();
    bool loadEncodedImage();
    // Reads the sampled rows of the encoded texture and of the rotation
    // amounts just drawn.
    decodingSample readSample();
    // The seed to decode with, printing the search's result; false (after its
    // one line) when the search finds none.
    bool chooseDecodingSeed(const decodingSample& sample, std::uint32_t& seed);
    bool makeNoise(std::uint32_t seed);
    void decodeCapturedFrame();
    // Writes the frame just drawn, or the original it up-scales from, and
    // prints which; false after a failure's line. With `refuseChangedTexture`
    // a frame whose texels were changed after encoding is refused instead.
    bool saveDecodedFrame(bool refuseChangedTexture);
    bool refuseIfChanged(const std::vector<unsigned char>& texture);
    // The frame just drawn, texture row 0 first (see readSample).
    std::vector<unsigned char> readFrameInTextureOrder();

    seedRequest request;
    bool keepTextureSize;
    std::FILE* resultLines;
    runFailure failure;
    // Until the image is loaded, which takes it over.
    imageDecodeAhead decodeAhead;
};
