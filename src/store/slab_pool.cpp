// SPDX-License-Identifier: MIT
// Making extents, and handing slabs out of them.
#include "store/slab_pool.h"

#include <bit>
#include <cassert>
#include <cstdint>
#include <new>
#include <sys/mman.h>

#include "store/memory_policy.h"
#include "system/pages.h"

namespace
{

// Room past an extent's end for a read past its last slab, and then for
// its slabs' successors.
constexpr std::size_t extent_slack = 4096;

// The bytes of extent `extent` that hold slabs: the first few extents hold
// fewer, doubling up to a whole extent.
std::size_t slab_room(std::size_t extent)
{
    return extent < extent_bits ? std::min(first_extent_bytes << extent, extent_bytes)
                                : extent_bytes;
}

std::size_t mapping_bytes(const slab_pool& pool, std::size_t extent)
{
    return slab_room(extent) + extent_slack +
           slab_room(extent) / pool.slab_bytes * sizeof(std::uint32_t);
}

// Whether extent `extent` is backed by huge pages.
bool huge_extent(const slab_pool& pool, std::size_t extent)
{
    return pool.huge_pages && slab_room(extent) == extent_bytes;
}

// An extent, aligned to a huge page where `huge` asks for them, which the
// kernel backs only so; null when memory runs out.
unsigned char* map_extent(std::size_t bytes, bool huge)
{
    const std::size_t extra = huge ? huge_page_bytes : 0;
    void* mapped =
        mmap(nullptr, bytes + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto* start = static_cast<unsigned char*>(mapped);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(start);
        auto* aligned = start + ((huge_page_bytes - address % huge_page_bytes) % huge_page_bytes);
        if (aligned > start)
            munmap(start, static_cast<std::size_t>(aligned - start));
        const std::size_t tail =
            static_cast<std::size_t>(start + bytes + extra - (aligned + bytes));
        if (tail)
            munmap(aligned + bytes, tail);
        advise_huge_pages(aligned, extent_bytes);
        start = aligned;
    }
    return start;
}

// The bytes of an extent that count against the budget as it is mapped:
// all of it where huge pages back it, each of which is resident whole once
// touched; else what lies past its slabs, whose pages count as slabs are
// handed out.
std::size_t mapped_share(const slab_pool& pool, std::size_t extent)
{
    const std::size_t bytes = mapping_bytes(pool, extent);
    return huge_extent(pool, extent) ? bytes : bytes - slab_room(extent);
}

// Adds an extent, and a group for it if it starts one, or throws
// std::bad_alloc.
void add_extent(slab_pool& pool)
{
    const std::size_t extent = pool.extent_count;
    if (extent == max_extents)
        throw std::bad_alloc();
    std::unique_ptr<slab_extent[]>& group = pool.extent_groups[extent >> extent_group_bits];
    if (!group)
        group = std::make_unique<slab_extent[]>(std::size_t{1} << extent_group_bits);
    resize(pool.extents_share, pool.extents_share.bytes + mapped_share(pool, extent));
    unsigned char* bytes = map_extent(mapping_bytes(pool, extent), huge_extent(pool, extent));
    if (!bytes) {
        resize(pool.extents_share, pool.extents_share.bytes - mapped_share(pool, extent));
        throw std::bad_alloc();
    }
    group[extent & ((std::size_t{1} << extent_group_bits) - 1)] = {
        bytes, reinterpret_cast<std::uint32_t*>(bytes + slab_room(extent) + extent_slack)};
    ++pool.extent_count;
}

// Empties free slabs: their pages, and their share of the budget, go back.
void empty_slabs(slab_pool& pool, const std::uint32_t* slabs, std::size_t count)
{
    for (const std::uint32_t* slab = slabs; slab != slabs + count; ++slab)
        madvise(slab_start(pool, *slab), pool.slab_bytes, MADV_DONTNEED);
    pool.emptied_slabs.insert(pool.emptied_slabs.end(), slabs, slabs + count);
    resize(pool.extents_share, pool.extents_share.bytes - count * pool.slab_bytes);
}

} // namespace

slab_pool::slab_pool(std::size_t slab_bytes, memory_budget* budget)
    : slab_bytes(slab_bytes), extent_slab_bits(std::countr_zero(extent_bytes / slab_bytes)),
      huge_pages(extent_bytes >= huge_page_bytes &&
                 (!budget || budget->planned >= huge_pages_from)),
      budget(budget), extents_share(budget)
{
    assert(std::has_single_bit(slab_bytes) && slab_bytes <= first_extent_bytes);
}

slab_pool::~slab_pool()
{
    for (std::size_t i = 0; i < extent_count; ++i)
        munmap(extent_of(*this, i).bytes, mapping_bytes(*this, i));
}

std::uint32_t take_slab(slab_pool& pool)
{
    std::lock_guard hold(pool.lock);
    if (!pool.free_slabs.empty()) {
        const std::uint32_t slab = pool.free_slabs.back();
        pool.free_slabs.pop_back();
        return slab;
    }
    if (!pool.emptied_slabs.empty()) {
        resize(pool.extents_share, pool.extents_share.bytes + pool.slab_bytes);
        const std::uint32_t slab = pool.emptied_slabs.back();
        pool.emptied_slabs.pop_back();
        return slab;
    }
    // The slabs of a small extent past its room are never handed out.
    const std::size_t extents = pool.extent_count;
    if (extents == 0 ||
        pool.slabs * pool.slab_bytes >= (extents - 1) * extent_bytes + slab_room(extents - 1)) {
        pool.slabs = std::max(pool.slabs, extents * extent_bytes / pool.slab_bytes);
        add_extent(pool);
    }
    if (pool.slabs > UINT32_MAX)
        throw std::bad_alloc();
    if (!huge_extent(pool, pool.extent_count - 1))
        resize(pool.extents_share, pool.extents_share.bytes + pool.slab_bytes);
    return static_cast<std::uint32_t>(pool.slabs++);
}

// Once the budget is pressed, the pages of free slabs go back, those that
// wait in the pool too: else the pool would keep what its partitions held
// at their most, which runs now hold in a third of the room.
void give_back(slab_pool& pool, const std::uint32_t* slabs, std::size_t count)
{
    std::lock_guard hold(pool.lock);
    pool.free_slabs.insert(pool.free_slabs.end(), slabs, slabs + count);
    if (pool.slab_bytes % page_bytes == 0 && pressed(pool.budget)) {
        empty_slabs(pool, pool.free_slabs.data(), pool.free_slabs.size());
        pool.free_slabs.clear();
    }
}
