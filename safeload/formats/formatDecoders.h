#pragma once

#include <cstddef>
#include <cstdint>

// The decoders of safeload/formats, each with imageDecodeFunction's contract
// and the conventions of decodedImage.h, chosen by imageFormats.h.

unsigned char* decodePng(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeJpeg(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeGif(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeWebp(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeTiff(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeBmp(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodePnm(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodePsd(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeTga(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);
unsigned char* decodeHeif(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason);

// Run in the child before its filter goes on: one-time set-up that makes
// system calls the filter forbids.
void prepareTiffDecoder();
void prepareHeifDecoder();

// What an image's header declares: its sides, and its channels where the
// header alone tells them (0 where it does not).
struct declaredImage {
    uint32_t width = 0;
    uint32_t height = 0;
    int channels = 0;
};

// Header steps: what a PNG or BMP header declares, or false when the bytes
// hold no complete header.
bool readPngHeader(const unsigned char* bytes, size_t length, declaredImage& declared);
bool readBmpHeader(const unsigned char* bytes, size_t length, declaredImage& declared);
