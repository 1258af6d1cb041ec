#pragma once

// The shader library: GLEW initialisation and GLSL capability detection,
// OpenGL error reporting, shader stage objects, linked programs with integer
// uniforms, and a manager that builds a program from two source texts.
//
// Every message goes to one sink, standard output unless the program sets
// another (setMessageSink), and nothing throws. All calls need the
// thread that owns the current OpenGL context. The first library object must
// be constructed while a context is current: its construction initialises
// GLEW and prints the capability report.
//
// GLEW must be included before any other OpenGL header, so include this header
// before GLUT's or GL's own headers.

#include <GL/glew.h>

#include <cstdint>
#include <vector>

namespace vexo {

// GLEW has been initialised successfully for this process.
extern bool extensionsLoaded;
// The shading language may be used: the shader extensions and every entry
// point the library calls are present. Fixed once the capability probe has run.
extern bool shadingLanguageReady;

// Texts that the log operations return in place of a log.
enum glslStatus {
    glslNotAvailable,       // "[e00] GLSL is not available!"
    glslNotAProgramObject,  // "[e01] Not a valid program object!"
    glslNotAnObject,        // "[e02] Not a valid object!"
    glslOutOfMemory,        // "[e03] Out of memory!"
    glslNoLinkerLog,        // "[e05] Linker log is not available!"
    glslNoCompilerLog,      // "[e06] Compiler log is not available!"
    glslStatusCount
};
extern const char* const glslStatusTexts[glslStatusCount];

// Receives each of the library's messages, whole lines with their newlines.
// `isFailure` tells what went wrong (a missing GLSL, a compile or link error
// with its log, an OpenGL error) from reports (the capability report, the
// compiler and linker logs of a build that worked, warnings).
using messageSink = void (*)(const char* text, bool isFailure);
// Sends every later message to `sink`; null restores standard output.
void setMessageSink(messageSink sink);

// Initialises GLEW on the first successful call and then runs the capability
// probe; later calls return true at once. On failure prints "Error:" with
// GLEW's text and returns false, and the next call tries again.
bool ensureExtensionsLoaded();

// Prints the OpenGL version line, a warning for each missing shader extension
// or entry point, and the verdict; sets shadingLanguageReady. Runs only once.
bool probeShadingSupport();

// Prints one line per pending OpenGL error, naming `file` and `line` (pass
// __FILE__ and __LINE__). Returns 1 when an error was pending, else 0.
int reportGLErrors(const char* file, int line);

// One shader stage. The object points at the caller's source text without
// copying it; the caller keeps the text alive while the object may compile it.
class glShaderObject {
public:
    virtual ~glShaderObject();

    glShaderObject(const glShaderObject&) = delete;
    glShaderObject& operator=(const glShaderObject&) = delete;

    void setSourceText(const char* text);
    // Uploads the current source text and compiles it; true on success.
    bool compileStage();
    // The driver's information log or a status text. The returned text stays
    // valid until the next call on this object or its destruction.
    const char* compileLogText();

    int32_t stageKind;
    GLhandleARB objectHandle;
    const char* sourceText;
    char* compileLog;
    bool compiled;

protected:
    glShaderObject(int32_t kind, GLenum shaderType);
};

class aVertexShader : public glShaderObject {
public:
    aVertexShader();
};

class aFragmentShader : public glShaderObject {
public:
    aFragmentShader();
};

// One shader program and the stages that go into it, attached when it links.
class glShader {
public:
    glShader();
    virtual ~glShader();

    glShader(const glShader&) = delete;
    glShader& operator=(const glShader&) = delete;

    // Appends a stage, compiling it first if it is not compiled; a stage that
    // fails to compile is not added.
    void addStage(glShaderObject* stage);
    // Attaches every stage and links; a linked program is detached and linked again.
    bool linkProgram();
    // The linker's information log or a status text, valid until the next
    // call on this program or its destruction.
    const char* linkLogText();

    // Makes this program current, if it has linked.
    void bind();
    // Makes no program current.
    void unbind();

    // The location of a uniform of this program, or -1 (with a message).
    GLint uniformLocation(const char* name);
    // Sets an integer (sampler) uniform in the current program: found by
    // `name`, or at `location` when `name` is null. False when not set.
    bool setUniformInt(const char* name, int value, int location);

    GLuint programHandle;
    char* linkLog;
    bool linked;
    std::vector<glShaderObject*> stages;
    // When true, destruction also destroys every stage object in `stages`.
    bool ownsStages;
};

// Builds programs from source texts. Programs it hands out outlive it.
class glShaderManager {
public:
    glShaderManager();
    virtual ~glShaderManager();

    // Compiles the two texts (either may be null), prints the compiler and
    // linker logs, and returns the linked program, or null when the build
    // failed. The texts are not copied and must outlive the program's use.
    glShader* loadFromMemory(const char* vertexText, const char* fragmentText);

    std::vector<glShader*> programs;
};

} // namespace vexo
