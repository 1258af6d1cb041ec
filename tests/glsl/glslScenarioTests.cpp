// The shader library against Mesa under Xvfb: each test runs glsl-scenarios
// with one scenario, under Mesa's override variables where the driver must
// look different, and compares whole lines of its standard output.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using lines = std::vector<std::string>;
using environment = std::vector<std::pair<std::string, std::string>>;

struct scenarioRun {
    bool exitedNormally = false;
    int exitStatus = -1;
    lines output;
};

std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

scenarioRun runScenario(const std::string& scenario, const environment& variables = {})
{
    std::string command = "env";
    for (const auto& [name, value] : variables)
        command += " " + quoted(name + "=" + value);
    command += " " + quoted(SCENARIOS_PATH) + " " + quoted(scenario);

    scenarioRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::string line;
    int character;
    while ((character = std::fgetc(pipe)) != EOF) {
        if (character == '\n') {
            run.output.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(character);
        }
    }
    if (!line.empty())
        run.output.push_back(line);
    int status = pclose(pipe);
    run.exitedNormally = WIFEXITED(status);
    run.exitStatus = run.exitedNormally ? WEXITSTATUS(status) : -1;
    return run;
}

// Mesa announces on standard output that it cannot disable an extension it
// was asked to remove, and then removes it from the extension string all the
// same. That exact line, for one of the extensions named, is not ours.
lines withoutMesaOverrideNotices(const lines& output, const std::vector<std::string>& extensions)
{
    lines kept;
    for (const std::string& line : output) {
        bool notice = false;
        for (const std::string& extension : extensions)
            notice = notice || line == "Warning: extension '" + extension + "' cannot be disabled";
        if (!notice)
            kept.push_back(line);
    }
    return kept;
}

// Whether `line` reports an invalid operation found by one of the library's
// own checks; if so, `sourceLine` is the line of that check.
bool isLibraryInvalidOperationLine(const std::string& line, size_t& sourceLine)
{
    const std::string prefix =
        "GL Error #1282(invalid operation)  in File " LIBRARY_SOURCE_PATH " at line: ";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() == prefix.size())
        return false;
    std::string number = line.substr(prefix.size());
    if (number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    sourceLine = std::stoul(number);
    return true;
}

void expectCleanExit(const scenarioRun& run)
{
    EXPECT_TRUE(run.exitedNormally);
    EXPECT_EQ(0, run.exitStatus);
}

const lines reportOnThisDriver = {
    "OpenGL 2.0 (or higher) is available!",
    "[OK] OpenGL Shading Language is available!",
    "",
};

const lines missingEntryPointWarnings = {
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

const lines unavailableBuild = {
    "> build",
    "**ERROR: OpenGL Shading Language is NOT available!",
    "***COMPILER ERROR (Vertex Shader):",
    "[e00] GLSL is not available!",
    "> loadFromMemory false",
    "> programs 0",
};

lines joined(std::initializer_list<lines> parts)
{
    lines all;
    for (const lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(GlslCapabilityReport, OnThisDriver)
{
    scenarioRun run = runScenario("capability-report");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver, {"> shadingLanguageReady true", "> extensionsLoaded true"}}),
              run.output);
}

TEST(GlslCapabilityReport, VersionLineIsTheHighestVersionOffered)
{
    const std::vector<std::pair<std::string, std::string>> versionLines = {
        {"3.3", "OpenGL 2.0 (or higher) is available!"},
        {"2.1", "OpenGL 2.0 (or higher) is available!"},
        {"2.0", "OpenGL 2.0 (or higher) is available!"},
        {"1.5", "OpenGL 1.5 core functions are available"},
        {"1.4", "OpenGL 1.4 core functions are available"},
        {"1.3", "OpenGL 1.3 core functions are available"},
        {"1.2", "OpenGL 1.2 core functions are available"},
    };
    for (const auto& [version, versionLine] : versionLines) {
        SCOPED_TRACE("OpenGL " + version);
        scenarioRun run = runScenario("capability-report", {{"MESA_GL_VERSION_OVERRIDE", version}});
        expectCleanExit(run);
        ASSERT_FALSE(run.output.empty());
        EXPECT_EQ(versionLine, run.output.front());
    }
}

TEST(GlslCapabilityReport, OpenGL11PrintsNoVersionLine)
{
    scenarioRun run = runScenario("capability-report", {{"MESA_GL_VERSION_OVERRIDE", "1.1"}});
    expectCleanExit(run);
    EXPECT_EQ(joined({missingEntryPointWarnings,
                      {"[FAILED] OpenGL Shading Language is not available...", "",
                       "> shadingLanguageReady false", "> extensionsLoaded true"}}),
              run.output);
}

