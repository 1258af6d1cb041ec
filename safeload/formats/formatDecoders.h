#pragma once

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
