#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "base/workProgress.h"

// A line on standard error that says what a long step is doing while it runs:
// shown only when standard error is a terminal and the step has taken about a
// second, redrawn every second with how far the step has come and the time so
// far, and cleared when the step ends (when the object is destroyed), so that
// nothing of it stays in the terminal or reaches a file.
class progressLine {
public:
    // `progress` must outlive the line; `measure` says what its share is of.
    progressLine(std::string what, std::string measure, const workProgress& progress);
    ~progressLine();

    progressLine(const progressLine&) = delete;
    progressLine& operator=(const progressLine&) = delete;

private:
    void showWhileRunning();

    std::string what;
    std::string measure;
    const workProgress& progress;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::thread shower;
};

// The line's text, for example "pixveil-decode: looking for the seed: 37 % of
// the candidate seconds tried (4 s)".
std::string progressText(const std::string& what, const std::string& measure, double fraction, int seconds);
