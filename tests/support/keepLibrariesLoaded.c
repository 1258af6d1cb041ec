/* Preloaded into the sanitizer pass's processes: libraries are never
 * unloaded, so that LeakSanitizer can still name the library of each frame at
 * exit. Mesa unloads its driver when the display closes, and the driver's
 * frames would then show as "<unknown module>", which no suppression can
 * match (tests/leak-suppressions.txt). */
int dlclose(void* handle)
{
    (void)handle;
    return 0;
}
