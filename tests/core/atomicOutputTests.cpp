// Writing through a temporary file, with a writer under the test's control:
// what is left in the directory after success, failure and signals.

#include "core/atomicOutput.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string earlierOutput = "an earlier, complete output";

void writeAll(std::FILE* file, const std::string& contents)
{
    EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), file), contents.size());
}

// Writes `contents` to the temporary file, which must exist and be empty, and
// records its path.
temporaryFileWriter recordingWriter(const std::string& contents, std::string& seenPath)
{
    return [contents, &seenPath](std::FILE* file, const char* temporaryPath, std::string&) {
        seenPath = temporaryPath;
        EXPECT_EQ(readFile(temporaryPath), "");
        EXPECT_TRUE(fileExists(temporaryPath));
        writeAll(file, contents);
        return true;
    };
}

class ReplaceFileAtomically : public ::testing::Test {
protected:
    scratchDirectory scratch;
    scratchDirectory elsewhere;
    const std::string output = scratch.file("photo_enc.bmp");
    const std::string victim = elsewhere.file("private.bmp");
    std::string temporaryPath;
    std::string reason;
};

TEST_F(ReplaceFileAtomically, WritesBesideTheOutputAndLeavesOnlyIt)
{
    const mode_t previousMask = umask(027);
    bool replaced = replaceFileAtomically(output.c_str(), 11, recordingWriter("new content", temporaryPath), reason);
    umask(previousMask);

    ASSERT_TRUE(replaced) << reason;
    EXPECT_EQ(reason, "");
    EXPECT_EQ(readFile(output), "new content");
    EXPECT_EQ(fs::path(temporaryPath).parent_path(), scratch.path());
    EXPECT_EQ(namesIn(scratch.path()), textLines{"photo_enc.bmp"});
    // A new output's permissions as a newly created file gets them, not
    // mkstemp's 0600.
    EXPECT_EQ(fs::status(output).permissions(), fs::perms(0640));

    // A relative output path keeps its temporary file in its own directory.
    const fs::path previousDirectory = fs::current_path();
    fs::current_path(scratch.path());
    replaced = replaceFileAtomically("photo_enc.bmp", 3, recordingWriter("abc", temporaryPath), reason);
    fs::current_path(previousDirectory);
    ASSERT_TRUE(replaced) << reason;
    EXPECT_EQ(fs::path(temporaryPath).parent_path(), "");
    EXPECT_EQ(namesIn(scratch.path()), textLines{"photo_enc.bmp"});
}

// Mode and group before and after replacing: kept for a regular file, the
// new-file default for a link, also for a read-only output. Only root and the
// group's members may give a file to a group: a user who cannot keep the group
// leaves the group no access rather than granting it to the user's own group.
TEST_F(ReplaceFileAtomically, KeepsThePermissionsAndGroupOfTheFileItReplaces)
{
    const bool asRoot = geteuid() == 0;
    const gid_t ownGroup = getegid();
    const gid_t earlierGroup = asRoot ? 4242 : ownGroup;
    const uid_t nobody = 65534;
    const struct {
        const char* name;
        mode_t modeBefore;
        bool asSymbolicLink;
        bool asUserOutsideTheGroup;
        bool ownedBySomeoneElse;
        mode_t modeAfter;
        gid_t groupAfter;
    } cases[] = {
        {"private", 0600, false, false, false, 0600, earlierGroup},
        {"group-readable", 0640, false, false, false, 0640, earlierGroup},
        {"read-only", 0444, false, false, false, 0444, earlierGroup},
        {"executable", 0755, false, false, false, 0755, earlierGroup},
        {"symbolic link to a private file", 0600, true, false, false, 0644, ownGroup},
        {"a user outside the file's group", 0640, false, true, false, 0600, nobody},
        // A file planted by someone else chooses neither mode nor group.
        {"someone else's file", 0666, false, false, true, 0644, ownGroup},
    };
    const mode_t previousMask = umask(022);
    for (const auto& test : cases) {
        if ((test.asUserOutsideTheGroup || test.ownedBySomeoneElse) && !asRoot)
            continue;
        SCOPED_TRACE(test.name);
        fs::remove(output);
        const std::string target = test.asSymbolicLink ? scratch.file("target") : output;
        writeFile(target, earlierOutput);
        chmod(target.c_str(), test.modeBefore);
        if (test.asSymbolicLink)
            fs::create_symlink(target, output);
        const uid_t owner = test.asUserOutsideTheGroup ? nobody : geteuid();
        chown(scratch.path().c_str(), owner, static_cast<gid_t>(-1));
        lchown(output.c_str(), test.ownedBySomeoneElse ? nobody : owner, earlierGroup);

        EXPECT_EXIT(
            {
                if (test.asUserOutsideTheGroup
                    && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
                    std::exit(2);
                std::exit(replaceFileAtomically(output.c_str(), 3, recordingWriter("abc", temporaryPath), reason)
                              ? 0
                              : 1);
            },
            ::testing::ExitedWithCode(0), "");

        struct stat status {};
        ASSERT_EQ(lstat(output.c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, test.modeAfter);
        EXPECT_EQ(status.st_gid, test.groupAfter);
        EXPECT_EQ(readFile(target), test.asSymbolicLink ? earlierOutput : "abc");
        fs::remove(scratch.file("target"));
    }
    umask(previousMask);
}

TEST_F(ReplaceFileAtomically, AFailureKeepsTheEarlierOutputAndRemovesTheTemporaryFile)
{
    const struct {
        const char* name;
        temporaryFileWriter writer;
        const char* reasonContains;
    } cases[] = {
        {"writer fails",
         [](std::FILE*, const char*, std::string& failure) {
             failure = "the writer could not write it";
             return false;
         },
         "the writer could not write it"},
        {"writer fails silently", [](std::FILE*, const char*, std::string&) { return false; },
         "writing the file failed"},
        {"short file (full disk)",
         [](std::FILE* file, const char*, std::string&) { writeAll(file, "only half"); return true; },
         "9 bytes instead of 20"},
        {"file grows too long",
         [](std::FILE* file, const char*, std::string&) { writeAll(file, std::string(21, 'x')); return true; },
         "21 bytes instead of 20"},
        {"temporary file removed by someone else",
         [](std::FILE* file, const char* path, std::string&) {
             writeAll(file, std::string(20, 'x'));
             return unlink(path) == 0;
         },
         "was removed or replaced while it was written"},
        // Someone who may write to the directory swaps the temporary name for
        // a link to a file of the user's: that file is neither written, nor
        // changed in mode, nor moved to the output path.
        {"temporary name replaced by a link to another file",
         [this](std::FILE* file, const char* path, std::string&) {
             writeAll(file, std::string(20, 'x'));
             return unlink(path) == 0 && symlink(victim.c_str(), path) == 0;
         },
         "was removed or replaced while it was written"},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        writeFile(output, earlierOutput);
        writeFile(victim, "private");
        chmod(victim.c_str(), 0600);
        EXPECT_FALSE(replaceFileAtomically(output.c_str(), 20, failure.writer, reason));
        EXPECT_NE(reason.find(failure.reasonContains), std::string::npos) << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos);
        EXPECT_EQ(readFile(output), earlierOutput);
        EXPECT_EQ(namesIn(scratch.path()), textLines{"photo_enc.bmp"});
        EXPECT_EQ(readFile(victim), "private");
        EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0600));
    }
}

