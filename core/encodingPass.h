#pragma once

// GLEW's header must come before every other OpenGL header.
#include "vexo/source/glsl.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The drawing that the encoder and the decoder share. Decoding undoes the
// encoding only when every pixel sees the same rotation amount, which the GL
// driver derives from the interpolated a_param: both programs must set the
// same state, size the window and viewport the same way, draw the same quad in
// the same call order and capture the same (second) frame. Everything that
// decides those pixels lives here, once; capturePass.h takes the steps in
// their order.

// The GL state both programs draw with: flat shading, depth test, 2D
// texturing, and pixel rows packed and unpacked at 1-byte alignment.
void prepareEncodingState();

// glActiveTexture, when the driver has it.
void selectTextureUnit(GLenum unit);
// Binds `texture` on the active unit and samples it with nearest filters, so
// that every fragment reads exactly one texel.
void bindWithNearestFilters(GLuint texture);

struct textureSize {
    unsigned int width;
    unsigned int height;
};

// The window grows this much beyond the texture, computed in single precision.
inline constexpr float windowGrowth = 0.03f;

// Reads the bound texture's level-0 size, asks GLUT for a window windowGrowth
// (3 %) larger and sets the viewport to exactly the texture-sized lower-left
// corner of it.
textureSize sizeWindowToTexture();

enum class noiseTextureFailure { none, noMemory, noTexture };

// Makes a width x height RGB texture of the noise of `seed` on the active unit
// (made and bound there as SOIL makes a texture). Returns its name, or 0 with `failure` saying why and
// `reason` holding either "no memory for the N-byte noise buffer" or SOIL's
// last result.
GLuint createNoiseTexture(unsigned int width, unsigned int height, std::uint32_t seed, noiseTextureFailure& failure,
                          std::string& reason);

class imageDecodeAhead;
struct noiseTextureAhead;

// The encoder's noise texture made while its image decodes, for the texture
// size guessed from the image file's header (makeNoiseTextureAheadOfImage):
// its texture, or the failure and reason it met; or nothing. A texture that
// createClockSeededNoiseTexture did not take is deleted with it, which needs
// the context it was made in to be current (as it is when GLUT closes the
// window).
class noiseMadeAhead {
public:
    noiseMadeAhead();
    noiseMadeAhead(noiseMadeAhead&&) noexcept;
    noiseMadeAhead& operator=(noiseMadeAhead&&) noexcept;
    ~noiseMadeAhead();

    // What was made, when it has this size: its texture (0 after a failure),
    // with the failure and reason it met. False for any other size, after
    // deleting the texture, so that its memory is free for the noise made
    // instead. Nothing is held afterwards.
    bool takeFor(unsigned int width, unsigned int height, GLuint& texture, noiseTextureFailure& failure,
                 std::string& reason);

private:
    friend noiseMadeAhead makeNoiseTextureAheadOfImage(const imageDecodeAhead& imageDecode);
    explicit noiseMadeAhead(std::unique_ptr<noiseTextureAhead> made);

    std::unique_ptr<noiseTextureAhead> made;
};

// The same for the encoder's noise, seeded by the clock's current second; or,
// when the noise made ahead of the image has this size, what was made then:
// its texture (bound on the active unit all the same) with the second it was
// made in, or the failure and reason it met.
GLuint createClockSeededNoiseTexture(unsigned int width, unsigned int height, noiseMadeAhead madeAhead,
                                     noiseTextureFailure& failure, std::string& reason);

// Makes the encoder's noise texture while its image decodes (decodeAhead.h),
// for the texture size `imageDecode` guesses from the image file's header,
// seeded by the clock now, so that making and uploading it cost no time of
// their own when the guess comes true. Binds it on the active unit. Makes
// nothing without a guess, and keeps no texture that OpenGL did not store at
// that size: that noise is made again when it is asked for.
noiseMadeAhead makeNoiseTextureAheadOfImage(const imageDecodeAhead& imageDecode);

// Draws one frame of the pass: clears, binds the image on unit 0 and the noise
// on unit 1, binds `program` (if any) with its two sampler uniforms, draws the
// quad and unbinds the program.
void drawEncodingFrame(vexo::glShader* program, GLuint imageTexture, GLuint noiseTexture);

// Draws the same quad with a program that samples no texture (its samplers are
// optimised away, so their uniforms are not set).
void drawQuadOnly(vexo::glShader* program);
