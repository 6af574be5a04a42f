// Running one piece of work on several threads inside a call: the calling
// thread is worker 0, the others are started here, and every one is joined
// before runOnThreads returns. The work must not throw (each worker catches
// what it runs), so nothing crosses a thread.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

namespace qarbin {

// Calls work(w) for w = 0 .. threads-1 at once, w = 0 on the calling
// thread. When the system refuses a thread the work runs on fewer; returns
// how many ran (at least 1).
template <typename Work>
uint32_t runOnThreads(uint32_t threads, Work& work) {
    struct Joined {
        std::vector<std::thread> running;
        ~Joined() {
            for (std::thread& t : running) t.join();
        }
    } pool;
    if (threads < 1) threads = 1;
    try {
        pool.running.reserve(threads - 1);
        for (uint32_t w = 1; w < threads; ++w) pool.running.emplace_back([&work, w] { work(w); });
    } catch (...) {
        // fewer threads then; the calling one always works
    }
    const uint32_t ran = static_cast<uint32_t>(pool.running.size()) + 1;
    work(0u);
    return ran;
}

}  // namespace qarbin
