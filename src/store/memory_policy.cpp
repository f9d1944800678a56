// SPDX-License-Identifier: MIT
// The memory policy's sums.
#include "store/memory_policy.h"

#include <algorithm>
#include <bit>

namespace
{

std::size_t less_margin(std::uint64_t memory)
{
    const std::uint64_t margin = margin_bytes + memory / margin_divisor;
    return memory > margin
               ? static_cast<std::size_t>(std::min<std::uint64_t>(memory - margin, SIZE_MAX))
               : 0;
}

} // namespace

std::size_t planned_for(const process_limits& limits)
{
    return less_margin(std::min(limits.memory, limits.address_space));
}

std::size_t ceiling_for(const process_limits& limits)
{
    return less_margin(limits.memory);
}

std::size_t threads_within(std::size_t cpus, std::size_t planned, std::size_t thread_bytes)
{
    return std::clamp<std::size_t>(planned / thread_divisor / thread_bytes, 1,
                                   std::max<std::size_t>(cpus, 1));
}

std::size_t shards_within(std::size_t planned, std::size_t most)
{
    return std::clamp<std::size_t>(
        std::bit_floor(std::max<std::size_t>(planned / first_run_divisor / shard_bytes, 1)), 2,
        most);
}

// Built with small parts, runs start at once.
std::size_t first_run_bytes(std::size_t planned, std::size_t shards)
{
#ifdef TOKCOLLECT_SMALL_PARTS
    static_cast<void>(planned);
    static_cast<void>(shards);
    return 0;
#else
    return planned / first_run_divisor / shards;
#endif
}

int partition_bits_for(std::size_t slabs)
{
    return std::bit_width(std::max<std::size_t>(slabs / partition_slabs, 1)) - 1;
}

std::size_t batch_slabs(std::size_t partitions, std::size_t shards, std::size_t first_slabs)
{
    const std::size_t slabs = std::max<std::size_t>(partitions / shards, 1);
    if (first_slabs == 0)
        return slabs;
    return std::min(slabs, std::max<std::size_t>(first_slabs / batch_divisor, 2));
}
