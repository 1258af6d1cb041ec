// The whole shader library, in one source file beside its header, as its
// callers expect it: the GLSL support check, compiling, linking, the logs and
// the uniform setters.

#include "vexo/source/glsl.h"

#include <GL/glu.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace vexo {

bool extensionsLoaded = false;
bool shadingLanguageReady = false;

const char* const glslStatusTexts[glslStatusCount] = {
    "[e00] GLSL is not available!",
    "[e01] Not a valid program object!",
    "[e02] Not a valid object!",
    "[e03] Out of memory!",
    "[e05] Linker log is not available!",
    "[e06] Compiler log is not available!",
};

namespace {

void writeToStandardOutput(const char* text, bool)
{
    std::cout << text << std::flush;
}

messageSink activeSink = writeToStandardOutput;

void report(const std::string& text)
{
    activeSink(text.c_str(), false);
}

void reportFailure(const std::string& text)
{
    activeSink(text.c_str(), true);
}

const GLenum vertexStageType = GL_VERTEX_SHADER_ARB;
const GLenum fragmentStageType = GL_FRAGMENT_SHADER_ARB;

void printVersionLine()
{
    if (GLEW_VERSION_2_0)
        report("OpenGL 2.0 (or higher) is available!\n");
    else if (GLEW_VERSION_1_5)
        report("OpenGL 1.5 core functions are available\n");
    else if (GLEW_VERSION_1_4)
        report("OpenGL 1.4 core functions are available\n");
    else if (GLEW_VERSION_1_3)
        report("OpenGL 1.3 core functions are available\n");
    else if (GLEW_VERSION_1_2)
        report("OpenGL 1.2 core functions are available\n");
}

// Looks up every extension the library relies on, warning about each one
// that is missing. Returns true when all are present.
bool checkShaderExtensions()
{
    static const char* const requiredExtensions[] = {
        "GL_ARB_fragment_shader",
        "GL_ARB_vertex_shader",
        "GL_ARB_shader_objects",
    };
    bool allPresent = true;
    for (const char* extension : requiredExtensions) {
        if (glewGetExtension(extension) != GL_TRUE) {
            report(std::string("[WARNING] ") + extension + " extension is not available!\n");
            allPresent = false;
        }
    }
    return allPresent;
}

struct entryPoint {
    const char* name;
    bool loaded;
};

// The three extensions do not imply the OpenGL 2.0 program calls the library
// also makes: Mesa with its version forced down to 1.4 still reports the
// extensions, but GLEW then loads none of the 2.0 entry points and calling one
// would jump to a null pointer. So every entry point is checked by itself.
// Returns true when all are loaded.
bool checkShaderEntryPoints()
{
    const entryPoint requiredEntryPoints[] = {
        {"glCreateShaderObjectARB", glCreateShaderObjectARB != nullptr},
        {"glShaderSourceARB", glShaderSourceARB != nullptr},
        {"glCompileShaderARB", glCompileShaderARB != nullptr},
        {"glGetObjectParameterivARB", glGetObjectParameterivARB != nullptr},
        {"glGetInfoLogARB", glGetInfoLogARB != nullptr},
        {"glDeleteObjectARB", glDeleteObjectARB != nullptr},
        {"glGetShaderiv", glGetShaderiv != nullptr},
        {"glCreateProgram", glCreateProgram != nullptr},
        {"glAttachShader", glAttachShader != nullptr},
        {"glDetachShader", glDetachShader != nullptr},
        {"glLinkProgram", glLinkProgram != nullptr},
        {"glGetProgramiv", glGetProgramiv != nullptr},
        {"glGetProgramInfoLog", glGetProgramInfoLog != nullptr},
        {"glUseProgram", glUseProgram != nullptr},
        {"glGetUniformLocation", glGetUniformLocation != nullptr},
        {"glUniform1i", glUniform1i != nullptr},
        {"glDeleteProgram", glDeleteProgram != nullptr},
    };
    bool allLoaded = true;
    for (const entryPoint& function : requiredEntryPoints) {
        if (!function.loaded) {
            report(std::string("[WARNING] ") + function.name + " entry point is not available!\n");
            allLoaded = false;
        }
    }
    return allLoaded;
}

// Replaces `buffer` with a fresh one of `length` bytes. On failure prints the
// allocation message and leaves `buffer` null.
bool allocateLogBuffer(char*& buffer, GLint length)
{
    std::free(buffer);
    buffer = static_cast<char*>(std::malloc(static_cast<size_t>(length)));
    if (buffer == nullptr) {
        reportFailure("ERROR: Could not allocate compiler_log buffer\n");
        return false;
    }
    return true;
}

// An object's information log, of the `length` the driver reported, fetched
// into `log` by `fetch`. A length of 0 or 1 (only the terminating NUL) means
// the driver has no log; an earlier fetched log is then kept and returned, or
// else the status text `noLog`.
template <typename LogFetch>
const char* readInfoLog(GLint length, char*& log, glslStatus noLog, LogFetch fetch)
{
    if (length > 1) {
        if (!allocateLogBuffer(log, length))
            return glslStatusTexts[glslOutOfMemory];
        GLsizei written = 0;
        fetch(length, &written, log);
        reportGLErrors(__FILE__, __LINE__);
    }
    return log != nullptr ? log : glslStatusTexts[noLog];
}

} // namespace

