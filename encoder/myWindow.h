#pragma once

// GLEW's header must come before every other OpenGL header.
#include "vexo/source/glsl.h"

#include "vexo/framework/glutWindow.h"

#include "core/capturePass.h"
#include "core/inflateRaw.h"
#include "core/outputPath.h"
#include "safeload/decodeAhead.h"

#include <cstddef>

// The encoder's only window. Its one-time setup builds the shader program from
// the embedded texts, loads the image as a power-of-two texture on unit 0,
// sizes the window, and makes a clock-seeded noise texture on unit 1. The
// second display draws the encoded image, writes it beside the input as
// <name>_enc.bmp and closes the window, which ends the process.
//
// Exit status: GLUT's own (0 after the window has gone, 1 on its fatal errors),
// except that a run that fails to produce its output after the window resize
// (no memory for the noise, no noise texture, a failed or short save) ends with
// status 1 when its window closes.
// What `pixveil PATH` does once its command line is checked: refuses a path
// whose output name does not fit the path buffers (a truncated name would
// write somewhere the user did not ask), with one line on standard error and
// false; otherwise opens the myWindow for it, which starts decoding the image
// at once. The output goes beside the image, or into outputFolder under the
// same name when one is given (placeInFolder; the caller has checked that it
// is a directory).
bool openEncodingWindow(const char* path, const char* outputFolder = nullptr);

class myWindow : public vexo::glutWindow {
public:
    // `path` is the image path, `encodedPath` where its encoding goes, both
    // within the path buffers (openEncodingWindow names the output). With the
    // window's context current, the image starts decoding in its sandboxed
    // child (decodeAhead.h) while GLUT starts its loop and the window builds
    // its program and its noise; the child is forked here, on the main
    // thread, which lives as long as the child must.
    myWindow(const char* path, const char* encodedPath);
    ~myWindow() override;

    void onDisplay() override;
    void onSetup() override;
    // Ends the process with status 1 after a failure.
    void onCloseRequest() override;

    vexo::glShaderManager shaderManager;
    vexo::glShader* program;
    GLuint imageTexture;
    GLuint noiseTexture;
    int frameCount;
    unsigned int textureWidth;
    unsigned int textureHeight;
    char fragmentSource[shaderTextCapacity];
    char vertexSource[shaderTextCapacity];

    char inputPath[pathCapacity];
    char outputPath[pathCapacity];

private:
    void prepareEncoding(const unsigned char* vertexBlob, const unsigned char* fragmentBlob, const char* imagePath);
    // Loads `imagePath` as the image texture, printing nothing. Returns 0 on
    // failure, with the reason in failureReason.
    GLuint loadImageTexture(const char* imagePath);
    // Makes the noise texture, or takes the one made ahead of the image when
    // it has the texture's size, printing its failures. Returns 0 on failure.
    GLuint makeNoiseTexture(noiseMadeAhead noiseAhead);
    // Writes the captured frame to outputPath, printing nothing. Returns false
    // on failure, with the reason in failureReason.
    bool saveCapture();
    // Reports that the output was not written, and why.
    void failOutput(const char* reason);

    char failureReason[512];
    runFailure failure;
    // Until the image is loaded, which takes it over.
    imageDecodeAhead decodeAhead;
};
