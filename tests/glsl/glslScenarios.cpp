// Runs named uses of the shader library against the real driver, one after
// another in one process, and exits:
//
//     glsl-scenarios SCENARIO...
//
// Each scenario is a use of the library that the encoder or the decoder makes:
// the capability report of the first manager, and builds from two texts.
// Standard output carries what the library prints, interleaved with lines
// beginning "> " that report what the calls returned. A GLUT window is opened
// before the first scenario, as the programs open theirs before any library
// object exists.

#include "vexo/source/glsl.h"

#include <GL/freeglut.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

// Holds every program a build handed out, so that they stay reachable to the
// end and a leak checker reports only what the library itself lost. Never
// destroyed, so that exit does not empty it first; not static, so that the
// compiler keeps the stores.
std::vector<vexo::glShader*>* keptPrograms = new std::vector<vexo::glShader*>;

namespace {

const char* const vertexText =
    "#version 110\n"
    "void main() { gl_Position = gl_Vertex; }\n";
const char* const fragmentText =
    "#version 110\n"
    "uniform sampler2D picture;\n"
    "void main() { gl_FragColor = texture2D(picture, vec2(0.5)); }\n";
const char* const brokenText =
    "#version 110\n"
    "void main() { gl_Position = ; }\n";
// Compiles, but a program cannot link without a main function.
const char* const noMainText =
    "#version 110\n"
    "vec4 unusedHelper() { return vec4(1.0); }\n";

template <typename Value>
void report(const std::string& what, Value value)
{
    std::cout << "> " << what << ' ' << std::boolalpha << value << std::endl;
}

void mark(const std::string& what)
{
    std::cout << "> " << what << std::endl;
}

void openWindow()
{
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA | GLUT_DEPTH);
    glutInitWindowSize(64, 64);
    glutCreateWindow("glsl-scenarios");
}

GLint currentProgram()
{
    GLint program = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    return program;
}

void capabilityReport()
{
    vexo::glShaderManager manager;
    report("shadingLanguageReady", vexo::shadingLanguageReady);
    report("extensionsLoaded", vexo::extensionsLoaded);
}

void build(vexo::glShaderManager& manager, const char* vertex, const char* fragment)
{
    vexo::glShader* program = manager.loadFromMemory(vertex, fragment);
    report("loadFromMemory", program != nullptr);
    report("programs", (manager.programs.size()));
    if (program != nullptr) {
        report("linked", program->linked);
        report("ownsStages", program->ownsStages);
        report("stages", (program->stages.size()));
        report("current", currentProgram());
        keptPrograms->push_back(program);
    }
}

// One build by a fresh manager from the given texts.
std::function<void()> managerBuildOf(const char* vertex, const char* fragment)
{
    return [vertex, fragment] {
        vexo::glShaderManager manager;
        mark("build");
        build(manager, vertex, fragment);
    };
}

void managerTwoBuilds()
{
    vexo::glShaderManager manager;
    vexo::glShader* first = manager.loadFromMemory(vertexText, fragmentText);
    vexo::glShader* second = manager.loadFromMemory(vertexText, fragmentText);
    keptPrograms->insert(keptPrograms->end(), {first, second});
    mark("built");
    report("programs", (manager.programs.size()));
    report("in order", manager.programs.size() == 2 && manager.programs[0] == first &&
                           manager.programs[1] == second);
    report("different", first != nullptr && second != nullptr && first != second &&
                            first->programHandle != second->programHandle);
}

const std::map<std::string, std::function<void()>> scenariosWithWindow = {
    {"capability-report", capabilityReport},
    {"manager-build", managerBuildOf(vertexText, fragmentText)},
    {"manager-vertex-error", managerBuildOf(brokenText, fragmentText)},
    {"manager-fragment-error", managerBuildOf(vertexText, brokenText)},
    {"manager-link-error", managerBuildOf(noMainText, fragmentText)},
    {"manager-two-builds", managerTwoBuilds},
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: glsl-scenarios SCENARIO..." << std::endl;
        return 2;
    }
    const std::vector<std::string> scenarios(argv + 1, argv + argc);
    glutInit(&argc, argv);
    openWindow();
    for (const std::string& scenario : scenarios) {
        auto found = scenariosWithWindow.find(scenario);
        if (found == scenariosWithWindow.end()) {
            std::cerr << "glsl-scenarios: unknown scenario " << scenario << std::endl;
            return 2;
        }
        found->second();
    }
    return 0;
}
