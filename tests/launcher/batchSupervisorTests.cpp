// The batch supervisor's scheduling, with stand-in workers that misbehave in
// every way a real one could (tests/launcher/standInWorker.sh): each file's
// name tells its worker what to do.

#include "launcher/batchReport.h"
#include "launcher/batchSupervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

using state = fileOutcome::state;

// Records what the supervisor reports, and checks that each file starts and
// finishes exactly once.
struct recordingObserver : batchObserver {
    std::map<std::size_t, int> starts, finishes;
    void fileStarted(std::size_t index) override { ++starts[index]; }
    void fileFinished(std::size_t index, const fileOutcome&) override { ++finishes[index]; }
};

// The stop signals blocked and read from a signalfd, as the command does;
// the stand-in that hangs sends SIGTERM to this process.
class stopSignals {
public:
    stopSignals()
    {
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGCHLD);
        sigprocmask(SIG_BLOCK, &signals, &previous);
        descriptor = signalfd(-1, &signals, SFD_CLOEXEC);
    }
    ~stopSignals()
    {
        close(descriptor);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    int get() const { return descriptor; }

private:
    sigset_t signals{}, previous{};
    int descriptor = -1;
};

struct runResult {
    std::vector<fileOutcome> outcomes;
    int stoppedBy = 0;
    recordingObserver observer;
};

runResult runBatch(const std::vector<std::string>& files, std::size_t jobs, bool pooled,
                   const std::string& program = STAND_IN_WORKER, bool adoptsOrphans = false)
{
    batchSettings settings;
    settings.adoptsOrphans = adoptsOrphans;
    settings.jobs = jobs;
    settings.stopGrace = std::chrono::milliseconds(300);
    if (pooled)
        settings.workerArguments = {program};
    else
        settings.programArguments = [program](const std::string& file) {
            return std::vector<std::string>{program, file};
        };
    stopSignals signals;
    runResult result;
    batchSupervisor supervisor(settings, files, signals.get(), result.observer);
    supervisor.run();
    result.outcomes = supervisor.outcomes();
    result.stoppedBy = supervisor.stoppedBy();
    return result;
}

struct expectedOutcome {
    state result;
    int status;
    const char* outputHas; // a part of the file's output, or ""
};

struct supervisorCase {
    const char* name;
    std::vector<std::string> files;
    std::size_t jobs;
    bool pooled;
    std::vector<expectedOutcome> expected;
    int stoppedBy;
    std::string program = STAND_IN_WORKER;
};

const expectedOutcome succeeded{state::done, 0, ""};

std::vector<supervisorCase> supervisorCases()
{
    const expectedOutcome brokeProtocol{state::done, 1, "the batch worker"};
    return {
        {"every file answered, on two workers", {"ok1", "ok2", "ok3", "ok4", "ok5"}, 2, true,
         {succeeded, succeeded, succeeded, succeeded, succeeded}, 0},
        {"a failure keeps its status and output", {"ok1", "fail2", "ok3"}, 1, true,
         {succeeded, {state::done, 1, "could not do fail2"}, succeeded}, 0},
        {"a crash ends its worker; another takes the rest", {"ok1", "crash2", "ok3"}, 1, true,
         {succeeded, {state::done, 128 + SIGSEGV, "about to crash"}, succeeded}, 0},
        {"a worker's own status counts for its file", {"exit3", "ok2"}, 1, true,
         {{state::done, 3, ""}, succeeded}, 0},
        {"an answer given twice", {"twice1", "ok2", "ok3"}, 1, true,
         {succeeded, brokeProtocol, succeeded}, 0},
        {"an answer that comes late", {"late1", "ok2"}, 2, true, {succeeded, succeeded}, 0},
        {"an answer split across reads", {"split1", "split2", "ok3"}, 1, true,
         {succeeded, succeeded, succeeded}, 0},
        {"an answer for a file not given", {"other1", "ok2"}, 1, true, {brokeProtocol, succeeded}, 0},
        {"garbage for an answer", {"garbage1", "ok2"}, 1, true, {brokeProtocol, succeeded}, 0},
        {"replies closed early", {"closes1", "ok2"}, 1, true,
         {{state::done, 1, "ended without answering"}, succeeded}, 0},
        {"a worker that ends without answering", {"quiet1", "ok2"}, 1, true,
         {{state::done, 1, "ended without answering"}, succeeded}, 0},
        {"more output than a pipe holds", {"chatty1", "ok2"}, 1, true, {succeeded, succeeded}, 0},
        {"a hang stopped by SIGTERM", {"ok1", "hang2", "ok3", "ok4"}, 1, true,
         {succeeded, {state::notDone, 128 + SIGTERM, ""}, {state::notDone, 0, ""}, {state::notDone, 0, ""}},
         SIGTERM},
        {"a worker that ignores the stop is killed", {"stubborn1", "ok2"}, 1, true,
         {{state::notDone, 128 + SIGKILL, ""}, {state::notDone, 0, ""}}, SIGTERM},
        {"a program a file", {"ok1", "fail2", "crash3", "ok4"}, 2, false,
         {succeeded, {state::done, 1, "could not do fail2"}, {state::done, 128 + SIGSEGV, "about to crash"},
          succeeded},
         0},
        {"a program that cannot be run", {"ok1", "ok2"}, 1, false,
         {{state::done, 127, "cannot run /nonexistent/program"}, {state::done, 127, ""}}, 0, "/nonexistent/program"},
        {"a worker that cannot be run", {"ok1", "ok2"}, 2, true,
         {{state::done, 127, "cannot run"}, {state::done, 127, ""}}, 0, "/nonexistent/program"},
    };
}

