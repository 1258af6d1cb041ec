// Draws a known picture into a window of the given size and saves it with
// saveCaptureAtomically: the capture path without the rest of the encoder.
//   capture-probe OUTPUT WIDTH HEIGHT
// Exit status 0 when saved; otherwise the reason on standard error and 1.

#include "atomicOutput.h"

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* outputPath;
int captureWidth;
int captureHeight;
int displayCount = 0;

// Four coloured quadrants, so that a flipped or shifted capture shows.
void drawQuadrants()
{
    glViewport(0, 0, captureWidth, captureHeight);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    const float colours[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    glBegin(GL_QUADS);
    for (int quadrant = 0; quadrant < 4; ++quadrant) {
        float left = quadrant % 2 == 0 ? -1.0f : 0.0f;
        float bottom = quadrant < 2 ? -1.0f : 0.0f;
        glColor3fv(colours[quadrant]);
        glVertex2f(left, bottom);
        glVertex2f(left + 1, bottom);
        glVertex2f(left + 1, bottom + 1);
        glVertex2f(left, bottom + 1);
    }
    glEnd();
}

// Mesa sizes the back buffer on the first swap, so the capture is taken on
// the second display.
void display()
{
    drawQuadrants();
    if (displayCount++ == 0) {
        glutSwapBuffers();
        glutPostRedisplay();
        return;
    }
    std::string reason;
    if (!saveCaptureAtomically(outputPath, captureWidth, captureHeight, reason)) {
        std::fprintf(stderr, "Cannot save '%s': %s\n", outputPath, reason.c_str());
        std::exit(1);
    }
    std::exit(0);
}

} // namespace

int main(int argumentCount, char** arguments)
{
    if (argumentCount != 4) {
        std::fprintf(stderr, "usage: capture-probe OUTPUT WIDTH HEIGHT\n");
        return 2;
    }
    outputPath = arguments[1];
    captureWidth = std::atoi(arguments[2]);
    captureHeight = std::atoi(arguments[3]);
    glutInit(&argumentCount, arguments);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutInitWindowSize(captureWidth, captureHeight);
    glutCreateWindow("capture-probe");
    glutDisplayFunc(display);
    glutMainLoop();
    return 1;
}
