#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// A line on standard error that says what a long step is doing while it runs:
// shown only when standard error is a terminal and the step has taken about a
// second, redrawn every second with the time so far, and cleared when the
// step ends (when the object is destroyed), so that nothing of it stays in
// the terminal or reaches a file.
class progressLine {
public:
    explicit progressLine(std::string what);
    ~progressLine();

    progressLine(const progressLine&) = delete;
    progressLine& operator=(const progressLine&) = delete;

private:
    void showWhileRunning();

    std::string what;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::thread shower;
};
