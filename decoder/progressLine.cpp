#include "decoder/progressLine.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <system_error>

progressLine::progressLine(std::string step) : what(std::move(step))
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
        std::fprintf(stderr, "\r\033[Kpixveil-decode: %s (%d s)", what.c_str(), seconds);
        std::fflush(stderr);
        shown = true;
    }
    if (shown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}
