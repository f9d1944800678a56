// SPDX-License-Identifier: MIT
// Work shared among threads: running out of memory on any of them ends the
// whole, and only once every thread has stopped; a stream's workers collect
// what is handed to them, however long they idled, and the reader settles
// what a worker still holds before it waits for input. A classifying kernel
// of the test's own sees which thread collects what, and holds a worker, or
// runs out of memory there, on purpose.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "driver.h"
#include "listing/listing_output.h"
#include "read/read_buffer.h"
#include "run_program.h"
#include "system/threads.h"

namespace
{

using namespace std::chrono_literals;

TEST(Threads, OutOfMemoryOnAnyThreadThrowsOnceAllHaveStopped)
{
    for (std::size_t failing : {0, 1, 3}) {
        std::atomic<int> finished = 0;
        EXPECT_THROW(work_on_threads(4, nullptr,
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
    work_on_threads(4, nullptr, [&](std::size_t) { ++ran; });
    EXPECT_EQ(ran, 4);
}

// A thread's stack counts against the budget before it starts: where the
// budget has room for the stacks of some helpers, no more start, the work
// of those left out is not done, and the stacks go back when all end.
TEST(Threads, StartWithinTheBudgetForTheirStacks)
{
    for (std::size_t stacks : {0, 1, 3, 5}) {
        memory_budget budget(stacks * (thread_mapping_bytes - sanitizer_stack_bytes));
        std::mutex lock;
        std::set<std::size_t> done;
        std::set<std::thread::id> on;
        work_on_threads(4, &budget, [&](std::size_t i) {
            std::lock_guard hold(lock);
            done.insert(i);
            on.insert(std::this_thread::get_id());
        });
        const std::size_t started = std::min<std::size_t>(stacks, 3);
        EXPECT_EQ(done.size(), started + 1) << stacks << " stacks";
        EXPECT_EQ(on.size(), started + 1) << stacks << " stacks";
        EXPECT_EQ(*done.rbegin(), started) << stacks << " stacks: not the first items";
        EXPECT_EQ(budget.used, 0u) << stacks << " stacks";
    }
}

// Called with the bytes each kernel call is given and whether the calling
// thread is the one that runs the collector, before the widest kernel runs.
std::function<void(std::string_view bytes, bool on_reader)> before_classify;
std::thread::id reader;

void watched_classify(const char* bytes, std::size_t blocks, block_masks* masks)
{
    before_classify(std::string_view(bytes, 64 * blocks), std::this_thread::get_id() == reader);
    widest_classifier()(bytes, blocks, masks);
}

// On sixteen CPUs, a file is collected on as many threads as the budget
// has room for, some 3 MiB each within a quarter of it. Each thread waits
// at its first piece until all that should come have, so that none takes
// the pieces of another, but no longer than a few seconds.
TEST(Threads, AsManyAsTheBudgetHasRoomFor)
{
#ifdef TOKCOLLECT_SMALL_PARTS
    GTEST_SKIP() << "with small parts a thread holds a few KiB, and many fit any budget";
#endif
    const std::string input = std::string(1 << 20, '\n');
    const int in = memfd_create("input", 0);
    ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    std::mutex lock;
    std::condition_variable arrived;
    std::set<std::thread::id> collecting;
    std::size_t expected = 0;
    before_classify = [&](std::string_view, bool) {
        std::unique_lock hold(lock);
        if (collecting.insert(std::this_thread::get_id()).second) {
            arrived.notify_all();
            arrived.wait_for(hold, 5s, [&] { return collecting.size() >= expected; });
        }
    };
    for (const auto& [mib, threads] : {std::pair{8, 1}, {32, 2}, {1024, 16}}) {
        collecting.clear();
        expected = threads;
        lseek(in, 0, SEEK_SET);
        memory_budget budget(std::size_t(mib) << 20);
        const int out = memfd_create("output", 0), err = memfd_create("errors", 0);
        EXPECT_EQ(
            collect_tokens(
                in, out, err,
                {.min_range = 1, .classify = watched_classify, .budget = &budget, .cpus = 16}),
            0);
        EXPECT_EQ(collecting.size(), std::size_t(threads)) << mib << " MiB";
        close(out);
        close(err);
    }
    close(in);
}

// A merger of the listing that runs out of memory abandons the turns: one
// that waits for the turn of a later stretch, to flush a full buffer or to
// end its stretch, or for its spare to end another while one is parked
// there, throws rather than wait for ever, and writes nothing.
TEST(Threads, ListingMergersWaitForNoneThatRanOut)
{
    const auto end_two = [](output& out) {
        end_stretch(out);
        out.stretch = 3;
        *make_room(out, 1) = '9';
        out.used = 1;
        end_stretch(out);
    };
    const std::pair<std::function<void(output&)>, bool> cases[] = {
        {flush, false}, {end_stretch, false}, {end_two, true}};
    for (const auto& [write_out, spare] : cases) {
        turns order;
        output later;
        later.fd = memfd_create("listing", 0);
        later.order = &order;
        later.stretch = 1;
        later.size = 8;
        later.buffer = std::make_unique<char[]>(later.size);
        if (spare) {
            later.spare = std::make_unique<char[]>(later.size);
            order.mergers.push_back(&later);
        }
        *make_room(later, 1) = '7';
        later.used = 1;
        bool threw = false;
        std::thread merger([&] {
            try {
                write_out(later);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
        });
        std::this_thread::sleep_for(10ms);
        abandon(order);
        merger.join();
        EXPECT_TRUE(threw);
        EXPECT_EQ(contents(later.fd), "");
        close(later.fd);
    }
}

// Stretches of the listing go out in order however their mergers end them:
// one ended before its turn is parked, and written, with any parked after
// it, by the merger that ends the stretch before; its spare is then free
// for the next. Each step is a merger ending a stretch of one line, which
// is the stretch's number.
TEST(Threads, ListingStretchesGoOutInOrderHoweverTheyEnd)
{
    struct step {
        std::size_t merger, stretch;
    };
    const std::vector<std::vector<step>> cases = {
        {{1, 1}, {0, 0}},
        {{2, 2}, {1, 1}, {0, 0}},
        {{1, 1}, {0, 0}, {2, 2}},
        {{0, 0}, {0, 2}, {1, 1}},
        {{1, 1}, {2, 3}, {0, 0}, {1, 2}},
        {{1, 1}, {0, 0}, {1, 3}, {0, 2}, {0, 4}},
    };
    for (const std::vector<step>& steps : cases) {
        const int fd = memfd_create("listing", 0);
        turns order;
        output mergers[3];
        for (output& out : mergers) {
            out.fd = fd;
            out.order = &order;
            out.size = 8;
            out.buffer = std::make_unique<char[]>(out.size);
            out.spare = std::make_unique<char[]>(out.size);
            order.mergers.push_back(&out);
        }
        std::string expected;
        for (const step& s : steps) {
            output& out = mergers[s.merger];
            out.stretch = s.stretch;
            char* line = make_room(out, 1);
            line[0] = static_cast<char>('0' + s.stretch);
            line[1] = '\n';
            out.used += 2;
            end_stretch(out);
            expected += std::to_string(expected.size() / 2) + "\n";
        }
        EXPECT_EQ(contents(fd), expected) << steps.size() << " steps";
        EXPECT_EQ(order.current, steps.size());
        for (const output& out : mergers)
            EXPECT_EQ(out.parked, output::no_stretch);
        close(fd);
    }
}

// Events between the threads, each awaited for 10 s at most: long enough
// for any loaded machine, short enough that a fault fails rather than hangs.
struct events {
    std::mutex lock;
    std::condition_variable changed;
    std::set<std::string> seen;

    void note(const std::string& event)
    {
        std::lock_guard hold(lock);
        seen.insert(event);
        changed.notify_all();
    }

    bool await(const std::string& event)
    {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, 10s, [&] { return seen.count(event) > 0; });
    }
};

// A pipe that takes a buffer and more in one write, so that the reader's
// first read fills exactly one buffer; false where the system refuses.
bool wide_pipe(int ends[2])
{
    return pipe(ends) == 0 && fcntl(ends[1], F_SETPIPE_SZ, pipe_size) >= pipe_size;
}

std::string lines_filling(std::size_t size, const std::string& line)
{
    std::string text;
    while (text.size() < size)
        text += line;
    return text;
}

// Whether `fd` has grown to `size` bytes within 10 s.
bool grows_to(int fd, std::size_t size)
{
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms)) {
        struct stat status;
        if (fstat(fd, &status) == 0 && static_cast<std::size_t>(status.st_size) >= size)
            return true;
    }
    return false;
}

// Two rounds of a buffer of lines without a list and a few lines with one,
// on one worker. In the first, the worker holds its piece until the reader
// has collected the few lines and settles before it waits: their
// diagnostics must come all the same. In the second, the worker has idled on
// an empty queue, and must take the new buffer before the reader settles.
TEST(Threads, IdleWorkerCollectsAndSettlingWaitsForIt)
{
    static_assert(buffer_size % 2 == 0, "lines of two bytes fill a buffer");
    events happened;
    before_classify = [&](std::string_view bytes, bool on_reader) {
        if (!on_reader && bytes[0] == 'x') {
            happened.note("worker holds");
            happened.await("reader settles");
            std::this_thread::sleep_for(200ms);
        } else if (!on_reader && bytes[0] == 'y') {
            happened.note("worker takes the second buffer");
        } else if (on_reader && bytes[0] == 'a') {
            happened.await("worker holds");
            happened.note("reader settles");
        } else if (on_reader && bytes[0] == 'b') {
            happened.await("worker takes the second buffer");
        }
    };
    int ends[2];
    if (!wide_pipe(ends))
        GTEST_SKIP() << "no pipe of " << pipe_size << " bytes";
    const int out = memfd_create("output", 0), err = memfd_create("errors", 0);
    int status = -1;
    std::thread collector([&] {
        reader = std::this_thread::get_id();
        status = collect_tokens(ends[0], out, err,
                                {.threads = 2, .min_range = 1, .classify = watched_classify});
    });
    const std::string eol = "End of line\n";
    const std::size_t lines = buffer_size / 2;
    const std::string first = lines_filling(buffer_size, "x\n") + lines_filling(50, "a[1]\n"),
                      second = lines_filling(buffer_size, "y\n") + lines_filling(50, "b[2]\n");
    ASSERT_EQ(write(ends[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_TRUE(grows_to(err, lines * eol.size()))
        << "settling left the diagnostics of a piece a worker held";
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(write(ends[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
    EXPECT_TRUE(grows_to(err, 2 * lines * eol.size()));
    close(ends[1]);
    collector.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(contents(out), "1\n2\n");
    EXPECT_TRUE(contents(err) == lines_filling(2 * lines * eol.size(), eol));
    std::lock_guard hold(happened.lock);
    EXPECT_TRUE(happened.seen.count("worker holds")) << "no worker took the first buffer";
    EXPECT_TRUE(happened.seen.count("worker takes the second buffer"))
        << "the worker did not take a buffer after idling";
    for (int fd : {ends[0], out, err})
        close(fd);
}

// Memory runs out on a stream's worker, on its reader, and on every thread
// reading a range of a file: each run ends with the one message, status 1
// and no listing, the reader waiting for the worker to fail before it goes
// on, so that the worker does. A file whose range ran out on a thread of
// its own is collected again on one thread, and lists.
TEST(Threads, OutOfMemoryWhileCollecting)
{
    static_assert(buffer_size % 4 == 0, "lines of four bytes fill a buffer");
    const std::string in_buffer = lines_filling(buffer_size, "[1]\n") + "[2]\n[3]\n";
    const std::string in_ranges =
        lines_filling(1 << 14, "[1]\n") + lines_filling(1 << 15, "z[2]\n");
    struct oom_case {
        const char* where;
        bool file;
        std::function<void(std::string_view bytes, bool on_reader)> hook;
        std::string input;
        const char* listing = nullptr; // where it lists
    };
    events happened;
    const oom_case cases[] = {
        {"a stream's worker", false,
         [&](std::string_view, bool on_reader) {
             if (!on_reader) {
                 happened.note("worker ran out");
                 throw std::bad_alloc();
             }
             happened.await("worker ran out");
         },
         in_buffer},
        {"a stream's reader", false,
         [](std::string_view, bool on_reader) {
             if (on_reader)
                 throw std::bad_alloc();
         },
         in_buffer},
        {"a file, on every thread", true,
         [](std::string_view bytes, bool) {
             if (bytes.find('z') != bytes.npos)
                 throw std::bad_alloc();
         },
         in_ranges},
        {"a file's range, on a thread of its own", true,
         [](std::string_view bytes, bool on_reader) {
             if (!on_reader && bytes.find('z') != bytes.npos)
                 throw std::bad_alloc();
         },
         in_ranges, "1\n2\n"},
    };
    for (const oom_case& c : cases) {
        before_classify = c.hook;
        reader = std::this_thread::get_id();
        int ends[2];
        if (c.file)
            ends[0] = ends[1] = memfd_create("input", 0);
        else if (!wide_pipe(ends))
            GTEST_SKIP() << "no pipe of " << pipe_size << " bytes";
        ASSERT_EQ(write(ends[1], c.input.data(), c.input.size()),
                  static_cast<ssize_t>(c.input.size()));
        if (c.file)
            lseek(ends[0], 0, SEEK_SET);
        else
            close(ends[1]);
        const int out = memfd_create("output", 0), err = memfd_create("errors", 0);
        EXPECT_EQ(collect_tokens(ends[0], out, err,
                                 {.threads = 2, .min_range = 1, .classify = watched_classify}),
                  c.listing ? 0 : 1)
            << c.where;
        EXPECT_EQ(contents(out), c.listing ? c.listing : "") << c.where;
        EXPECT_EQ(contents(err), c.listing ? "" : "tokcollect: out of memory\n") << c.where;
        for (int fd : {ends[0], out, err})
            close(fd);
    }
}

} // namespace
