// SPDX-License-Identifier: MIT
// Writing the listing's output buffers, each stretch in its turn.
#include "listing/listing_output.h"

#include <cassert>
#include <new>
#include <utility>

#include "system/write_all.h"

namespace
{

// Waits under `lock` until `ready`, or throws where the turns were
// abandoned.
template <typename Ready>
void wait_until(turns& order, std::unique_lock<std::mutex>& lock, Ready&& ready)
{
    order.changed.wait(lock, [&] { return ready() || order.abandoned; });
    if (order.abandoned)
        throw std::bad_alloc();
}

void wait_for_turn(output& out)
{
    std::unique_lock lock(out.order->lock);
    wait_until(*out.order, lock, [&out] { return out.order->current == out.stretch; });
}

// Writes, outside the lock, what the writer in turn holds.
void write_in_turn(turns& order, std::unique_lock<std::mutex>& lock, int fd, const char* bytes,
                   std::size_t size)
{
    lock.unlock();
    if (order.error == 0 && size > 0)
        order.error = write_all(fd, bytes, size);
    lock.lock();
}

// The merger whose spare holds stretch `stretch`, if any.
output* parked_at(const turns& order, std::size_t stretch)
{
    for (output* merger : order.mergers)
        if (merger->parked == stretch)
            return merger;
    return nullptr;
}

// Hands the turn on from the stretch just written, writing every parked
// stretch whose turn comes, so that none waits for a merger busy with
// another.
void hand_on(turns& order, std::unique_lock<std::mutex>& lock)
{
    ++order.current;
    for (output* next; (next = parked_at(order, order.current));) {
        write_in_turn(order, lock, next->fd, next->spare.get(), next->spare_used);
        next->parked = output::no_stretch;
        ++order.current;
    }
    assert(!parked_at(order, order.current));
    order.changed.notify_all();
}

} // namespace

void abandon(turns& order)
{
    std::lock_guard lock(order.lock);
    order.abandoned = true;
    order.changed.notify_all();
}

void flush(output& out)
{
    if (out.used == 0)
        return;
    int& error = out.order ? out.order->error : out.error;
    if (out.order)
        wait_for_turn(out);
    if (error == 0)
        error = write_all(out.fd, out.buffer.get(), out.used);
    out.used = 0;
}

void end_stretch(output& out)
{
    if (!out.order) {
        flush(out);
        return;
    }
    turns& order = *out.order;
    std::unique_lock lock(order.lock);
    if (order.current != out.stretch && out.spare) {
        wait_until(order, lock, [&] {
            return out.parked == output::no_stretch || order.current == out.stretch;
        });
        if (order.current != out.stretch) {
            assert(out.parked == output::no_stretch && out.stretch > order.current);
            std::swap(out.buffer, out.spare);
            out.spare_used = std::exchange(out.used, 0);
            out.parked = out.stretch;
            return;
        }
    }
    wait_until(order, lock, [&] { return order.current == out.stretch; });
    write_in_turn(order, lock, out.fd, out.buffer.get(), out.used);
    out.used = 0;
    hand_on(order, lock);
}
