// SPDX-License-Identifier: MIT
// Slabs of one size for the partitions of one form (partitions.h), which
// every thread that fills a set takes from and gives back to. Slabs lie in
// extents of memory that never move once made, so a thread may write its
// own slabs while another takes new ones: only taking and giving back slabs
// takes the pool's lock. The first extents are small, and grow to a whole
// extent; where the budget allows (memory_policy.h), every whole extent is
// backed by huge pages, and the small ones are not, so that a small input
// maps and faults in only a little.
//
// A slab is named by its index, and lies at the index times its size from
// the start of the first extent, had the extents been laid end to end;
// slab 0 is never handed out, so that a slab of 0 can say "none". Beside
// its slabs, each extent keeps each slab's successor in the chain of the
// partition that holds it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "system/memory_budget.h"
#include "system/pages.h"

// Extents of 2 MiB, one huge page each; built with small parts, of 4 KiB,
// so that small inputs fill many.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr int extent_bits = 12;
#else
constexpr int extent_bits = 21;
#endif
constexpr std::size_t extent_bytes = std::size_t{1} << extent_bits;
// Every extent starts on a page at least.
constexpr std::size_t extent_alignment = page_bytes;
// The first extent maps only the slabs of its first 32 KiB, and the next
// ones twice as many as the one before, so that a small input takes little
// of the address space.
constexpr std::size_t first_extent_bytes = std::min(std::size_t{32} << 10, extent_bytes);

// Room for 512 GiB of slabs, in groups of extents made as they are needed,
// which never move; built with small parts, for 64 MiB.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t max_extents = std::size_t{1} << 14;
#else
constexpr std::size_t max_extents = std::size_t{1} << 18;
#endif
constexpr int extent_group_bits = 8;

struct slab_extent {
    unsigned char* bytes;
    std::uint32_t* next; // each slab's successor, in the extent's mapping
};

struct slab_pool {
    // A pool of slabs of `slab_bytes`, a power of two no larger than an
    // extent, whose extents count against `budget`. Throws std::bad_alloc
    // when memory runs out.
    slab_pool(std::size_t slab_bytes, memory_budget* budget);
    ~slab_pool();
    slab_pool(const slab_pool&) = delete;
    slab_pool& operator=(const slab_pool&) = delete;

    std::size_t slab_bytes;
    int extent_slab_bits; // an extent spans 2^extent_slab_bits slabs
    bool huge_pages;      // behind every whole extent
    std::mutex lock;      // over slabs taken and given back, and new extents
    // The extents, a group at a time: groups never move, so that entries may
    // be read without the lock.
    std::unique_ptr<slab_extent[]> extent_groups[max_extents >> extent_group_bits];
    std::size_t extent_count = 0;
    std::size_t slabs = 1; // handed out, slab 0 among them
    std::vector<std::uint32_t> free_slabs;
    std::vector<std::uint32_t> emptied_slabs; // free, their pages given back
    memory_budget* budget;
    budget_share extents_share; // of the extents' mappings, but emptied slabs
};

// Extent `extent` of `pool`.
inline const slab_extent& extent_of(const slab_pool& pool, std::size_t extent)
{
    constexpr std::size_t in_group = (std::size_t{1} << extent_group_bits) - 1;
    return pool.extent_groups[extent >> extent_group_bits][extent & in_group];
}

// The first byte of `slab`.
inline unsigned char* slab_start(const slab_pool& pool, std::uint32_t slab)
{
    const std::size_t offset = std::size_t{slab} * pool.slab_bytes;
    return extent_of(pool, offset >> extent_bits).bytes + (offset & (extent_bytes - 1));
}

// The slab after `slab` in its partition's chain.
inline std::uint32_t& next_slab(const slab_pool& pool, std::uint32_t slab)
{
    const std::uint32_t in_extent = (std::uint32_t{1} << pool.extent_slab_bits) - 1;
    return extent_of(pool, slab >> pool.extent_slab_bits).next[slab & in_extent];
}

// A free slab, or a new one. Throws std::bad_alloc when memory runs out.
std::uint32_t take_slab(slab_pool& pool);

// Gives slabs back, for any partition to take; once the budget is pressed,
// with the pages of every free slab, where a slab is a page or more.
void give_back(slab_pool& pool, const std::uint32_t* slabs, std::size_t count);
