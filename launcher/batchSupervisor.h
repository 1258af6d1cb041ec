#pragma once

#include "core/workerProtocol.h"
#include "launcher/supervisedChild.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

// What became of one file of a batch.
struct fileOutcome {
    enum class state { notDone, done };
    state result = state::notDone;
    // The status its program ended with, or that its worker answered.
    int status = 0;
    // Its program's standard output and error, as far as they were kept.
    std::string output;

    bool failed() const { return result == state::done && status != 0; }
};

// How the files of a batch are run.
struct batchSettings {
    // A worker that takes file after file (core/workerProtocol.h); when its
    // arguments are empty, each file runs a program of its own instead.
    std::vector<std::string> workerArguments;
    // The program of its own for a file.
    std::function<std::vector<std::string>(const std::string& file)> programArguments;
    std::size_t jobs = 1;
    // How long, after a stop, what still runs is given before it is killed.
    std::chrono::milliseconds stopGrace{5000};
    // Whether the process is its children's subreaper, with SIGCHLD among the
    // signals it reads: their orphans are then reaped as they end, and waited
    // for before the batch is done.
    bool adoptsOrphans = false;
};

// Told of the batch's progress as it happens.
struct batchObserver {
    virtual ~batchObserver() = default;
    virtual void fileStarted(std::size_t index) = 0;
    virtual void fileFinished(std::size_t index, const fileOutcome& outcome) = 0;
};

// Runs the files of a batch on at most `jobs` workers or programs at once and
// gives every file exactly one outcome. It waits in one poll on everything at
// once: each child's output and reply pipes, its pidfd and the signalfd of
// the signals that stop a batch. So a reply is never looked for with a
// time-out, and a reply read in pieces is put together.
//
// A worker whose file ends it is counted for that file with its status (or
// as failed, when it ended with success but never answered), and another
// takes the rest. A worker that answers for a file it does not hold,
// answers twice or writes garbage is killed, and its file counted failed.
// A signal read from the signalfd stops the batch: no file is started any
// more, the signal is passed on to what runs, and a file that then ends other
// than with success stays not done. What has not ended some seconds later,
// or at a second signal, is killed.
class batchSupervisor {
public:
    batchSupervisor(batchSettings settings, std::vector<std::string> files, int stopSignals, batchObserver& observer);

    // Runs until every file has its outcome and every child has been reaped.
    // `stopSignals` is a signalfd of the signals that stop the batch (and of
    // SIGCHLD, for orphans).
    void run();

    const std::vector<fileOutcome>& outcomes() const { return results; }
    // The signal that stopped the batch, or 0.
    int stoppedBy() const { return stopSignal; }

    // The part of a file's output that is kept; the rest is dropped with a note.
    static constexpr std::size_t keptOutputBytes = 1 << 20;

private:
    // A worker or a file's program, and what it has said so far.
    struct slot {
        static constexpr std::size_t noFile = SIZE_MAX;
        supervisedChild process;
        workerProtocol::recordReader replies;
        std::size_t file = noFile; // the file it works on
        std::string output;
        bool outputCut = false;
        // Set while a worker's end is taken in: it is given no further file.
        bool ending = false;
        // Killed for what it wrote: nothing more it says counts.
        bool broken = false;
    };

    bool usesWorkers() const { return !settings.workerArguments.empty(); }
    void startWhatFits();
    void startSlot();
    void feed(slot& worker);
    void waitForEvents();
    void readStopSignal();
    std::vector<pid_t> reapOrphans();
    void waitForOrphans();
    void readOutput(slot& child, bool untilEmpty);
    void readReplies(slot& worker, bool untilEmpty);
    void takeReplies(slot& worker);
    void endSlot(std::list<slot>::iterator child);
    void finishFile(std::size_t index, int status, std::string output);
    void breakWorker(slot& worker, const char* fault);
    void stop(int signal);
    void killAll();

    batchSettings settings;
    std::vector<std::string> files;
    std::vector<fileOutcome> results;
    int stopSignals;
    batchObserver& observer;
    std::list<slot> slots;
    std::size_t nextFile = 0;
    int stopSignal = 0;
    std::chrono::steady_clock::time_point stopDeadline;
    bool killed = false;
};