// Mesa derives its version from its extensions: without either shader
// extension it offers OpenGL 1.5 only.
TEST(GlslCapabilityReport, EachMissingExtensionWarnsAndFails)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GL_ARB_fragment_shader", "OpenGL 1.5 core functions are available"},
        {"GL_ARB_vertex_shader", "OpenGL 1.5 core functions are available"},
        {"GL_ARB_shader_objects", "OpenGL 2.0 (or higher) is available!"},
    };
    for (const auto& [extension, versionLine] : cases) {
        SCOPED_TRACE(extension);
        scenarioRun run = runScenario("capability-report", {{"MESA_EXTENSION_OVERRIDE", "-" + extension}});
        expectCleanExit(run);
        lines expected = {
            versionLine,
            "[WARNING] " + extension + " extension is not available!",
            "[FAILED] OpenGL Shading Language is not available...",
            "",
            "> shadingLanguageReady false",
            "> extensionsLoaded true",
        };
        EXPECT_EQ(expected, withoutMesaOverrideNotices(run.output, {extension}));
    }
}

TEST(GlslCapabilityReport, AllThreeMissingWarnInOrderAndBuildFails)
{
    const std::vector<std::string> extensions = {
        "GL_ARB_fragment_shader", "GL_ARB_vertex_shader", "GL_ARB_shader_objects"};
    scenarioRun run = runScenario(
        "manager-build", {{"MESA_EXTENSION_OVERRIDE", "-" + extensions[0] + " -" + extensions[1] + " -" + extensions[2]}});
    expectCleanExit(run);
    lines expected = joined({
        {"OpenGL 1.5 core functions are available",
         "[WARNING] GL_ARB_fragment_shader extension is not available!",
         "[WARNING] GL_ARB_vertex_shader extension is not available!",
         "[WARNING] GL_ARB_shader_objects extension is not available!",
         "[FAILED] OpenGL Shading Language is not available...", ""},
        unavailableBuild,
    });
    EXPECT_EQ(expected, withoutMesaOverrideNotices(run.output, extensions));
}

TEST(GlslCapabilityReport, LaterLibraryObjectsPrintNothing)
{
    scenarioRun run = runScenario("second-object");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver, {"> more objects", "> done"}}), run.output);
}

// Without a context GLEW loads no entry point at all, so any GL shader call
// the library made on this path would crash the scenario.
TEST(GlslGlewInitFailure, EveryConstructionRetriesAndEveryOperationIsUnavailable)
{
    scenarioRun run = runScenario("no-context");
    expectCleanExit(run);
    lines expected = {
        "Error:Missing GL version",
        "> extensionsLoaded false",
        "> second manager",
        "Error:Missing GL version",
        "> stage",
        "Error:Missing GL version",
        "> objectHandle 0",
        "> compileStage false",
        "> [e00] GLSL is not available!",
        "> program",
        "Error:Missing GL version",
        "**ERROR: OpenGL Shading Language is NOT available!",
        "> programHandle 0",
        "> stages 0",
        "> linkProgram false",
        "> [e00] GLSL is not available!",
        "> setUniformInt false",
        "> setUniformInt at 0 false",
        "> build",
        "Error:Missing GL version",
        "**ERROR: OpenGL Shading Language is NOT available!",
        "Error:Missing GL version",
        "Error:Missing GL version",
        "***COMPILER ERROR (Vertex Shader):",
        "[e00] GLSL is not available!",
        "> loadFromMemory false",
        "> programs 0",
        "> window",
    };
    expected = joined({expected, reportOnThisDriver, {"> shadingLanguageReady true"}});
    EXPECT_EQ(expected, run.output);
}

TEST(GlslErrorReport, NothingPendingPrintsNothing)
{
    scenarioRun run = runScenario("errors-none");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver, {"> reportGLErrors 0"}}), run.output);
}

TEST(GlslErrorReport, OnePendingErrorIsOneLineAndIsCleared)
{
    scenarioRun run = runScenario("errors-one");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"GL Error #1280(invalid enumerant)  in File errorSite.cpp at line: -7",
                       "> reportGLErrors 1", "> reportGLErrors again 0"}}),
              run.output);
}

// The second attach of a stage listed twice fails in the driver; the line
// names the library's source file and the line of a check in it.
TEST(GlslErrorReport, LibraryChecksNameTheirOwnSourceLine)
{
    scenarioRun run = runScenario("program-duplicate-stage");
    expectCleanExit(run);
    lines sourceLines;
    std::ifstream source(LIBRARY_SOURCE_PATH);
    for (std::string line; std::getline(source, line);)
        sourceLines.push_back(line);

    int errorLines = 0;
    for (const std::string& line : run.output) {
        size_t lineNumber = 0;
        if (!isLibraryInvalidOperationLine(line, lineNumber))
            continue;
        ++errorLines;
        ASSERT_LE(lineNumber, sourceLines.size());
        EXPECT_NE(std::string::npos, sourceLines[lineNumber - 1].find("reportGLErrors(__FILE__, __LINE__)"))
            << sourceLines[lineNumber - 1];
    }
    // One for the refused attach, one for the detach of the stage's second entry.
    EXPECT_EQ(2, errorLines);
}

