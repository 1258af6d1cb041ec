#pragma once

#include "safeload/imageSandbox.h"

#include <cstdint>

// What the decoder child does to itself before it touches the image's bytes
// (imageSandbox.h): it closes what it inherited, gives fatal signals their
// default actions back, takes its resource limits and installs its system-call
// filter. Each step is called in the child only, between fork and the decode.

// Keeps standard input, output and error and the ready pipe's writing end.
void closeInheritedDescriptors(int readyFd);

// Fatal signals get their default action back, so that the parent sees the
// signal that ended the decoder rather than whatever a handler inherited from
// the parent (a sanitizer's, say) turns it into.
void restoreDefaultSignalActions();

// The address space the process holds now (0 when it cannot be read): the
// child's memory limit is counted on top of what it inherited.
uint64_t currentAddressSpaceBytes();

// No core dumps, and the CPU time and address space of the limits.
bool applyLimits(const sandboxLimits& limits, uint64_t inheritedAddressSpace);

// Allows memory management, writing to standard error and to readyFd,
// waiting and ending; any other call fails with EPERM, but starting a process
// (and a thread, unless threadsAllowed) ends the child.
bool installSystemCallFilter(int readyFd, bool threadsAllowed);
