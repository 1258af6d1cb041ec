#pragma once

// The exit statuses of every Pixveil program and of the commands that run
// them, in one place; the README's table of statuses is written from these.
// A program or command ended by signal n ends as the shell shows it, 128 + n.
namespace exitStatus {
// Every file was written.
inline constexpr int success = 0;
// A file failed, or a single file's run failed (its message says why).
inline constexpr int failure = 1;
// A wrong option or a command line that asks for something refused before
// any work (the commands; the decoder for an output that is its own input).
inline constexpr int usage = 2;
inline constexpr int signalBase = 128;
} // namespace exitStatus
