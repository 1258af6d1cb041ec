#pragma once

#include "launcher/batchSupervisor.h"
#include "launcher/commandLine.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// What a batch tells the person running it, on standard error: a failure
// named with its file and the program's output, a progress line while the
// batch runs (on a terminal only), and the summary line that ends every
// batch. Names and output are shown with "?" for control characters, as ls
// shows names, so that no file can recolour or clear the terminal.

// A name or a program's output as the terminal is shown it.
std::string shown(std::string text);

// A file's failure, its output indented under it.
std::string failureReport(commandKind command, const std::string& file, const fileOutcome& outcome);

// "pixveil: 2 files encoded, 1 failed, 3 not done (stopped by SIGTERM)".
std::string summaryLine(commandKind command, const std::vector<fileOutcome>& outcomes, int stoppedBy);

class batchReporter : public batchObserver {
public:
    // `terminalWidth` 0 shows no progress line.
    batchReporter(commandKind command, const std::vector<std::string>& files, std::size_t terminalWidth,
                  std::FILE* stream);
    void fileStarted(std::size_t index) override;
    void fileFinished(std::size_t index, const fileOutcome& outcome) override;
    void printSummary(const std::vector<fileOutcome>& outcomes, int stoppedBy);

private:
    void showProgress();
    void clearProgress();

    commandKind command;
    const std::vector<std::string>& files;
    std::size_t width;
    std::FILE* stream;
    std::size_t finished = 0;
    std::size_t latest = 0;
};

// The width of the terminal that `descriptor` is, 80 for one that does not
// know its size, and 0 when it is no terminal.
std::size_t terminalWidthOf(int descriptor);
