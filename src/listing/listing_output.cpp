// SPDX-License-Identifier: MIT
// Writing the listing's output buffers, each stretch in its turn.
#include "listing/listing_output.h"

#include <new>

#include "system/write_all.h"

namespace
{

void wait_for_turn(output& out)
{
    std::unique_lock lock(out.order->lock);
    out.order->changed.wait(
        lock, [&out] { return out.order->current == out.stretch || out.order->abandoned; });
    if (out.order->abandoned)
        throw std::bad_alloc();
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
    flush(out);
    if (!out.order)
        return;
    wait_for_turn(out);
    std::lock_guard lock(out.order->lock);
    ++out.order->current;
    out.order->changed.notify_all();
}
