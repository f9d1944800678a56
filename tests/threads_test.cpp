// SPDX-License-Identifier: MIT
// Work shared among threads: running out of memory on any of them ends the
// whole, and only once every thread has stopped.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "run_on_threads.h"

namespace
{

TEST(Threads, OutOfMemoryOnAnyThreadThrowsOnceAllHaveStopped)
{
    for (std::size_t failing : {0, 1, 3}) {
        std::atomic<int> finished = 0;
        EXPECT_THROW(run_on_threads(4,
                                    [&](std::size_t i) {
                                        if (i == failing)
                                            throw std::bad_alloc();
                                        ++finished;
                                    }),
                     std::bad_alloc)
            << "thread " << failing;
        EXPECT_EQ(finished, 3) << "thread " << failing;
    }
    std::atomic<int> ran = 0;
    run_on_threads(4, [&](std::size_t) { ++ran; });
    EXPECT_EQ(ran, 4);
}

} // namespace