void setMessageSink(messageSink sink)
{
    activeSink = sink != nullptr ? sink : writeToStandardOutput;
}

bool ensureExtensionsLoaded()
{
    if (extensionsLoaded)
        return true;
    extensionsLoaded = true;
    GLenum result = glewInit();
    if (result != GLEW_OK) {
        reportFailure(std::string("Error:") + reinterpret_cast<const char*>(glewGetErrorString(result)) + "\n");
        extensionsLoaded = false;
        return false;
    }
    probeShadingSupport();
    return true;
}

bool probeShadingSupport()
{
    if (shadingLanguageReady)
        return true;
    shadingLanguageReady = true;
    printVersionLine();
    if (!checkShaderExtensions())
        shadingLanguageReady = false;
    // Without the extensions the library is already unavailable; listing
    // their missing entry points as well would only repeat that.
    if (shadingLanguageReady && !checkShaderEntryPoints())
        shadingLanguageReady = false;
    if (shadingLanguageReady)
        report("[OK] OpenGL Shading Language is available!\n\n");
    else
        reportFailure("[FAILED] OpenGL Shading Language is not available...\n\n");
    return shadingLanguageReady;
}

int reportGLErrors(const char* file, int line)
{
    GLenum code = glGetError();
    if (code == GL_NO_ERROR)
        return 0;
    while (code != GL_NO_ERROR) {
        const GLubyte* text = gluErrorString(code);
        const std::string description = text != nullptr
                                            ? "(" + std::string(reinterpret_cast<const char*>(text)) + ") "
                                            : std::string(" (no message available)");
        reportFailure("GL Error #" + std::to_string(static_cast<unsigned>(code)) + description + " in File " + file
                      + " at line: " + std::to_string(line) + "\n");
        code = glGetError();
    }
    return 1;
}

glShaderObject::glShaderObject(int32_t kind, GLenum shaderType)
    : stageKind(kind), objectHandle(0), sourceText(nullptr), compileLog(nullptr), compiled(false)
{
    ensureExtensionsLoaded();
    if (shadingLanguageReady) {
        objectHandle = glCreateShaderObjectARB(shaderType);
        reportGLErrors(__FILE__, __LINE__);
    }
}

// A stage whose compile failed, or that never compiled, still owns its GL
// shader object; it is deleted whenever one was made. A handle of 0 means
// none was made (the shading language was unavailable), so no GL call.
glShaderObject::~glShaderObject()
{
    std::free(compileLog);
    if (objectHandle != 0) {
        glDeleteObjectARB(objectHandle);
        reportGLErrors(__FILE__, __LINE__);
    }
}

void glShaderObject::setSourceText(const char* text)
{
    sourceText = text;
}

