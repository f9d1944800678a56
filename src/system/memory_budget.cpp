// SPDX-License-Identifier: MIT
// Taking from the budget and giving back, from any thread.
#include "system/memory_budget.h"

#include <new>

void charge(memory_budget* budget, std::size_t bytes)
{
    if (!budget || bytes == 0)
        return;
    std::size_t used = budget->used.load(std::memory_order_relaxed);
    do {
        if (bytes > budget->ceiling || used > budget->ceiling - bytes)
            throw std::bad_alloc();
    } while (!budget->used.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    for (std::size_t peak = budget->peak.load(std::memory_order_relaxed);
         used + bytes > peak &&
         !budget->peak.compare_exchange_weak(peak, used + bytes, std::memory_order_relaxed);) {
    }
}

void refund(memory_budget* budget, std::size_t bytes)
{
    if (budget && bytes)
        budget->used.fetch_sub(bytes, std::memory_order_relaxed);
}

void resize(budget_share& share, std::size_t bytes)
{
    if (bytes > share.bytes)
        charge(share.budget, bytes - share.bytes);
    else
        refund(share.budget, share.bytes - bytes);
    share.bytes = bytes;
}
