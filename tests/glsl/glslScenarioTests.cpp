// The shader library against Mesa under Xvfb: each case runs glsl-scenarios
// with one scenario, a use of the library the encoder or the decoder makes,
// under Mesa's override variables where the driver must look different, and
// compares whole lines of its standard output, which the programs print.

#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct scenarioCase {
    std::string name;
    std::string scenario;
    textLines environment;
    textLines expected;
};

textLines joined(std::initializer_list<textLines> parts)
{
    textLines all;
    for (const textLines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const textLines ready = {"OpenGL 2.0 (or higher) is available!", "[OK] OpenGL Shading Language is available!", ""};
const textLines notReady = {"[FAILED] OpenGL Shading Language is not available...", ""};
const textLines missingEntryPoints = {
    "[WARNING] glGetShaderiv entry point is not available!",
    "[WARNING] glCreateProgram entry point is not available!",
    "[WARNING] glAttachShader entry point is not available!",
    "[WARNING] glDetachShader entry point is not available!",
    "[WARNING] glLinkProgram entry point is not available!",
    "[WARNING] glGetProgramiv entry point is not available!",
    "[WARNING] glGetProgramInfoLog entry point is not available!",
    "[WARNING] glUseProgram entry point is not available!",
    "[WARNING] glGetUniformLocation entry point is not available!",
    "[WARNING] glUniform1i entry point is not available!",
    "[WARNING] glDeleteProgram entry point is not available!",
};
const textLines unavailable = {"**ERROR: OpenGL Shading Language is NOT available!"};
const textLines unavailableBuild = {"> build", unavailable[0], "***COMPILER ERROR (Vertex Shader):",
                                    "[e00] GLSL is not available!", "> loadFromMemory false", "> programs 0"};
const textLines vertexLog = {"***GLSL Compiler Log (Vertex Shader):", "[e06] Compiler log is not available!"};
const textLines fragmentLog = {"***GLSL Compiler Log (Fragment Shader):", "[e06] Compiler log is not available!"};
const textLines linkerLog = {"***GLSL Linker Log:", "[e05] Linker log is not available!"};
const textLines syntaxError = {"0:2(29): error: syntax error, unexpected ';'", ""};
const textLines noMain = {"error: vertex shader lacks `main'", ""};

std::string mesaOverride(const std::string& variable, const std::string& value)
{
    return "MESA_" + variable + "_OVERRIDE=" + value;
}

// The version line names the highest version offered; below 2.0 GLEW loads
// none of the entry points the library calls, and OpenGL 1.1 has no line.
std::vector<scenarioCase> versionCases()
{
    std::vector<scenarioCase> cases;
    for (const std::string version : {"3.3", "2.1", "2.0", "1.5", "1.4", "1.3", "1.2", "1.1"}) {
        const bool modern = version >= "2.0";
        textLines versionLine;
        if (modern)
            versionLine = {ready[0]};
        else if (version != "1.1")
            versionLine = {"OpenGL " + version + " core functions are available"};
        const std::string name = "OpenGL" + version.substr(0, 1) + version.substr(2);
        cases.push_back({name, "capability-report", {mesaOverride("GL_VERSION", version)},
                         joined({versionLine, modern ? textLines{ready[1], ""} : joined({missingEntryPoints, notReady}),
                                 {modern ? "> shadingLanguageReady true" : "> shadingLanguageReady false",
                                  "> extensionsLoaded true"}})});
    }
    return cases;
}

// Mesa derives its version from its extensions: without either shader
// extension it offers OpenGL 1.5 only.
std::vector<scenarioCase> missingExtensionCases()
{
    std::vector<scenarioCase> cases;
    const std::pair<std::string, std::string> extensions[] = {
        {"FragmentShader", "GL_ARB_fragment_shader"},
        {"VertexShader", "GL_ARB_vertex_shader"},
        {"ShaderObjects", "GL_ARB_shader_objects"},
    };
    for (const auto& [name, extension] : extensions) {
        const std::string versionLine =
            extension == "GL_ARB_shader_objects" ? ready[0] : "OpenGL 1.5 core functions are available";
        cases.push_back({"Without" + name, "capability-report", {mesaOverride("EXTENSION", "-" + extension)},
                         joined({{versionLine, "[WARNING] " + extension + " extension is not available!"},
                                 notReady, {"> shadingLanguageReady false", "> extensionsLoaded true"}})});
    }
    return cases;
}

std::vector<scenarioCase> scenarioCases()
{
    std::vector<scenarioCase> cases = versionCases();
    const std::vector<scenarioCase> missing = missingExtensionCases();
    cases.insert(cases.end(), missing.begin(), missing.end());
    const std::vector<scenarioCase> rest = {
        {"AllExtensionsMissingWarnInOrderAndBuildFails", "manager-build",
         {mesaOverride("EXTENSION", "-GL_ARB_fragment_shader -GL_ARB_vertex_shader -GL_ARB_shader_objects")},
         joined({{"OpenGL 1.5 core functions are available",
                  "[WARNING] GL_ARB_fragment_shader extension is not available!",
                  "[WARNING] GL_ARB_vertex_shader extension is not available!",
                  "[WARNING] GL_ARB_shader_objects extension is not available!"},
                 notReady, unavailableBuild})},
        {"AVertexCompileFailureStopsBeforeTheFragmentStage", "manager-vertex-error", {},
         joined({ready, {"> build", "***COMPILER ERROR (Vertex Shader):"}, syntaxError,
                 {"> loadFromMemory false", "> programs 0"}})},
        {"AFragmentCompileFailureFollowsTheVertexLog", "manager-fragment-error", {},
         joined({ready, {"> build"}, vertexLog, {"***COMPILER ERROR (Fragment Shader):"}, syntaxError,
                 {"> loadFromMemory false", "> programs 0"}})},
        {"ALinkFailurePrintsBothLinkerErrorsAndTheLog", "manager-link-error", {},
         joined({ready, {"> build"}, vertexLog, fragmentLog, {"**linker error**", "**LINKER ERROR"}, noMain,
                 {"> loadFromMemory false", "> programs 0"}})},
        // Mesa forced to OpenGL 1.4 still reports the three shader extensions,
        // but GLEW loads none of the 2.0 entry points the library calls.
        {"WithoutEntryPointsTheBuildFailsWithoutCallingThem", "manager-build", {mesaOverride("GL_VERSION", "1.4")},
         joined({{"OpenGL 1.4 core functions are available"}, missingEntryPoints, notReady, unavailableBuild})},
        {"TwoBuildsGiveTwoProgramsInOrder", "manager-two-builds", {},
         joined({ready, vertexLog, fragmentLog, linkerLog, vertexLog, fragmentLog, linkerLog,
                 {"> built", "> programs 2", "> in order true", "> different true"}})},
    };
    cases.insert(cases.end(), rest.begin(), rest.end());
    return cases;
}

// Without Mesa's notice that it cannot disable an extension it was asked to
// remove (it removes it from the extension string all the same): not ours.
textLines comparable(const textLines& output)
{
    textLines kept;
    for (const std::string& line : output) {
        if (line.rfind("Warning: extension '", 0) != 0 || line.find("' cannot be disabled") == std::string::npos)
            kept.push_back(line);
    }
    return kept;
}

class GlslScenario : public ::testing::TestWithParam<scenarioCase> {};

TEST_P(GlslScenario, PrintsExactlyTheseLines)
{
    const processResult run = runProcess({SCENARIOS_PATH, GetParam().scenario}, GetParam().environment);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(comparable(splitLines(run.out)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Glsl, GlslScenario, ::testing::ValuesIn(scenarioCases()),
                         [](const ::testing::TestParamInfo<scenarioCase>& info) { return info.param.name; });

} // namespace
