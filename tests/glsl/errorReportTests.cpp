// reportGLErrors against a scripted error queue. Mesa keeps a single error
// flag, so a real context never has two errors pending, and GLU has a text for
// every code the driver can produce; this executable's own glGetError and
// gluErrorString take the place of the real ones for the library it links.

#include "vexo/source/glsl.h"

#include <GL/glu.h>
#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace {

std::deque<GLenum> pendingErrors;
int errorQueries = 0;

struct reportResult {
    int returned;
    std::string printed;
};

reportResult reportWithPending(std::deque<GLenum> errors, const char* file, int line)
{
    pendingErrors = std::move(errors);
    errorQueries = 0;
    testing::internal::CaptureStdout();
    int returned = vexo::reportGLErrors(file, line);
    return {returned, testing::internal::GetCapturedStdout()};
}

} // namespace

GLenum GLAPIENTRY glGetError()
{
    ++errorQueries;
    if (pendingErrors.empty())
        return GL_NO_ERROR;
    GLenum code = pendingErrors.front();
    pendingErrors.pop_front();
    return code;
}

const GLubyte* GLAPIENTRY gluErrorString(GLenum code)
{
    switch (code) {
    case GL_INVALID_ENUM:
        return reinterpret_cast<const GLubyte*>("invalid enumerant");
    case GL_OUT_OF_MEMORY:
        return reinterpret_cast<const GLubyte*>("out of memory");
    default:
        return nullptr;
    }
}

// Every pending error is one line, in queue order, until the queue is empty.
TEST(GlslErrorReportScripted, PrintsEveryPendingErrorOnce)
{
    const struct {
        std::deque<GLenum> errors;
        int returned;
        const char* printed;
    } cases[] = {
        {{}, 0, ""},
        {{GL_OUT_OF_MEMORY, GL_INVALID_ENUM}, 1,
         "GL Error #1285(out of memory)  in File /src/site.cpp at line: 2147483647\n"
         "GL Error #1280(invalid enumerant)  in File /src/site.cpp at line: 2147483647\n"},
        {{0x9999}, 1, "GL Error #39321 (no message available) in File /src/site.cpp at line: 2147483647\n"},
    };
    for (const auto& pending : cases) {
        const reportResult result = reportWithPending(pending.errors, "/src/site.cpp", 2147483647);
        EXPECT_EQ(result.returned, pending.returned);
        EXPECT_EQ(result.printed, pending.printed);
        EXPECT_EQ(errorQueries, int(pending.errors.size()) + 1);
    }
}

std::string sunk;
bool sunkAsFailure = false;

void keepMessage(const char* text, bool isFailure)
{
    sunk += text;
    sunkAsFailure = isFailure;
}

// A program that sets its own sink gets each error as a failure, and nothing
// reaches standard output; clearing the sink brings standard output back.
TEST(GlslErrorReportScripted, GoesToTheSinkTheProgramSets)
{
    vexo::setMessageSink(keepMessage);
    const reportResult result = reportWithPending({GL_INVALID_ENUM}, "a.cpp", 7);
    vexo::setMessageSink(nullptr);
    EXPECT_EQ(result.printed, "");
    EXPECT_EQ(sunk, "GL Error #1280(invalid enumerant)  in File a.cpp at line: 7\n");
    EXPECT_TRUE(sunkAsFailure);
    EXPECT_EQ(reportWithPending({GL_INVALID_ENUM}, "a.cpp", 7).printed, sunk);
}