bool glShaderObject::compileStage()
{
    if (!shadingLanguageReady)
        return false;
    compiled = false;
    if (sourceText == nullptr)
        return false;
    GLint length = static_cast<GLint>(std::strlen(sourceText));
    glShaderSourceARB(objectHandle, 1, &sourceText, &length);
    reportGLErrors(__FILE__, __LINE__);
    glCompileShaderARB(objectHandle);
    reportGLErrors(__FILE__, __LINE__);
    GLint status = 0;
    glGetObjectParameterivARB(objectHandle, GL_OBJECT_COMPILE_STATUS_ARB, &status);
    reportGLErrors(__FILE__, __LINE__);
    compiled = status != 0;
    return compiled;
}

const char* glShaderObject::compileLogText()
{
    if (!shadingLanguageReady)
        return glslStatusTexts[glslNotAvailable];
    if (objectHandle == 0)
        return glslStatusTexts[glslNotAProgramObject];
    GLint length = 0;
    glGetShaderiv(objectHandle, GL_INFO_LOG_LENGTH, &length);
    reportGLErrors(__FILE__, __LINE__);
    return readInfoLog(length, compileLog, glslNoCompilerLog, [this](GLint size, GLsizei* written, char* log) {
        glGetInfoLogARB(objectHandle, size, written, log);
    });
}

aVertexShader::aVertexShader() : glShaderObject(1, vertexStageType) {}

aFragmentShader::aFragmentShader() : glShaderObject(2, fragmentStageType) {}

glShader::glShader() : programHandle(0), linkLog(nullptr), linked(false), ownsStages(false)
{
    ensureExtensionsLoaded();
    if (shadingLanguageReady)
        programHandle = glCreateProgram();
    else
        reportFailure("**ERROR: OpenGL Shading Language is NOT available!\n");
}

// The same stage may be listed twice; an owned stage is destroyed once, after
// every entry has been detached, so no entry is read after its object is gone.
glShader::~glShader()
{
    std::free(linkLog);
    if (shadingLanguageReady) {
        for (glShaderObject* stage : stages) {
            glDetachShader(programHandle, stage->objectHandle);
            reportGLErrors(__FILE__, __LINE__);
        }
    }
    if (ownsStages) {
        for (auto entry = stages.begin(); entry != stages.end(); ++entry) {
            if (std::find(stages.begin(), entry, *entry) == entry)
                delete *entry;
        }
    }
    if (shadingLanguageReady) {
        glDeleteProgram(programHandle);
        reportGLErrors(__FILE__, __LINE__);
    }
}

void glShader::addStage(glShaderObject* stage)
{
    if (!shadingLanguageReady || stage == nullptr)
        return;
    if (!stage->compiled) {
        report("**warning** please compile program before adding object! trying to compile now...\n");
        if (!stage->compileStage()) {
            reportFailure("...compile ERROR!\n");
            return;
        }
        report("...ok!\n");
    }
    stages.push_back(stage);
}

bool glShader::linkProgram()
{
    if (!shadingLanguageReady)
        return false;
    if (linked) {
        report("**warning** Object is already linked, trying to link again\n");
        for (glShaderObject* stage : stages) {
            glDetachShader(programHandle, stage->objectHandle);
            reportGLErrors(__FILE__, __LINE__);
        }
    }
    for (glShaderObject* stage : stages) {
        glAttachShader(programHandle, stage->objectHandle);
        reportGLErrors(__FILE__, __LINE__);
    }
    glLinkProgram(programHandle);
    reportGLErrors(__FILE__, __LINE__);
    GLint status = 0;
    glGetProgramiv(programHandle, GL_LINK_STATUS, &status);
    reportGLErrors(__FILE__, __LINE__);
    if (status == 0) {
        reportFailure("**linker error**\n");
        return false;
    }
    linked = true;
    return true;
}

const char* glShader::linkLogText()
{
    if (!shadingLanguageReady)
        return glslStatusTexts[glslNotAvailable];
    if (programHandle == 0)
        return glslStatusTexts[glslNotAnObject];
    GLint length = 0;
    glGetProgramiv(programHandle, GL_INFO_LOG_LENGTH, &length);
    reportGLErrors(__FILE__, __LINE__);
    return readInfoLog(length, linkLog, glslNoLinkerLog, [this](GLint size, GLsizei* written, char* log) {
        glGetProgramInfoLog(programHandle, size, written, log);
    });
}

