/* Test stand-in for a driver that runs out of texture names: preloaded into
 * the real encoder, it makes the Nth glGenTextures call of the process
 * (PIXVEIL_TEST_FAIL_TEXTURE_NAME=N) produce no name, as a driver without a
 * usable context does. Every other call goes to the real driver. */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <dlfcn.h>
#include <stdlib.h>

void glGenTextures(GLsizei count, GLuint* names)
{
    static int calls;
    static void (*realGenTextures)(GLsizei, GLuint*);
    const char* failing = getenv("PIXVEIL_TEST_FAIL_TEXTURE_NAME");
    if (failing && ++calls == atoi(failing)) {
        for (GLsizei i = 0; i < count; ++i)
            names[i] = 0;
        return;
    }
    if (!realGenTextures)
        realGenTextures = (void (*)(GLsizei, GLuint*))dlsym(RTLD_NEXT, "glGenTextures");
    realGenTextures(count, names);
}
