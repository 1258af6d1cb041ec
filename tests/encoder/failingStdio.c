/* Preloaded into a program to make writing one file fail the way a full disk
 * or a failing device does, without needing either.
 *
 *   FAILING_STDIO_PATH  the failures apply to paths containing this text
 *   FAILING_STDIO_CALL  fwrite: writes stop after the first 1000 bytes (ENOSPC)
 *                       fclose: the data still buffered at fclose is lost and
 *                               fclose reports ENOSPC
 *                       fsync:  fsync of such a file fails with EIO
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { bytesBeforeFullDisk = 1000, maximumStreams = 16 };

static FILE* failingStreams[maximumStreams];
static size_t bytesWritten[maximumStreams];

static int failureApplies(const char* call, const char* path)
{
    const char* wantedCall = getenv("FAILING_STDIO_CALL");
    const char* pathPart = getenv("FAILING_STDIO_PATH");
    return wantedCall && pathPart && *pathPart && strcmp(wantedCall, call) == 0 && path && strstr(path, pathPart);
}

static int streamSlot(FILE* stream)
{
    for (int slot = 0; slot < maximumStreams; ++slot)
        if (stream && failingStreams[slot] == stream)
            return slot;
    return -1;
}

static void remember(FILE* stream)
{
    for (int slot = 0; slot < maximumStreams; ++slot)
        if (!failingStreams[slot]) {
            failingStreams[slot] = stream;
            bytesWritten[slot] = 0;
            return;
        }
}

/* The path a descriptor was opened with, as the system shows it. */
static void pathOf(int descriptor, char* path, size_t capacity)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
    ssize_t length = readlink(link, path, capacity - 1);
    path[length > 0 ? length : 0] = '\0';
}

static void rememberIfFailing(FILE* stream, const char* path)
{
    if (stream && (failureApplies("fwrite", path) || failureApplies("fclose", path)))
        remember(stream);
}

FILE* fopen(const char* path, const char* mode)
{
    FILE* (*realFopen)(const char*, const char*) = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen");
    FILE* stream = realFopen(path, mode);
    rememberIfFailing(stream, path);
    return stream;
}

FILE* fdopen(int descriptor, const char* mode)
{
    FILE* (*realFdopen)(int, const char*) = (FILE * (*)(int, const char*)) dlsym(RTLD_NEXT, "fdopen");
    FILE* stream = realFdopen(descriptor, mode);
    char path[4096];
    pathOf(descriptor, path, sizeof path);
    rememberIfFailing(stream, path);
    return stream;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    size_t (*realFwrite)(const void*, size_t, size_t, FILE*) =
        (size_t(*)(const void*, size_t, size_t, FILE*))dlsym(RTLD_NEXT, "fwrite");
    int slot = streamSlot(stream);
    if (slot < 0 || strcmp(getenv("FAILING_STDIO_CALL"), "fwrite") != 0 || size == 0)
        return realFwrite(data, size, count, stream);
    size_t room = bytesWritten[slot] < bytesBeforeFullDisk ? bytesBeforeFullDisk - bytesWritten[slot] : 0;
    size_t fitting = room / size < count ? room / size : count;
    size_t written = realFwrite(data, size, fitting, stream);
    bytesWritten[slot] += written * size;
    if (written < count)
        errno = ENOSPC;
    return written;
}

int fclose(FILE* stream)
{
    int (*realFclose)(FILE*) = (int (*)(FILE*))dlsym(RTLD_NEXT, "fclose");
    int slot = streamSlot(stream);
    if (slot < 0)
        return realFclose(stream);
    failingStreams[slot] = NULL;
    if (strcmp(getenv("FAILING_STDIO_CALL"), "fclose") != 0)
        return realFclose(stream);
    __fpurge(stream);
    realFclose(stream);
    errno = ENOSPC;
    return EOF;
}

int fsync(int descriptor)
{
    int (*realFsync)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    char path[4096];
    pathOf(descriptor, path, sizeof path);
    if (failureApplies("fsync", path)) {
        errno = EIO;
        return -1;
    }
    return realFsync(descriptor);
}
