#pragma once

#include <chrono>
#include <ctime>

// A limit on processor time: by default the time this process spends, all
// threads together, or the time of the thread that made it alone (which only
// that thread may then ask about). The size
// recovery is bounded by processor time rather than by the wall clock, so
// that other programs on a busy machine do not change what it finds.
class processorDeadline {
public:
    enum class counted { wholeProcess, callingThread };

    explicit processorDeadline(std::chrono::nanoseconds allowance, counted whose = counted::wholeProcess)
        : clock(clockOf(whose)), end(spent(clock) + allowance)
    {
    }

    bool passed() const { return spent(clock) >= end; }

    // The processor time the calling thread has spent so far.
    static std::chrono::nanoseconds threadTimeSpent() { return spent(CLOCK_THREAD_CPUTIME_ID); }

private:
    static clockid_t clockOf(counted whose)
    {
        return whose == counted::wholeProcess ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_THREAD_CPUTIME_ID;
    }

    static std::chrono::nanoseconds spent(clockid_t clock)
    {
        timespec now{};
        clock_gettime(clock, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    }

    clockid_t clock;
    std::chrono::nanoseconds end;
};
