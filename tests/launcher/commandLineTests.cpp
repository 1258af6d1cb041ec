// What the batch command decides before it starts a program: its command
// line, single runs, refusals, the files' outputs and the programs'
// arguments, and the worker messages it reads.

#include "base/limits.h"
#include "core/workerProtocol.h"
#include "launcher/batchPlan.h"
#include "launcher/commandLine.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

launchRequest read(commandKind command, const std::vector<std::string>& arguments)
{
    launchRequest request;
    std::string problem;
    EXPECT_TRUE(readCommandLine(command, arguments, request, problem)) << problem;
    return request;
}

std::string problemOf(commandKind command, const std::vector<std::string>& arguments)
{
    launchRequest request;
    std::string problem;
    EXPECT_FALSE(readCommandLine(command, arguments, request, problem));
    return problem;
}

constexpr commandKind encoder = commandKind::encoder;
constexpr commandKind decoder = commandKind::decoder;

TEST(CommandLine, RefusesWrongOptionsWithOneLine)
{
    struct refusalCase {
        commandKind command;
        std::vector<std::string> arguments;
        const char* problem;
    };
    const refusalCase cases[] = {
        {encoder, {"-x", "a.png"}, "unknown option '-x' (a file of that name is ./-x)"},
        {encoder, {"--keep-texture-size", "a.png"},
         "unknown option '--keep-texture-size' (a file of that name is ./--keep-texture-size)"},
        {encoder, {"-o", "x.bmp", "a.png"}, "unknown option '-o' (a file of that name is ./-o)"},
        {decoder, {"a_enc.bmp", "-o"}, "-o needs a file name"},
        {decoder, {"-O"}, "-O needs a folder"},
        {encoder, {"-j"}, "-j needs a number"},
        {encoder, {"-j0"}, "the number of jobs must be a whole number from 1 to 9999, not '0'"},
        {encoder, {"--jobs=10000"}, "the number of jobs must be a whole number from 1 to 9999, not '10000'"},
        {encoder, {"--jobs", "+2"}, "the number of jobs must be a whole number from 1 to 9999, not '+2'"},
    };
    for (const refusalCase& test : cases)
        EXPECT_EQ(problemOf(test.command, test.arguments), test.problem);
}

// After "--" every argument is a name, and "-" is a file of that name; before
// it, "-" reads names from standard input.
TEST(CommandLine, TakesEveryArgumentAfterTheMarkerAsAName)
{
    const launchRequest request = read(decoder, {"-j2", "--bmp", "-", "a", "--", "--bmp", "-", "-j3"});
    EXPECT_EQ(request.jobs, 2u);
    EXPECT_TRUE(request.bmp);
    EXPECT_EQ(request.names, (textLines{"-", "a", "--bmp", "-", "-j3"}));
    EXPECT_EQ(request.readsNamesFromInput, (std::vector<bool>{true, false, false, false, false}));
}

TEST(BatchPlan, TellsSingleRunsFromBatches)
{
    struct runCase {
        commandKind command;
        std::vector<std::string> arguments;
        bool single;
    };
    const runCase cases[] = {
        {encoder, {}, true},
        {encoder, {"a.png"}, true},
        {encoder, {"-"}, false},
        {encoder, {"--", "-"}, true},
        {encoder, {"a.png", "1234"}, false},
        {decoder, {"a_enc.bmp", "1234"}, true},
        {decoder, {"a_enc.bmp", "4294967296"}, false},
        {decoder, {"a_enc.bmp", "b_enc.bmp"}, false},
    };
    for (const runCase& test : cases)
        EXPECT_EQ(isSingleRun(read(test.command, test.arguments)), test.single) << test.arguments.size();
}

