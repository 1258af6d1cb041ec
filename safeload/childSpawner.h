#pragma once

#include "safeload/imageSandbox.h"

#include <cstdint>
#include <sys/types.h>

// The process that starts the decoder children of a program that decodes many
// images (imageSandbox.h's startDecoderSpawner). It is forked while the
// program is still small and clones each child from itself, as a child of the
// program (CLONE_PARENT): the program waits for it, reads its memory and kills
// it as it would a child it forked, but the child shares none of the
// program's pages. A child forked from the program itself marks every page the
// program has written copy-on-write, and the program then takes a fault on
// each one it writes again; in a worker that has drawn image after image that
// came to a fifth of its processor time. Used by imageSandbox.cpp only.

// What a spawned child starts from. Plain values only: the functions are the
// program's own, at the same addresses in the spawner, which is its fork.
struct spawnRequest {
    imageDecodeFunction decode;
    decoderConfinement confinement;
    sandboxLimits limits;
    uint64_t pixelCapacity;
    uint64_t mappingLength;
    uint64_t byteLength;
};

// Runs in the spawned child and never returns. `area` is the shared mapping
// (mappingLength bytes), `bytes` the image's bytes, readyFd the ready pipe's
// writing end; `parent` is the program, and inheritedAddressSpace what the
// child holds before it decodes.
using spawnedChildMain = void (*)(const spawnRequest& request, void* area, const unsigned char* bytes,
    int readyFd, pid_t parent, uint64_t inheritedAddressSpace);

// Forks the spawner, which ends with the program (or when stopChildSpawner
// closes its socket). False when it could not be started.
bool startChildSpawner(spawnedChildMain childMain);
void stopChildSpawner();
// The spawner's process while it runs, else -1.
pid_t childSpawnerProcess();

// Asks the spawner for a child that decodes from the memory files areaFd (the
// shared mapping) and bytesFd (the image's bytes; -1 when there are none) and
// writes to readyFd. The child's process, or -1 when there is no spawner, it
// has gone, it could not clone, or it has not answered within the request's
// wall-time limit (limits.wallSeconds). A spawner that has gone or not
// answered is killed and reaped and not asked again: the program's decodes
// are forked from then on.
pid_t spawnChild(const spawnRequest& request, int areaFd, int bytesFd, int readyFd);
