#include "decoder/progressLine.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>

progressLine::progressLine(std::string step, std::string measure, const workProgress& progress)
    : what(std::move(step)), measure(std::move(measure)), progress(progress)
{
    if (isatty(STDERR_FILENO) != 1)
        return;
    try {
        shower = std::thread(&progressLine::showWhileRunning, this);
    } catch (const std::system_error&) {
        // Without a thread the step runs without its line.
    }
}

progressLine::~progressLine()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    ended.notify_one();
    if (shower.joinable())
        shower.join();
}

void progressLine::showWhileRunning()
{
    std::unique_lock<std::mutex> guard(lock);
    bool shown = false;
    for (int seconds = 1; !ended.wait_for(guard, std::chrono::seconds(1), [this] { return done; }); ++seconds) {
        std::fprintf(stderr, "\r\033[K%s", progressText(what, measure, progress.fraction(), seconds).c_str());
        std::fflush(stderr);
        shown = true;
    }
    if (shown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

std::string progressText(const std::string& what, const std::string& measure, double fraction, int seconds)
{
    // Rounded down, so that 100 % means all of it.
    const int percent = static_cast<int>(fraction * 100);
    return "pixveil-decode: " + what + ": " + std::to_string(percent) + " % of " + measure + " ("
           + std::to_string(seconds) + " s)";
}