TEST(BatchPlan, RefusesWhatLooksLikeASeedButIsNone)
{
    for (const char* seed : {"12abc", "1e9", "", " 5", "0x10", "+5", "4294967296"}) {
        const auto refusal = refusalBeforeWork(read(decoder, {"a_enc.bmp", seed}));
        ASSERT_TRUE(refusal) << seed;
        EXPECT_EQ(*refusal, "'" + std::string(seed) + "' is no file and no seed: a seed is a whole number from 0 "
                  "to 4294967295");
    }
    EXPECT_FALSE(refusalBeforeWork(read(decoder, {"a_enc.bmp", "b_enc.bmp"})));
    EXPECT_FALSE(refusalBeforeWork(read(decoder, {"a_enc.bmp", "4294967295"})));
}

TEST(BatchPlan, RefusesABadOutputFolderOrAreaBeforeAnyWork)
{
    scratchDirectory scratch;
    writeFile(scratch.file("file"), "");
    EXPECT_EQ(refusalBeforeWork(read(encoder, {"-O", scratch.file("missing"), "a.png", "b.png"})).value_or(""),
              "the output folder '" + scratch.file("missing") + "' does not exist: No such file or directory");
    EXPECT_EQ(refusalBeforeWork(read(encoder, {"-O", scratch.file("file"), "a.png"})).value_or(""),
              "the output folder '" + scratch.file("file") + "' is not a folder");
    EXPECT_EQ(refusalBeforeWork(read(decoder, {"-o", "x.png", "a_enc.bmp", "b_enc.bmp"})).value_or(""),
              "-o names the output of a single file");
    EXPECT_FALSE(refusalBeforeWork(read(encoder, {"-O", scratch.path(), "a.png"})));
    setenv(textureAreaVariable, "12abc", 1);
    EXPECT_EQ(refusalBeforeWork(read(encoder, {"a.png", "b.png"})).value_or(""),
              "PIXVEIL_AREA_LIMIT is not a whole number of texels above 0: \"12abc\"");
    unsetenv(textureAreaVariable);
}

TEST(BatchPlan, NamesOutputsAsTheProgramsDo)
{
    struct outputCase {
        std::vector<std::string> arguments;
        commandKind command;
        const char* file;
        const char* output;
    };
    const outputCase cases[] = {
        {{}, encoder, "pics/cat.png", "pics/cat_enc.bmp"},
        {{}, decoder, "pics/cat_enc.bmp", "pics/cat_dec.png"},
        {{"--bmp"}, decoder, "cat_enc.bmp", "cat_dec.bmp"},
        {{"-O", "/out"}, encoder, "pics/cat.png", "/out/cat_enc.bmp"},
        {{"-O", "out/"}, decoder, "cat_enc.bmp", "out/cat_dec.png"},
    };
    for (const outputCase& test : cases)
        EXPECT_EQ(outputPathOf(read(test.command, test.arguments), test.file).value_or("none"), test.output);
}

TEST(BatchPlan, RefusesTwoFilesThatWouldShareAnOutput)
{
    scratchDirectory scratch;
    const std::string a = scratch.file("a.png"), aJpeg = scratch.file("a.jpg");
    const std::string other = scratch.file("other");
    mkdir(other.c_str(), 0755);
    const std::string b = other + "/a.png";
    EXPECT_EQ(findCollidingOutputs(read(encoder, {}), {a, aJpeg}).value_or(""),
              a + " and " + aJpeg + " would both be written to " + scratch.file("a_enc.bmp"));
    EXPECT_FALSE(findCollidingOutputs(read(encoder, {}), {a, scratch.path() + "/./a.png"}));
    EXPECT_FALSE(findCollidingOutputs(read(encoder, {}), {a, b}));
    EXPECT_TRUE(findCollidingOutputs(read(encoder, {"-O", scratch.path()}), {a, b}));
}

TEST(BatchPlan, ReadsNamesFromStandardInputWhereAsked)
{
    std::istringstream input("b.png\n\n-c.png\n");
    EXPECT_EQ(collectFiles(read(encoder, {"a.png", "-", "d.png"}), input),
              (textLines{"a.png", "b.png", "-c.png", "d.png"}));
}