void glShader::bind()
{
    if (!shadingLanguageReady || programHandle == 0 || !linked)
        return;
    glUseProgram(programHandle);
    reportGLErrors(__FILE__, __LINE__);
}

void glShader::unbind()
{
    if (!shadingLanguageReady)
        return;
    glUseProgram(0);
    reportGLErrors(__FILE__, __LINE__);
}

GLint glShader::uniformLocation(const char* name)
{
    GLint location = glGetUniformLocation(programHandle, name);
    if (location == -1)
        reportFailure(std::string("Error: can't find uniform variable \"") + name + "\"\n");
    reportGLErrors(__FILE__, __LINE__);
    return location;
}

bool glShader::setUniformInt(const char* name, int value, int location)
{
    if (!shadingLanguageReady)
        return false;
    if (name != nullptr)
        location = uniformLocation(name);
    if (location == -1)
        return false;
    glUniform1i(location, value);
    return true;
}

glShaderManager::glShaderManager()
{
    ensureExtensionsLoaded();
}

glShaderManager::~glShaderManager() = default;

namespace {

// The objects of a build, made in the order the driver is asked for them,
// and destroyed together unless the build succeeds. The program goes first:
// its destruction detaches the stages the link attached, and it does not own
// them until it is given away.
class programBuild {
public:
    programBuild() : program(new glShader()), vertexStage(new aVertexShader()), fragmentStage(new aFragmentShader()) {}
    programBuild(const programBuild&) = delete;
    programBuild& operator=(const programBuild&) = delete;
    ~programBuild()
    {
        program.reset();
        vertexStage.reset();
        fragmentStage.reset();
    }

    // The linked program, which owns the stages it was given from now on. A
    // stage without source was never added; nothing else refers to it, and it
    // goes with this build.
    glShader* giveProgramAway()
    {
        for (std::unique_ptr<glShaderObject>* stage : {&vertexStage, &fragmentStage}) {
            const std::vector<glShaderObject*>& added = program->stages;
            if (std::find(added.begin(), added.end(), stage->get()) != added.end())
                stage->release();
        }
        program->ownsStages = true;
        return program.release();
    }

    std::unique_ptr<glShader> program;
    std::unique_ptr<glShaderObject> vertexStage;
    std::unique_ptr<glShaderObject> fragmentStage;
};

} // namespace

glShader* glShaderManager::loadFromMemory(const char* vertexText, const char* fragmentText)
{
    programBuild build;
    glShader* program = build.program.get();
    glShaderObject* vertexStage = build.vertexStage.get();
    glShaderObject* fragmentStage = build.fragmentStage.get();
    if (vertexText != nullptr)
        vertexStage->setSourceText(vertexText);
    if (fragmentText != nullptr)
        fragmentStage->setSourceText(fragmentText);

    if (vertexText != nullptr && !vertexStage->compileStage()) {
        reportFailure(std::string("***COMPILER ERROR (Vertex Shader):\n") + vertexStage->compileLogText() + "\n");
        return nullptr;
    }
    report(std::string("***GLSL Compiler Log (Vertex Shader):\n") + vertexStage->compileLogText() + "\n");

    if (fragmentText != nullptr && !fragmentStage->compileStage()) {
        reportFailure(std::string("***COMPILER ERROR (Fragment Shader):\n") + fragmentStage->compileLogText()
                      + "\n");
        return nullptr;
    }
    report(std::string("***GLSL Compiler Log (Fragment Shader):\n") + fragmentStage->compileLogText() + "\n");

    if (vertexText != nullptr)
        program->addStage(vertexStage);
    if (fragmentText != nullptr)
        program->addStage(fragmentStage);

    if (!program->linkProgram()) {
        reportFailure(std::string("**LINKER ERROR\n") + program->linkLogText() + "\n");
        return nullptr;
    }
    report(std::string("***GLSL Linker Log:\n") + program->linkLogText() + "\n");

    programs.push_back(program);
    return build.giveProgramAway();
}

} // namespace vexo
