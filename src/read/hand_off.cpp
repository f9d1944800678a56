// SPDX-License-Identifier: MIT
// The hand-off between the reader and the workers: one lock over the
// buffers, the waiting pieces and their counts. The reader takes it once a
// read for the counts, and a few times a buffer; a worker twice a piece,
// which is nearly a whole buffer while input streams in. So the lock is
// taken a few times for every 128 KiB of input, and seldom waited for.
#include "read/hand_off.h"

#include <cassert>
#include <new>

namespace
{

// The lock is held.
void require_not_failed(const hand_off& queue)
{
    if (queue.failed)
        throw std::bad_alloc();
}

// The oldest waiting piece, taken, or nothing; the lock is held.
std::optional<piece> take_oldest(hand_off& queue)
{
    if (queue.waiting.empty())
        return std::nullopt;
    const piece next = queue.waiting.front();
    queue.waiting.pop_front();
    ++queue.taken;
    return next;
}

bool all_collected(const hand_off& queue)
{
    return queue.waiting.empty() && queue.taken == 0;
}

} // namespace

read_buffer* take_buffer(hand_off& queue)
{
    std::lock_guard hold(queue.lock);
    require_not_failed(queue);
    if (!queue.free.empty()) {
        read_buffer* buffer = queue.free.back();
        queue.free.pop_back();
        return buffer;
    }
    if (queue.buffers.size() == queue.max_buffers)
        return nullptr;
    // Left uninitialised: the reader defines what it reads and what the
    // classifier reads past it.
    resize(queue.buffers_share, queue.buffers_share.bytes + sizeof(read_buffer));
    queue.buffers.emplace_back(new read_buffer);
    return queue.buffers.back().get();
}

void wait_for_buffer(hand_off& queue)
{
    std::unique_lock hold(queue.lock);
    queue.for_reader.wait(hold, [&] { return !queue.free.empty() || queue.failed; });
    require_not_failed(queue);
}

void hand_over(hand_off& queue, read_buffer* buffer, std::size_t size)
{
    assert(size > 0 && size <= buffer_size);
    {
        std::lock_guard hold(queue.lock);
        queue.waiting.push_back({buffer, size, queue.next_number++});
        queue.lists_missing.emplace_back();
    }
    queue.for_workers.notify_one();
}

void add_collected(hand_off& queue, std::size_t lists_missing)
{
    std::lock_guard hold(queue.lock);
    ++queue.next_number;
    queue.lists_missing.emplace_back(lists_missing);
}

std::optional<piece> next_piece(hand_off& queue)
{
    std::unique_lock hold(queue.lock);
    queue.for_workers.wait(hold,
                           [&] { return !queue.waiting.empty() || queue.closed || queue.failed; });
    require_not_failed(queue);
    return take_oldest(queue);
}

std::optional<piece> waiting_piece(hand_off& queue)
{
    std::lock_guard hold(queue.lock);
    require_not_failed(queue);
    return take_oldest(queue);
}

void finish_piece(hand_off& queue, const piece& done, std::size_t lists_missing)
{
    {
        std::lock_guard hold(queue.lock);
        assert(done.number >= queue.first_unreported && queue.taken > 0);
        queue.lists_missing[done.number - queue.first_unreported] = lists_missing;
        queue.free.push_back(done.buffer);
        --queue.taken;
    }
    queue.for_reader.notify_one();
}

std::size_t take_lists_missing(hand_off& queue)
{
    std::lock_guard hold(queue.lock);
    std::size_t count = 0;
    for (; !queue.lists_missing.empty() && queue.lists_missing.front();
         queue.lists_missing.pop_front(), ++queue.first_unreported)
        count += *queue.lists_missing.front();
    return count;
}

void wait_until_collected(hand_off& queue)
{
    std::unique_lock hold(queue.lock);
    queue.for_reader.wait(hold, [&] { return all_collected(queue) || queue.failed; });
    require_not_failed(queue);
}

bool wait_until_collected_for(hand_off& queue, std::chrono::microseconds most)
{
    std::unique_lock hold(queue.lock);
    queue.for_reader.wait_for(hold, most, [&] { return all_collected(queue) || queue.failed; });
    require_not_failed(queue);
    return all_collected(queue);
}

void close_queue(hand_off& queue)
{
    {
        std::lock_guard hold(queue.lock);
        queue.closed = true;
    }
    queue.for_workers.notify_all();
}

void fail_queue(hand_off& queue)
{
    {
        std::lock_guard hold(queue.lock);
        queue.failed = true;
    }
    queue.for_workers.notify_all();
    queue.for_reader.notify_all();
}

void throw_if_failed(hand_off& queue)
{
    std::lock_guard hold(queue.lock);
    require_not_failed(queue);
}
