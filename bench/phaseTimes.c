/* Benchmark helper, preloaded into the encoder: notes when the encoder reaches
 * the calls that separate its phases and, at exit, writes the phases' lengths
 * and the peak memory to the file named by PIXVEIL_BENCH_TIMES:
 *   setup  start .. image load begins (GLUT, window, GLEW, shader build)
 *   load   image load .. window resize (decode, up-scale, upload)
 *   noise  window resize .. last SOIL_create_OGL_texture returns
 *   draw   noise ready .. SOIL_save_screenshot (both frames)
 *   save   SOIL_save_screenshot .. exit (read-back, BMP, file)
 * In the decoder, which reads its encoded texture back for the seed search
 * and makes the noise of the seed it chose, it also notes:
 *   search glGetTexImage .. last SOIL_create_OGL_texture returns */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static double startTime, loadStart, resizeTime, noiseEnd, saveStart, searchStart;

static double now(void)
{
    struct timespec clock;
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return clock.tv_sec + clock.tv_nsec / 1e9;
}

static void markLoadStart(void)
{
    if (loadStart == 0)
        loadStart = now();
}

__attribute__((constructor)) static void begin(void)
{
    startTime = now();
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("PIXVEIL_BENCH_TIMES");
    FILE* file = path ? fopen(path, "w") : NULL;
    if (!file)
        return;
    const double end = now();
    struct rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    fprintf(file, "%.3f %.3f %.3f %.3f %.3f %ld %ld %.3f %.3f\n", loadStart - startTime, resizeTime - loadStart,
            noiseEnd - resizeTime, saveStart - noiseEnd, end - saveStart, self.ru_maxrss, children.ru_maxrss,
            searchStart > 0 ? noiseEnd - searchStart : 0, end - startTime);
    fclose(file);
}

unsigned int SOIL_load_OGL_texture(const char* path, int force, unsigned int reuse, unsigned int flags)
{
    static unsigned int (*real)(const char*, int, unsigned int, unsigned int);
    markLoadStart();
    if (!real)
        real = dlsym(RTLD_NEXT, "SOIL_load_OGL_texture");
    return real(path, force, reuse, flags);
}

pid_t fork(void)
{
    static pid_t (*real)(void);
    markLoadStart();
    if (!real)
        real = dlsym(RTLD_NEXT, "fork");
    return real();
}

unsigned int SOIL_create_OGL_texture(const unsigned char* data, int width, int height, int channels,
                                     unsigned int reuse, unsigned int flags)
{
    static unsigned int (*real)(const unsigned char*, int, int, int, unsigned int, unsigned int);
    markLoadStart();
    if (!real)
        real = dlsym(RTLD_NEXT, "SOIL_create_OGL_texture");
    const unsigned int texture = real(data, width, height, channels, reuse, flags);
    noiseEnd = now();
    return texture;
}

void glutReshapeWindow(int width, int height)
{
    static void (*real)(int, int);
    resizeTime = now();
    if (!real)
        real = dlsym(RTLD_NEXT, "glutReshapeWindow");
    real(width, height);
}

int SOIL_save_screenshot(const char* path, int type, int x, int y, int width, int height)
{
    static int (*real)(const char*, int, int, int, int, int);
    saveStart = now();
    if (!real)
        real = dlsym(RTLD_NEXT, "SOIL_save_screenshot");
    return real(path, type, x, y, width, height);
}

void glGetTexImage(unsigned int target, int level, unsigned int format, unsigned int type, void* pixels)
{
    static void (*real)(unsigned int, int, unsigned int, unsigned int, void*);
    searchStart = now();
    if (!real)
        real = dlsym(RTLD_NEXT, "glGetTexImage");
    real(target, level, format, type, pixels);
}
