#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Output files are complete or absent. A file is written under a temporary
// name in its own directory, checked, flushed to disk and only then renamed
// over the output path, so a reader (or a later run) never finds a truncated
// file there, and a failed or interrupted run leaves an earlier output as it
// was. Used by both programs for every image they write.
//
// These functions are not reentrant: one atomic write at a time per process,
// on the thread that receives SIGINT and SIGTERM (the main thread).

// Writes the file's bytes to the given (already existing, empty) temporary
// path. Returns false with a one-line reason when it knows it failed.
using temporaryFileWriter = std::function<bool(const char* temporaryPath, std::string& failureReason)>;

// Replaces outputPath by what writeTemporary produces: creates a uniquely named
// temporary file beside outputPath (a short name, "pixveil.tmp." and six
// characters, so it fits wherever outputPath's name does), lets writeTemporary
// fill it, checks it is a regular file of exactly expectedSize bytes, gives it
// the permission bits and group of the regular file it replaces (or, for a new
// output, the permissions umask allows a newly created file), flushes it to
// disk, renames it over outputPath and flushes the directory. While the temporary file exists, SIGINT or
// SIGTERM removes it and then ends the process by that signal.
// On failure returns false with a one-line reason; the temporary file is gone
// and outputPath is untouched, except when only the final directory flush
// failed: then outputPath already holds the complete new file, whose
// durability could not be confirmed.
bool replaceFileAtomically(const char* outputPath, std::uint64_t expectedSize,
                           const temporaryFileWriter& writeTemporary, std::string& failureReason);

// Writes the lower-left width x height pixels of the current read buffer as a
// 24-bit BMP at outputPath, byte for byte the file SOIL's screenshot writer
// makes of them (bmpCapture.h), atomically as replaceFileAtomically does.
// Needs a current OpenGL context; leaves the caller's pack alignment as it was.
bool saveCaptureAtomically(const char* outputPath, int width, int height, std::string& failureReason);
