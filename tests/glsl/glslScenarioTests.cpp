// The shader library against Mesa under Xvfb: each case runs glsl-scenarios
// with one scenario, under Mesa's override variables where the driver must
// look different, and compares whole lines of its standard output.

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
const textLines compileFirst = {"**warning** please compile program before adding object! trying to compile now..."};
const textLines relinking = {"**warning** Object is already linked, trying to link again"};
// A line of the library's own error report for a check in its source: the
// test replaces it by this once it has made sure the line names such a check.
const std::string libraryCheck = "<an invalid operation, reported by a check of the library>";

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
        {"LaterLibraryObjectsPrintNothing", "second-object", {}, joined({ready, {"> more objects", "> done"}})},
        // Without a context GLEW loads no entry point at all, so any GL shader
        // call the library made on this path would crash the scenario.
        {"WithoutContextEveryConstructionRetriesAndEveryOperationIsUnavailable", "no-context", {},
         joined({{"Error:Missing GL version", "> extensionsLoaded false", "> second manager",
                  "Error:Missing GL version", "> stage", "Error:Missing GL version", "> objectHandle 0",
                  "> compileStage false", "> [e00] GLSL is not available!", "> program", "Error:Missing GL version",
                  unavailable[0], "> programHandle 0", "> stages 0", "> linkProgram false",
                  "> [e00] GLSL is not available!", "> setUniformInt false", "> setUniformInt at 0 false",
                  "> build", "Error:Missing GL version", unavailable[0], "Error:Missing GL version",
                  "Error:Missing GL version", "***COMPILER ERROR (Vertex Shader):", "[e00] GLSL is not available!",
                  "> loadFromMemory false", "> programs 0", "> window"},
                 ready, {"> shadingLanguageReady true"}})},
        {"APendingErrorIsOneLineAndIsCleared", "errors-one", {},
         joined({ready, {"GL Error #1280(invalid enumerant)  in File errorSite.cpp at line: -7",
                         "> reportGLErrors 1", "> reportGLErrors again 0"}})},
        // The second attach of a stage listed twice fails in the driver, and
        // so does the detach of its second entry.
        {"ADuplicateStageIsReportedWhereTheLibraryChecks", "program-duplicate-stage", {},
         joined({ready, compileFirst, {"...ok!", "> stages 2", libraryCheck, "> linkProgram true", "> destroy",
                                       libraryCheck, "> end"}})},
        {"ACompileErrorGivesTheDriversLogEveryTime", "stage-compile-error", {},
         joined({ready, {"> compileStage false", "> compiled false", "> first log"}, syntaxError, {"> second log"},
                 syntaxError, {"> end"}})},
        {"NoSourceMeansNoCompile", "stage-no-source", {},
         joined({ready, {"> compileStage false", "> compiled false", "> [e06] Compiler log is not available!",
                         "> compileStage with source true", "> compileStage without source again false",
                         "> compiled false"}})},
        {"DestructionDeletesTheShaderObjectWhateverTheCompileGave", "stage-release", {},
         joined({ready, {"> shaders exist true", "> failed stage's shader exists false",
                         "> idle stage's shader exists false"}})},
        // The stage added after the first link was never attached, so
        // detaching it before the third link is refused by the driver.
        {"LinkingAgainWarnsAndRelinks", "program-relink", {},
         joined({ready, {"> linkProgram true"}, relinking, {"> linkProgram again true", "> linked true"},
                 compileFirst, {"...ok!", "> link with two vertex mains"}, relinking,
                 {libraryCheck, "**linker error**", "> linkProgram false", "> linked true"}})},
        {"AddingAnUncompiledStageCompilesItFirst", "program-add-uncompiled", {},
         joined({ready, compileFirst, {"...ok!", "> stages 1", "> compiled true"}, compileFirst,
                 {"...compile ERROR!", "> stages 1", "> stages 1", "> linkProgram true"}})},
        {"UniformsAreSetByNameOrLocation", "program-uniforms", {},
         joined({ready, {"> linkProgram true", "> setUniformInt picture true", "> picture 3",
                         "Error: can't find uniform variable \"misspeltPicture\"", "> setUniformInt missing false",
                         "Error: can't find uniform variable \"unusedPicture\"", "> setUniformInt dropped false",
                         "> setUniformInt null name at -1 false", "> setUniformInt null name at picture true",
                         "> picture 6", "> reportGLErrors 0"}})},
        {"OnlyALinkedProgramBecomesCurrent", "program-bind", {},
         joined({ready, {"> current after unlinked bind 0", "> linkProgram true", "> current is program true",
                         "> still program true", "> current after unbind 0"}})},
        {"ASuccessfulBuildPrintsSixLines", "manager-build", {},
         joined({ready, {"> build"}, vertexLog, fragmentLog, linkerLog,
                 {"> loadFromMemory true", "> programs 1", "> linked true", "> ownsStages true", "> stages 2",
                  "> current 0"}})},
        {"AVertexCompileFailureStopsBeforeTheFragmentStage", "manager-vertex-error", {},
         joined({ready, {"> build", "***COMPILER ERROR (Vertex Shader):"}, syntaxError,
                 {"> loadFromMemory false", "> programs 0"}})},
        {"AFragmentCompileFailureFollowsTheVertexLog", "manager-fragment-error", {},
         joined({ready, {"> build"}, vertexLog, {"***COMPILER ERROR (Fragment Shader):"}, syntaxError,
                 {"> loadFromMemory false", "> programs 0"}})},
        {"ALinkFailurePrintsBothLinkerErrorsAndTheLog", "manager-link-error", {},
         joined({ready, {"> build"}, vertexLog, fragmentLog, {"**linker error**", "**LINKER ERROR"}, noMain,
                 {"> loadFromMemory false", "> programs 0"}})},
        {"TwoBuildsGiveTwoProgramsInOrder", "manager-two-builds", {},
         joined({ready, vertexLog, fragmentLog, linkerLog, vertexLog, fragmentLog, linkerLog,
                 {"> built", "> programs 2", "> in order true", "> different true"}})},
        // Mesa forced to OpenGL 1.4 still reports the three shader extensions,
        // but GLEW loads none of the 2.0 entry points the library calls.
        {"WithoutEntryPointsTheBuildFailsWithoutCallingThem", "manager-build", {mesaOverride("GL_VERSION", "1.4")},
         joined({{"OpenGL 1.4 core functions are available"}, missingEntryPoints, notReady, unavailableBuild})},
        {"WithoutEntryPointsProgramOperationsAreUnavailable", "program-bind", {mesaOverride("GL_VERSION", "1.4")},
         joined({{"OpenGL 1.4 core functions are available"}, missingEntryPoints, notReady, unavailable,
                 {"> current after unlinked bind 0"}, unavailable,
                 {"> linkProgram false", "> current is program false", "> still program false",
                  "> current after unbind 0"}})},
    };
    cases.insert(cases.end(), rest.begin(), rest.end());
    // A null text still prints its stage's log block; the program links from
    // the other stage alone.
    for (const auto& [stage, scenario] : {std::pair{"Fragment", "manager-null-fragment"}, {"Vertex", "manager-null-vertex"}})
        cases.push_back({"ANull" + std::string(stage) + "TextLinksTheOtherStageAlone", scenario, {},
                         joined({ready, {"> build"}, vertexLog, fragmentLog, linkerLog,
                                 {"> loadFromMemory true", "> programs 1", "> linked true", "> ownsStages true",
                                  "> stages 1", "> current 0"}})});
    return cases;
}

// Mesa's notice that it cannot disable an extension it was asked to remove
// (it removes it from the extension string all the same) is not ours, and a
// report of the library's own check is checked to name a line of such a check.
textLines comparable(const textLines& output)
{
    static const textLines source = splitLines(readFile(LIBRARY_SOURCE_PATH));
    const std::string reportPrefix = "GL Error #1282(invalid operation)  in File " LIBRARY_SOURCE_PATH " at line: ";
    textLines kept;
    for (const std::string& line : output) {
        if (line.rfind("Warning: extension '", 0) == 0 && line.find("' cannot be disabled") != std::string::npos)
            continue;
        const std::size_t sourceLine =
            line.rfind(reportPrefix, 0) == 0 ? std::stoul(line.substr(reportPrefix.size())) : 0;
        const bool ofACheck = sourceLine > 0 && sourceLine <= source.size() &&
                              source[sourceLine - 1].find("reportGLErrors(__FILE__, __LINE__)") != std::string::npos;
        kept.push_back(ofACheck ? libraryCheck : line);
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