TEST(GlslStages, CompileWithEmptyLogGivesTheNoLogStatus)
{
    scenarioRun run = runScenario("stage-compiles");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> stageKind 1", "> stageKind 2", "> handles made true", "> compileStage true",
                       "> [e06] Compiler log is not available!", "> compileStage true",
                       "> [e06] Compiler log is not available!"}}),
              run.output);
}

TEST(GlslStages, CompileErrorGivesTheDriversLogEveryTime)
{
    scenarioRun run = runScenario("stage-compile-error");
    expectCleanExit(run);
    lines expected = joined({reportOnThisDriver,
                             {"> compileStage false", "> compiled false", "> first log",
                              "0:2(29): error: syntax error, unexpected ';'", "", "> second log",
                              "0:2(29): error: syntax error, unexpected ';'", "", "> end"}});
    EXPECT_EQ(expected, run.output);
}

TEST(GlslStages, NoSourceMeansNoCompile)
{
    scenarioRun run = runScenario("stage-no-source");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> compileStage false", "> compiled false", "> [e06] Compiler log is not available!",
                       "> compileStage with source true", "> compileStage without source again false",
                       "> compiled false"}}),
              run.output);
}

TEST(GlslStages, DestructionDeletesTheShaderObjectWhateverTheCompileGave)
{
    scenarioRun run = runScenario("stage-release");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> shaders exist true", "> failed stage's shader exists false",
                       "> idle stage's shader exists false"}}),
              run.output);
}

TEST(GlslProgram, LinkFailurePrintsTheLinkerErrorAndKeepsTheLog)
{
    scenarioRun run = runScenario("program-link-failure");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> compileStage true", "**linker error**", "> linkProgram false", "> linked false",
                       "> log", "error: vertex shader lacks `main'", "", "> end"}}),
              run.output);
}

// The stage added after the first link was never attached, so detaching it
// before the third link is refused by the driver.
TEST(GlslProgram, LinkingAgainWarnsAndRelinks)
{
    scenarioRun run = runScenario("program-relink");
    expectCleanExit(run);
    ASSERT_EQ(reportOnThisDriver.size() + 12, run.output.size());
    size_t sourceLine = 0;
    EXPECT_TRUE(isLibraryInvalidOperationLine(run.output[reportOnThisDriver.size() + 8], sourceLine));
    run.output.erase(run.output.begin() + reportOnThisDriver.size() + 8);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> linkProgram true", "**warning** Object is already linked, trying to link again",
                       "> linkProgram again true", "> linked true",
                       "**warning** please compile program before adding object! trying to compile now...",
                       "...ok!", "> link with two vertex mains",
                       "**warning** Object is already linked, trying to link again", "**linker error**",
                       "> linkProgram false", "> linked true"}}),
              run.output);
}

TEST(GlslProgram, AddingAnUncompiledStageCompilesItFirst)
{
    scenarioRun run = runScenario("program-add-uncompiled");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"**warning** please compile program before adding object! trying to compile now...",
                       "...ok!", "> stages 1", "> compiled true",
                       "**warning** please compile program before adding object! trying to compile now...",
                       "...compile ERROR!", "> stages 1", "> stages 1", "> linkProgram true"}}),
              run.output);
}

TEST(GlslProgram, UniformsAreSetByNameOrLocation)
{
    scenarioRun run = runScenario("program-uniforms");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> linkProgram true", "> setUniformInt picture true", "> picture 3",
                       "Error: can't find uniform variable \"misspeltPicture\"", "> setUniformInt missing false",
                       "Error: can't find uniform variable \"unusedPicture\"", "> setUniformInt dropped false",
                       "> setUniformInt null name at -1 false", "> setUniformInt null name at picture true",
                       "> picture 6", "> reportGLErrors 0"}}),
              run.output);
}

TEST(GlslProgram, OnlyALinkedProgramBecomesCurrent)
{
    scenarioRun run = runScenario("program-bind");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> current after unlinked bind 0", "> linkProgram true", "> current is program true",
                       "> still program true", "> current after unbind 0"}}),
              run.output);
}

