// SPDX-License-Identifier: MIT
// The program's threads: each on a stack of its own size, which the program
// maps itself and counts against the budget, and one job done on several.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <pthread.h>
#include <vector>

#include "system/memory_budget.h"
#include "system/pages.h"

// The C library's default stack reserves 8 MiB of address space for every
// thread, which an address-space limit counts, and keeps it cached after
// the thread ends. The deepest frame, a radix sort's counts, takes 96 KiB.
constexpr std::size_t thread_stack_bytes = std::size_t{512} << 10;

// What a thread maps: its stack, a guard page below it, which the stack
// grows toward, and in the checking builds room for the sanitizers, which
// keep state of their own there and make frames larger; the budget counts
// the program's own alone, as in every build.
#ifdef TOKCOLLECT_SANITIZED
constexpr std::size_t sanitizer_stack_bytes = std::size_t{4} << 20;
#else
constexpr std::size_t sanitizer_stack_bytes = 0;
#endif
constexpr std::size_t thread_mapping_bytes =
    thread_stack_bytes + sanitizer_stack_bytes + page_bytes;

// A thread of the program's, and the stack it runs on.
struct program_thread {
    pthread_t id{};
    std::function<void()> work;
    void* mapped = nullptr; // the stack and the guard page below it
    budget_share share;     // of the mapping
};

// Starts `work` on a thread of its own, whose stack counts against
// `budget` until it is joined. Returns null, having started and taken
// nothing, where the system starts no thread or the budget has no room.
std::unique_ptr<program_thread> start_thread(std::function<void()> work, memory_budget* budget);

// Waits for the thread to end, and unmaps its stack.
void join_thread(program_thread& thread);

// Calls work(i) on up to `count` threads, this one among them, each with its
// own i below `count`, and returns when all have returned. Where a thread
// cannot start, or `budget` has no room for its stack, its i and those after
// it are left out, so the work should share its items out among whichever
// threads run. Should any run out of memory, throws std::bad_alloc once all
// have stopped.
template <typename F> void work_on_threads(std::size_t count, memory_budget* budget, F&& work)
{
    std::atomic<bool> out_of_memory = false;
    auto guarded = [&](std::size_t i) {
        try {
            work(i);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    };
    std::vector<std::unique_ptr<program_thread>> helpers;
    helpers.reserve(count > 0 ? count - 1 : 0);
    for (std::size_t i = 1; i < count; ++i) {
        helpers.push_back(start_thread([&guarded, i] { guarded(i); }, budget));
        if (!helpers.back()) {
            helpers.pop_back();
            break;
        }
    }
    guarded(0);
    for (const std::unique_ptr<program_thread>& helper : helpers)
        join_thread(*helper);
    if (out_of_memory)
        throw std::bad_alloc();
}
