// SPDX-License-Identifier: MIT
// Doing one job on several threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <new>
#include <thread>
#include <vector>

// Calls work(i) on up to `count` threads, this one among them, each with its
// own i below `count`, and returns when all have returned. Where a thread
// cannot start, its i is left out, so the work should share its items out
// among whichever threads run. Should any run out of memory, throws
// std::bad_alloc once all have stopped.
template <typename F> void work_on_threads(std::size_t count, F&& work)
{
    std::atomic<bool> out_of_memory = false;
    auto guarded = [&](std::size_t i) {
        try {
            work(i);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(count > 0 ? count - 1 : 0);
    for (std::size_t i = 1; i < count; ++i) {
        try {
            helpers.emplace_back(guarded, i);
        } catch (const std::exception&) {
            break; // fewer threads share the same items
        }
    }
    guarded(0);
    for (std::thread& helper : helpers)
        helper.join();
    if (out_of_memory)
        throw std::bad_alloc();
}
