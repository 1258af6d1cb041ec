/* Opens and closes a connection to $DISPLAY again and again, each right after
 * the last has gone, and prints how many the server refused.
 * Usage: connect-repeatedly COUNT */

#include <X11/Xlib.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 100;
    int refused = 0;
    for (int i = 0; i < count; ++i) {
        Display* display = XOpenDisplay(NULL);
        if (!display) {
            ++refused;
            continue;
        }
        XCloseDisplay(display);
    }
    printf("%d\n", refused);
    return 0;
}
