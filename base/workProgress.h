#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

// How far a long step has come against a limit known before it starts (the
// seeds to try, the size recovery's work limit), for a progress line: the
// working threads add what they have done, and the line's thread reads it.
// Only a display: nothing that decides an outcome reads it.
class workProgress {
public:
    explicit workProgress(std::uint64_t limit) : limit(limit) {}

    void add(std::uint64_t units) { done.fetch_add(units, std::memory_order_relaxed); }
    // Raises what is done to `units`, where the step knows its total.
    void reach(std::uint64_t units)
    {
        std::uint64_t now = done.load(std::memory_order_relaxed);
        while (now < units && !done.compare_exchange_weak(now, units, std::memory_order_relaxed)) {
        }
    }
    // From 0 to 1.
    double fraction() const
    {
        const std::uint64_t now = done.load(std::memory_order_relaxed);
        return limit == 0 ? 1.0 : std::min(1.0, static_cast<double>(now) / static_cast<double>(limit));
    }

private:
    std::uint64_t limit;
    std::atomic<std::uint64_t> done{0};
};
