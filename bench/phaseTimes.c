/* Benchmark helper, preloaded into the encoder: notes when the encoder reaches
 * the calls that separate its phases and, at exit, writes the phases' lengths
 * and the peak memory to the file named by PIXVEIL_BENCH_TIMES. The phases
 * follow one another, so they add up to the whole run:
 *   start  start .. the image decoder starts (its fork)
 *   load   .. window resize: the image texture is made (whatever runs while
 *          the decoder child works, such as the window and shader set-up, is
 *          counted here)
 *   noise  .. the last texture upload returns (the noise texture; nothing
 *          when the encoder made its noise during the load)
 *   draw   .. both frames drawn: Mesa draws only when the frame is read, so
 *          the helper finishes the drawing (glFinish) before the read-back
 *   read   .. the last strip of the frame is read back as the BMP's rows
 *          (glReadPixels, GL_BGR); the strips before it are written between
 *          the reads, so this phase and the next are best taken together
 *   write  .. exit (the last strip written, the file flushed and renamed)
 * In the decoder, which reads its encoded texture back for the seed search
 * and makes the noise of the seed it chose, it also notes:
 *   search glGetTexImage .. last texture upload returns */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static double startTime, decodeStart, resizeTime, noiseEnd, drawEnd, readEnd, searchStart;

static double now(void)
{
    struct timespec clock;
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return clock.tv_sec + clock.tv_nsec / 1e9;
}

static void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

__attribute__((constructor)) static void begin(void)
{
    startTime = now();
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("PIXVEIL_BENCH_TIMES");
    FILE *file = path ? fopen(path, "w") : NULL;
    if (!file)
        return;
    const double end = now();
    if (noiseEnd < resizeTime)
        noiseEnd = resizeTime;
    struct rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    fprintf(file, "%.3f %.3f %.3f %.3f %.3f %.3f %ld %ld %.3f %.3f\n", decodeStart - startTime,
            resizeTime - decodeStart, noiseEnd - resizeTime, drawEnd - noiseEnd, readEnd - drawEnd, end - readEnd,
            self.ru_maxrss, children.ru_maxrss, searchStart > 0 ? noiseEnd - searchStart : 0, end - startTime);
    fclose(file);
}

pid_t fork(void)
{
    static pid_t (*real)(void);
    if (decodeStart == 0)
        decodeStart = now();
    if (!real)
        real = next("fork");
    return real();
}

unsigned int SOIL_create_OGL_texture(const unsigned char *data, int width, int height, int channels,
                                     unsigned int reuse, unsigned int flags)
{
    static unsigned int (*real)(const unsigned char *, int, int, int, unsigned int, unsigned int);
    if (!real)
        real = next("SOIL_create_OGL_texture");
    const unsigned int texture = real(data, width, height, channels, reuse, flags);
    noiseEnd = now();
    return texture;
}

void glTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height, GLint border,
                  GLenum format, GLenum type, const void *pixels)
{
    static void (*real)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void *);
    if (!real)
        real = next("glTexImage2D");
    real(target, level, internalFormat, width, height, border, format, type, pixels);
    noiseEnd = now();
}

void glutReshapeWindow(int width, int height)
{
    static void (*real)(int, int);
    resizeTime = now();
    if (!real)
        real = next("glutReshapeWindow");
    real(width, height);
}

void glReadPixels(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format, GLenum type, void *pixels)
{
    static void (*real)(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void *);
    if (!real)
        real = next("glReadPixels");
    const int capture = format == GL_BGR;
    if (capture && drawEnd == 0) {
        glFinish();
        drawEnd = now();
    }
    real(x, y, width, height, format, type, pixels);
    if (capture)
        readEnd = now();
}

void glGetTexImage(GLenum target, GLint level, GLenum format, GLenum type, void *pixels)
{
    static void (*real)(GLenum, GLint, GLenum, GLenum, void *);
    searchStart = now();
    if (!real)
        real = next("glGetTexImage");
    real(target, level, format, type, pixels);
}
