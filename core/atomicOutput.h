#pragma once

#include <cstdint>
#include <cstdio>
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

// Writes the file's bytes to `temporaryFile`, a stream on the new, empty
// temporary file (named `temporaryPath`, for messages only: the file is never
// opened by its name, which someone else may have replaced). The stream is
// unbuffered and closed by the caller. Returns false with a one-line reason
// when it knows it failed.
using temporaryFileWriter =
    std::function<bool(std::FILE* temporaryFile, const char* temporaryPath, std::string& failureReason)>;

// Replaces outputPath by what writeTemporary produces: creates a uniquely named
// temporary file beside outputPath (a short name, "pixveil.tmp." and six
// characters, so it fits wherever outputPath's name does), lets writeTemporary
// fill it, checks it is a regular file of exactly expectedSize bytes, gives it
// the permission bits and group of the regular file it replaces when that file
// is the user's own (or else the permissions umask allows a newly created
// file), flushes it to disk, renames it over outputPath once its name is seen
// to still be the file written, and flushes the directory. Every step works on
// the descriptor mkstemp returned, never on the name, so a file planted at the
// temporary name by someone who may write to the directory is never written,
// changed or renamed. While the temporary file exists, SIGINT or SIGTERM
// removes it and then ends the process by that signal.
// On failure returns false with a one-line reason; the temporary file is gone
// and outputPath is untouched, except when only the final directory flush
// failed: then outputPath already holds the complete new file, whose
// durability could not be confirmed.
bool replaceFileAtomically(const char* outputPath, std::uint64_t expectedSize,
                           const temporaryFileWriter& writeTemporary, std::string& failureReason);

// Why `folder` cannot take the output files asked to go there (-O DIR): the
// system's reason when it cannot be looked up ("No such file or directory"),
// or "it is not a directory"; empty when it is a directory. Whether a file
// may be created in it shows only when one is written.
std::string outputFolderProblem(const char* folder);

// Writes the lower-left width x height pixels of the current read buffer as a
// 24-bit BMP at outputPath, byte for byte the file SOIL's screenshot writer
// makes of them (bmpCapture.h), atomically as replaceFileAtomically does.
// Needs a current OpenGL context; leaves the caller's pack alignment as it was.
bool saveCaptureAtomically(const char* outputPath, int width, int height, std::string& failureReason);