TEST_F(ReplaceFileAtomically, ReportsWhereItCouldNotWrite)
{
    EXPECT_FALSE(replaceFileAtomically(scratch.file("missing/photo_enc.bmp").c_str(), 3,
                                       recordingWriter("abc", temporaryPath), reason));
    EXPECT_EQ(reason, "cannot create a temporary file in '" + scratch.file("missing") + "': No such file or directory");

    // A directory in the output's place cannot be renamed over.
    fs::create_directory(output);
    EXPECT_FALSE(replaceFileAtomically(output.c_str(), 3, recordingWriter("abc", temporaryPath), reason));
    EXPECT_NE(reason.find("cannot rename '" + temporaryPath + "' over it: Is a directory"), std::string::npos)
        << reason;
    EXPECT_TRUE(fs::is_directory(output));
    EXPECT_EQ(namesIn(scratch.path()), textLines{"photo_enc.bmp"});

    EXPECT_FALSE(replaceFileAtomically("", 3, recordingWriter("abc", temporaryPath), reason));
    EXPECT_EQ(reason, "no output path");
}

temporaryFileWriter interruptedWriter(int signalNumber, const std::string& contents)
{
    return [signalNumber, contents](std::FILE* file, const char*, std::string&) {
        writeAll(file, contents);
        raise(signalNumber);
        return true;
    };
}

TEST_F(ReplaceFileAtomically, ASignalWhileWritingRemovesTheTemporaryFileAndEndsTheProcess)
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        writeFile(output, earlierOutput);
        EXPECT_EXIT(
            {
                replaceFileAtomically(output.c_str(), 20, interruptedWriter(signalNumber, "partial"), reason);
                std::exit(0);
            },
            ::testing::KilledBySignal(signalNumber), "");
        EXPECT_EQ(readFile(output), earlierOutput);
        EXPECT_EQ(namesIn(scratch.path()), textLines{"photo_enc.bmp"});
    }
}

volatile std::sig_atomic_t terminationsSeen = 0;
extern "C" void countTermination(int) { terminationsSeen = terminationsSeen + 1; }

// A handler the program had before is restored afterwards, and gets the
// signal once the temporary file is gone; an ignored signal stays ignored.
TEST_F(ReplaceFileAtomically, KeepsTheProgramsOwnSignalHandling)
{
    struct sigaction counting {};
    counting.sa_handler = countTermination;
    struct sigaction previous {};
    sigaction(SIGTERM, &counting, &previous);
    const std::string complete(20, 'x');

    EXPECT_FALSE(replaceFileAtomically(output.c_str(), 20, interruptedWriter(SIGTERM, complete), reason));
    EXPECT_EQ(terminationsSeen, 1);
    EXPECT_NE(reason.find("was removed or replaced while it was written"), std::string::npos) << reason;
    EXPECT_EQ(namesIn(scratch.path()), textLines{});
    struct sigaction afterwards {};
    sigaction(SIGTERM, nullptr, &afterwards);
    EXPECT_EQ(afterwards.sa_handler, countTermination);

    signal(SIGTERM, SIG_IGN);
    EXPECT_TRUE(replaceFileAtomically(output.c_str(), 20, interruptedWriter(SIGTERM, complete), reason)) << reason;
    EXPECT_EQ(readFile(output), complete);
    sigaction(SIGTERM, nullptr, &afterwards);
    EXPECT_EQ(afterwards.sa_handler, SIG_IGN);
    sigaction(SIGTERM, &previous, nullptr);
}

} // namespace
