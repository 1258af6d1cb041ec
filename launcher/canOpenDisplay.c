/* Ends with status 0 when the X display in DISPLAY accepts a connection, 1
 * otherwise. The launchers ask it before they decide to start a private
 * server: a DISPLAY left over in an ssh session without X forwarding is set but
 * cannot be opened, and the GL programs would end with "failed to open
 * display". */

#include <X11/Xlib.h>

int main(void)
{
    Display* display = XOpenDisplay(NULL);
    if (!display)
        return 1;
    XCloseDisplay(display);
    return 0;
}