TEST(GlslManager, SuccessfulBuildPrintsSixLines)
{
    scenarioRun run = runScenario("manager-build");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> build", "***GLSL Compiler Log (Vertex Shader):", "[e06] Compiler log is not available!",
                       "***GLSL Compiler Log (Fragment Shader):", "[e06] Compiler log is not available!",
                       "***GLSL Linker Log:", "[e05] Linker log is not available!", "> loadFromMemory true",
                       "> programs 1", "> linked true", "> ownsStages true", "> stages 2", "> current 0"}}),
              run.output);
}

TEST(GlslManager, VertexCompileFailureStopsBeforeTheFragmentStage)
{
    scenarioRun run = runScenario("manager-vertex-error");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> build", "***COMPILER ERROR (Vertex Shader):",
                       "0:2(29): error: syntax error, unexpected ';'", "", "> loadFromMemory false",
                       "> programs 0"}}),
              run.output);
}

TEST(GlslManager, FragmentCompileFailureFollowsTheVertexLog)
{
    scenarioRun run = runScenario("manager-fragment-error");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> build", "***GLSL Compiler Log (Vertex Shader):", "[e06] Compiler log is not available!",
                       "***COMPILER ERROR (Fragment Shader):", "0:2(29): error: syntax error, unexpected ';'", "",
                       "> loadFromMemory false", "> programs 0"}}),
              run.output);
}

TEST(GlslManager, LinkFailurePrintsBothLinkerErrorsAndTheLog)
{
    scenarioRun run = runScenario("manager-link-error");
    expectCleanExit(run);
    EXPECT_EQ(joined({reportOnThisDriver,
                      {"> build", "***GLSL Compiler Log (Vertex Shader):", "[e06] Compiler log is not available!",
                       "***GLSL Compiler Log (Fragment Shader):", "[e06] Compiler log is not available!",
                       "**linker error**", "**LINKER ERROR", "error: vertex shader lacks `main'", "",
                       "> loadFromMemory false", "> programs 0"}}),
              run.output);
}

// A null text still prints its stage's log block; the program links from the
// other stage alone.
TEST(GlslManager, ANullTextLinksTheOtherStageAlone)
{
    for (const char* scenario : {"manager-null-fragment", "manager-null-vertex"}) {
        SCOPED_TRACE(scenario);
        scenarioRun run = runScenario(scenario);
        expectCleanExit(run);
        EXPECT_EQ(joined({reportOnThisDriver,
                          {"> build", "***GLSL Compiler Log (Vertex Shader):", "[e06] Compiler log is not available!",
                           "***GLSL Compiler Log (Fragment Shader):", "[e06] Compiler log is not available!",
                           "***GLSL Linker Log:", "[e05] Linker log is not available!", "> loadFromMemory true",
                           "> programs 1", "> linked true", "> ownsStages true", "> stages 1", "> current 0"}}),
                  run.output);
    }
}

TEST(GlslManager, TwoBuildsGiveTwoProgramsInOrder)
{
    scenarioRun run = runScenario("manager-two-builds");
    expectCleanExit(run);
    lines buildLog = {"***GLSL Compiler Log (Vertex Shader):", "[e06] Compiler log is not available!",
                      "***GLSL Compiler Log (Fragment Shader):", "[e06] Compiler log is not available!",
                      "***GLSL Linker Log:", "[e05] Linker log is not available!"};
    EXPECT_EQ(joined({reportOnThisDriver, buildLog, buildLog,
                      {"> built", "> programs 2", "> in order true", "> different true"}}),
              run.output);
}

// Mesa forced to OpenGL 1.4 still reports the three shader extensions, but
// GLEW loads none of the 2.0 entry points the library calls.
TEST(GlslMissingEntryPoints, BuildFailsWithoutCallingThem)
{
    scenarioRun run = runScenario("manager-build", {{"MESA_GL_VERSION_OVERRIDE", "1.4"}});
    expectCleanExit(run);
    EXPECT_EQ(joined({{"OpenGL 1.4 core functions are available"}, missingEntryPointWarnings,
                      {"[FAILED] OpenGL Shading Language is not available...", ""}, unavailableBuild}),
              run.output);
}

// No program object is made, so "current is program" compares 0 with 0.
TEST(GlslMissingEntryPoints, ProgramOperationsTakeTheUnavailablePath)
{
    scenarioRun run = runScenario("program-bind", {{"MESA_GL_VERSION_OVERRIDE", "1.4"}});
    expectCleanExit(run);
    EXPECT_EQ(joined({{"OpenGL 1.4 core functions are available"}, missingEntryPointWarnings,
                      {"[FAILED] OpenGL Shading Language is not available...", "",
                       "**ERROR: OpenGL Shading Language is NOT available!", "> current after unlinked bind 0",
                       "**ERROR: OpenGL Shading Language is NOT available!", "> linkProgram false",
                       "> current is program true", "> still program true", "> current after unbind 0"}}),
              run.output);
}

} // namespace