TEST(BatchSupervisor, GivesEveryFileOneOutcome)
{
    for (const supervisorCase& test : supervisorCases()) {
        SCOPED_TRACE(test.name);
        const runResult result = runBatch(test.files, test.jobs, test.pooled, test.program);
        ASSERT_EQ(result.outcomes.size(), test.expected.size());
        EXPECT_EQ(result.stoppedBy, test.stoppedBy);
        for (std::size_t index = 0; index < test.expected.size(); ++index) {
            SCOPED_TRACE(test.files[index]);
            const fileOutcome& outcome = result.outcomes[index];
            const expectedOutcome& expected = test.expected[index];
            EXPECT_EQ(outcome.result, expected.result);
            if (expected.result == state::done || expected.status != 0) {
                EXPECT_EQ(outcome.status, expected.status);
            }
            EXPECT_NE(outcome.output.find(expected.outputHas), std::string::npos) << outcome.output;
            const bool started = result.observer.starts.count(index) > 0;
            EXPECT_EQ(result.observer.finishes.count(index) ? result.observer.finishes.at(index) : 0,
                      started ? 1 : 0);
            if (started) {
                EXPECT_EQ(result.observer.starts.at(index), 1);
            }
        }
    }
}

TEST(BatchSupervisor, KeepsEachFilesOutputApart)
{
    const runResult result = runBatch({"ok1", "fail2", "ok3", "chatty4"}, 1, true);
    EXPECT_EQ(result.outcomes[0].output, "did ok1\n");
    EXPECT_EQ(result.outcomes[1].output, "could not do fail2\n");
    EXPECT_EQ(result.outcomes[2].output, "did ok3\n");
    EXPECT_EQ(result.outcomes[3].output, std::string(200000, 'x') + "\n");
}

// A worker holds its standard streams and its reply pipe (and ls its listing
// of them, 4), and nothing of the
// supervisor's or of the other workers'.
TEST(BatchSupervisor, GivesAWorkerOnlyItsOwnDescriptors)
{
    const runResult result = runBatch({"descriptors1", "descriptors2", "late3", "descriptors4"}, 2, true);
    for (std::size_t index : {0u, 1u, 3u})
        EXPECT_EQ(result.outcomes[index].output, "0 1 2 3 4 ") << index;
}

// A worker's own child that outlives it comes to the supervisor as its
// subreaper, and is reaped before the batch is done: nothing of the batch is
// left for init.
TEST(BatchSupervisor, ReapsTheOrphansItAdopts)
{
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const runResult result = runBatch({"orphan1", "orphan2", "ok3"}, 2, true, STAND_IN_WORKER, true);
    const std::vector<pid_t> left = childrenOfThisProcess();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(result.outcomes.size(), 3u);
    for (const fileOutcome& outcome : result.outcomes)
        EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(left.empty()) << left.size() << " left, the first " << left.front();
}

TEST(BatchReport, SummarisesEveryOutcome)
{
    const fileOutcome written{state::done, 0, ""};
    const fileOutcome failed{state::done, 1, ""};
    const fileOutcome notDone{state::notDone, 143, ""};
    struct summaryCase {
        commandKind command;
        std::vector<fileOutcome> outcomes;
        int stoppedBy;
        const char* line;
    };
    const summaryCase cases[] = {
        {commandKind::encoder, {written}, 0, "pixveil: 1 file encoded\n"},
        {commandKind::encoder, {written, failed, written}, 0, "pixveil: 2 files encoded, 1 failed\n"},
        {commandKind::decoder, {failed, failed}, 0, "pixveil-decode: 0 files decoded, 2 failed\n"},
        {commandKind::encoder, {written, failed, notDone, notDone}, SIGTERM,
         "pixveil: 1 file encoded, 1 failed, 2 not done (stopped by SIGTERM)\n"},
        {commandKind::decoder, {notDone}, SIGINT, "pixveil-decode: 0 files decoded, 1 not done (stopped by SIGINT)\n"},
    };
    for (const summaryCase& test : cases)
        EXPECT_EQ(summaryLine(test.command, test.outcomes, test.stoppedBy), test.line);
}

TEST(BatchReport, ShowsControlCharactersAsQuestionMarks)
{
    const fileOutcome failed{state::done, 1, "first\tline\nan \033[2J escape\n"};
    EXPECT_EQ(failureReport(commandKind::encoder, "bad\033[2J.png", failed),
              "pixveil: bad?[2J.png: failed with status 1; its output:\n  first?line\n  an ?[2J escape\n");
}

} // namespace