// A name reaches the decoder after "--", and the encoder as its only argument,
// so that no name is read as an option.
TEST(BatchPlan, HandsNamesOnSoThatNoneIsAnOption)
{
    EXPECT_EQ(programArguments(read(decoder, {"--keep-texture-size", "-O", "out", "--bmp"}), "dec", {"--bmp"}),
              (textLines{"dec", "--keep-texture-size", "--bmp", "-O", "out", "--", "--bmp"}));
    EXPECT_EQ(programArguments(read(decoder, {"-o", "-"}), "dec", {"x_enc.bmp", "12"}),
              (textLines{"dec", "-o", "-", "--", "x_enc.bmp", "12"}));
    EXPECT_EQ(programArguments(read(encoder, {}), "enc", {"--help"}), (textLines{"enc", "--help"}));
    EXPECT_EQ(programArguments(read(encoder, {"-O", "out"}), "enc", {"-O"}), (textLines{"enc", "-O", "out", "-O"}));
    EXPECT_EQ(workerArguments(read(encoder, {"-O", "out"}), "worker"), (textLines{"worker", "-O", "out"}));
}

TEST(BatchPlan, RunsNoMoreProgramsThanMemoryHolds)
{
    const uint64_t encoderPeak = defaultTextureAreaLimit * encoderPeakBytesPerTexel + programBaseBytes;
    const uint64_t decoderPeak = defaultTextureAreaLimit * decoderPeakBytesPerTexel + programBaseBytes;
    EXPECT_EQ(defaultJobs(encoder, 8, 3 * encoderPeak, defaultTextureAreaLimit), 3u);
    EXPECT_EQ(defaultJobs(decoder, 8, 3 * encoderPeak, defaultTextureAreaLimit), 3 * encoderPeak / decoderPeak);
    EXPECT_EQ(defaultJobs(encoder, 2, 100 * encoderPeak, defaultTextureAreaLimit), 2u);
    EXPECT_EQ(defaultJobs(encoder, 4, 0, defaultTextureAreaLimit), 1u);
}

TEST(WorkerProtocol, PutsRecordsBackTogetherFromPiecesOfAnySize)
{
    const std::string stream = workerProtocol::encodeReply(7, 0) + workerProtocol::encodeReply(12, 143);
    for (std::size_t piece : {1u, 2u, 5u, 64u}) {
        workerProtocol::recordReader reader;
        std::vector<workerProtocol::reply> replies;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            ASSERT_TRUE(reader.add(stream.data() + at, std::min(piece, stream.size() - at)));
            while (auto record = reader.next())
                replies.push_back(workerProtocol::readReply(*record).value());
        }
        ASSERT_EQ(replies.size(), 2u) << piece;
        EXPECT_EQ(replies[1].index, 12u);
        EXPECT_EQ(replies[1].status, 143);
        EXPECT_FALSE(reader.holdsPartOfARecord());
    }
}

TEST(WorkerProtocol, TakesNoGarbageForAMessage)
{
    using record = std::pair<std::string, std::string>;
    for (const record& reply : {record{"7", "256"}, record{"-1", "0"}, record{"7", ""}, record{"", "0"},
                                record{"1 ", "0"}, record{"7", "0x1"}, record{"1234567890", "0"}})
        EXPECT_FALSE(workerProtocol::readReply(reply)) << reply.first << "|" << reply.second;
    EXPECT_FALSE(workerProtocol::readRequest({"3", ""}));
    EXPECT_EQ(workerProtocol::readRequest({"3", "--bmp"})->path, "--bmp");
    workerProtocol::recordReader reader;
    const std::string endless(workerProtocol::longestField + 1, 'x');
    EXPECT_FALSE(reader.add(endless.data(), endless.size()));
}

} // namespace
