// Runs named uses of the shader library against the real driver, one after
// another in one process, and exits:
//
//     glsl-scenarios SCENARIO...
//
// Standard output carries what the library prints, interleaved with lines
// beginning "> " that report what the calls returned. A GLUT window is opened
// before the first scenario so that a context is current; the no-context
// scenario uses the library before any window exists, and runs alone.

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
    "uniform sampler2D unusedPicture;\n"
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

GLint uniformValue(GLuint program, const char* name)
{
    GLint value = -1;
    glGetUniformiv(program, glGetUniformLocation(program, name), &value);
    return value;
}

// A program built from the two working texts by hand, without the manager.
vexo::glShader* linkedProgram()
{
    auto* program = new vexo::glShader();
    auto* vertexStage = new vexo::aVertexShader();
    auto* fragmentStage = new vexo::aFragmentShader();
    vertexStage->setSourceText(vertexText);
    fragmentStage->setSourceText(fragmentText);
    vertexStage->compileStage();
    fragmentStage->compileStage();
    program->addStage(vertexStage);
    program->addStage(fragmentStage);
    program->ownsStages = true;
    // Without shaders the program took neither stage, and nothing else will.
    if (program->stages.empty()) {
        delete vertexStage;
        delete fragmentStage;
    }
    report("linkProgram", program->linkProgram());
    return program;
}

void capabilityReport()
{
    vexo::glShaderManager manager;
    report("shadingLanguageReady", vexo::shadingLanguageReady);
    report("extensionsLoaded", vexo::extensionsLoaded);
}

void secondObject()
{
    vexo::glShaderManager manager;
    mark("more objects");
    vexo::glShaderManager secondManager;
    delete new vexo::glShader();
    delete new vexo::aVertexShader();
    delete new vexo::aFragmentShader();
    mark("done");
}

void noContext()
{
    vexo::glShaderManager manager;
    report("extensionsLoaded", vexo::extensionsLoaded);
    mark("second manager");
    vexo::glShaderManager secondManager;
    mark("stage");
    vexo::aVertexShader stage;
    report("objectHandle", stage.objectHandle);
    stage.setSourceText(vertexText);
    report("compileStage", stage.compileStage());
    mark(stage.compileLogText());
    mark("program");
    vexo::glShader program;
    report("programHandle", program.programHandle);
    program.addStage(&stage);
    report("stages", (program.stages.size()));
    report("linkProgram", program.linkProgram());
    mark(program.linkLogText());
    program.bind();
    program.unbind();
    report("setUniformInt", program.setUniformInt("picture", 0, -1));
    report("setUniformInt at 0", program.setUniformInt(nullptr, 0, 0));
    mark("build");
    report("loadFromMemory", manager.loadFromMemory(vertexText, fragmentText) != nullptr);
    report("programs", (manager.programs.size()));
    mark("window");
    openWindow();
    vexo::glShaderManager managerWithContext;
    report("shadingLanguageReady", vexo::shadingLanguageReady);
}

void errorsOne()
{
    vexo::glShaderManager manager;
    glEnable(0x1234);
    report("reportGLErrors", vexo::reportGLErrors("errorSite.cpp", -7));
    report("reportGLErrors again", vexo::reportGLErrors("errorSite.cpp", 8));
}

void stageCompileError()
{
    vexo::glShaderManager manager;
    vexo::aVertexShader stage;
    stage.setSourceText(brokenText);
    report("compileStage", stage.compileStage());
    report("compiled", stage.compiled);
    mark("first log");
    std::cout << stage.compileLogText() << std::endl;
    mark("second log");
    std::cout << stage.compileLogText() << std::endl;
    mark("end");
}

void stageNoSource()
{
    vexo::glShaderManager manager;
    vexo::aFragmentShader stage;
    report("compileStage", stage.compileStage());
    report("compiled", stage.compiled);
    mark(stage.compileLogText());
    stage.setSourceText(fragmentText);
    report("compileStage with source", stage.compileStage());
    stage.setSourceText(nullptr);
    report("compileStage without source again", stage.compileStage());
    report("compiled", stage.compiled);
}

