#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// Marks a heap object that lives until the process ends by design (nothing
// deletes it, as with the programs' application objects and shader programs),
// so that the leak check of sanitizer builds does not report it, nor what it
// points to. Elsewhere it does nothing.
inline void livesUntilExit(const void* object)
{
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(object);
#else
    (void)object;
#endif
}
