#pragma once

#include <chrono>
#include <ctime>

// A limit on the processor time this process spends, all threads together.
// The size recovery is bounded by it rather than by the wall clock, so that
// other programs on a busy machine do not change what it finds.
class processorDeadline {
public:
    explicit processorDeadline(std::chrono::nanoseconds allowance) : end(spent() + allowance) {}

    bool passed() const { return spent() >= end; }

private:
    static std::chrono::nanoseconds spent()
    {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    }

    std::chrono::nanoseconds end;
};