// Whether a stage's GL shader object outlives the stage object, for a stage
// whose compile failed and for one that was never compiled.
void stageRelease()
{
    vexo::glShaderManager manager;
    auto* failedStage = new vexo::aVertexShader();
    failedStage->setSourceText(brokenText);
    failedStage->compileStage();
    auto* idleStage = new vexo::aFragmentShader();
    GLhandleARB failedHandle = failedStage->objectHandle;
    GLhandleARB idleHandle = idleStage->objectHandle;
    report("shaders exist", glIsShader(failedHandle) && glIsShader(idleHandle));
    delete failedStage;
    delete idleStage;
    report("failed stage's shader exists", static_cast<bool>(glIsShader(failedHandle)));
    report("idle stage's shader exists", static_cast<bool>(glIsShader(idleHandle)));
}

void programRelink()
{
    vexo::glShaderManager manager;
    vexo::glShader* program = linkedProgram();
    report("linkProgram again", program->linkProgram());
    report("linked", program->linked);
    vexo::aVertexShader secondMain;
    secondMain.setSourceText(vertexText);
    program->addStage(&secondMain);
    mark("link with two vertex mains");
    report("linkProgram", program->linkProgram());
    report("linked", program->linked);
    program->stages.pop_back();
    delete program;
}

void programAddUncompiled()
{
    vexo::glShaderManager manager;
    vexo::glShader program;
    vexo::aVertexShader goodStage;
    vexo::aVertexShader badStage;
    goodStage.setSourceText(vertexText);
    badStage.setSourceText(brokenText);
    program.addStage(&goodStage);
    report("stages", (program.stages.size()));
    report("compiled", goodStage.compiled);
    program.addStage(&badStage);
    report("stages", (program.stages.size()));
    program.addStage(nullptr);
    report("stages", (program.stages.size()));
    report("linkProgram", program.linkProgram());
}

void programUniforms()
{
    vexo::glShaderManager manager;
    vexo::glShader* program = linkedProgram();
    keptPrograms->push_back(program);
    program->bind();
    report("setUniformInt picture", program->setUniformInt("picture", 3, -1));
    report("picture", uniformValue(program->programHandle, "picture"));
    report("setUniformInt missing", program->setUniformInt("misspeltPicture", 5, -1));
    report("setUniformInt dropped", program->setUniformInt("unusedPicture", 5, -1));
    report("setUniformInt null name at -1", program->setUniformInt(nullptr, 5, -1));
    GLint location = glGetUniformLocation(program->programHandle, "picture");
    report("setUniformInt null name at picture", program->setUniformInt(nullptr, 6, location));
    report("picture", uniformValue(program->programHandle, "picture"));
    report("reportGLErrors", vexo::reportGLErrors("uniformSite.cpp", 1));
    delete program;
}

void programBind()
{
    vexo::glShaderManager manager;
    vexo::glShader unlinked;
    unlinked.bind();
    report("current after unlinked bind", currentProgram());
    vexo::glShader* program = linkedProgram();
    program->bind();
    report("current is program", program->programHandle != 0 && currentProgram() == GLint(program->programHandle));
    unlinked.bind();
    report("still program", program->programHandle != 0 && currentProgram() == GLint(program->programHandle));
    unlinked.unbind();
    report("current after unbind", currentProgram());
    delete program;
}

// The same stage listed twice: the driver refuses the second attach, and an
// owning program destroys the stage once.
void programDuplicateStage()
{
    vexo::glShaderManager manager;
    auto* program = new vexo::glShader();
    auto* stage = new vexo::aVertexShader();
    stage->setSourceText(vertexText);
    program->addStage(stage);
    program->addStage(stage);
    report("stages", (program->stages.size()));
    report("linkProgram", program->linkProgram());
    program->ownsStages = true;
    mark("destroy");
    delete program;
    mark("end");
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
    {"second-object", secondObject},
    {"errors-one", errorsOne},
    {"stage-compile-error", stageCompileError},
    {"stage-no-source", stageNoSource},
    {"stage-release", stageRelease},
    {"program-relink", programRelink},
    {"program-add-uncompiled", programAddUncompiled},
    {"program-uniforms", programUniforms},
    {"program-bind", programBind},
    {"program-duplicate-stage", programDuplicateStage},
    {"manager-build", managerBuildOf(vertexText, fragmentText)},
    {"manager-vertex-error", managerBuildOf(brokenText, fragmentText)},
    {"manager-fragment-error", managerBuildOf(vertexText, brokenText)},
    {"manager-link-error", managerBuildOf(noMainText, fragmentText)},
    {"manager-null-fragment", managerBuildOf(vertexText, nullptr)},
    {"manager-null-vertex", managerBuildOf(nullptr, fragmentText)},
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
    if (scenarios.front() == "no-context") {
        noContext();
        return 0;
    }
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
