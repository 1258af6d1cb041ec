/* Test stand-in for an exhausted heap: preloaded into the real encoder, it
 * makes the first malloc of exactly PIXVEIL_TEST_FAIL_MALLOC_SIZE bytes fail. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);

void* malloc(size_t size)
{
    static size_t failingSize;
    static int read;
    if (!read) {
        const char* text = getenv("PIXVEIL_TEST_FAIL_MALLOC_SIZE");
        failingSize = text ? strtoul(text, NULL, 10) : 0;
        read = 1;
    }
    if (failingSize != 0 && size == failingSize) {
        failingSize = 0;
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}
