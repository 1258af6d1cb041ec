#pragma once

#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

// Runs work(0) to work(parts - 1) at once: part 0 on the calling thread, each
// other part on a thread of its own, and returns when all are done. A part the
// system gives no thread for runs on the calling thread after part 0, so that
// the work never fails for want of threads. Each part must write only what is
// its own.
template <typename Work>
void runParallelParts(std::size_t parts, const Work& work)
{
    std::vector<std::thread> helpers;
    std::vector<std::size_t> withoutThread;
    for (std::size_t part = 1; part < parts; ++part) {
        try {
            helpers.emplace_back([&work, part] { work(part); });
        } catch (const std::system_error&) {
            withoutThread.push_back(part);
        }
    }
    if (parts > 0)
        work(std::size_t{0});
    for (std::size_t part : withoutThread)
        work(part);
    for (std::thread& helper : helpers)
        helper.join();
}
