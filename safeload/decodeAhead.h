#pragma once

#include "safeload/imageSandbox.h"

#include <cstdint>
#include <memory>

// Decoding an image while the program sets up. startImageDecode reads the
// file, forks the sandboxed decoder child (imageSandbox.h) and, where the
// header tells the texture's size and format, makes its storage; the caller
// keeps what it gives, and hands it to the loader (safeImageLoad.h) with the
// same path, which then waits for that child instead of doing the same work
// itself. Starting early changes nothing in what a load gives, only when its
// work happens. Call everything here from the program's main thread: the
// child is killed when the thread that forked it ends.

// The storage made for the image while it decoded (createTextureStorageAsSoilDoes),
// for the sizes its header declared, or no name.
struct preparedTexture {
    unsigned int name = 0;
    int width = 0;
    int height = 0;
    int channels = 0;
};

struct decodeStartedAhead;

// A decode started ahead of the loader, or nothing. One that is destroyed
// unfinished kills and reaps its child and deletes the storage made for it,
// which needs the context it was made in to be current.
class imageDecodeAhead {
public:
    imageDecodeAhead();
    imageDecodeAhead(imageDecodeAhead&&) noexcept;
    imageDecodeAhead& operator=(imageDecodeAhead&&) noexcept;
    ~imageDecodeAhead();

    // The texture size the decode will most likely give: the sides its file's
    // header declares (PNG and BMP), raised to powers of two as the loader
    // raises them. False when there is no such header or nothing was started,
    // when the texture is beyond the loader's bounds (textureBounds), or when
    // the header declares more texels than the sandbox credits the file with
    // (creditedPixels): a header may lie, and what is made for a guess must
    // cost no more than the decode of such a file may.
    bool guessTextureSize(std::uint32_t& width, std::uint32_t& height) const;

    // For the loader: waits for the decode and gives its result and the
    // texture storage made for it, which is the caller's from then on; false
    // when nothing was started. Nothing is held afterwards.
    bool finish(sandboxDecodeResult& result, preparedTexture& texture);

private:
    friend imageDecodeAhead startImageDecode(const char* path);
    explicit imageDecodeAhead(std::unique_ptr<decodeStartedAhead> started);

    std::unique_ptr<decodeStartedAhead> started;
};

// Starts decoding `path`. Needs a current OpenGL context, whose largest
// texture sets the limits as the loader sets them; without one, for a file
// that cannot be read, or for a DDS file (which may be uploaded as it is), it
// starts nothing.
imageDecodeAhead startImageDecode(const char* path);
