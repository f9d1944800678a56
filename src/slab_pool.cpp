// SPDX-License-Identifier: MIT
// Making chunks, and handing slabs out of them.
#include "slab_pool.h"

#include <cassert>
#include <cstdint>
#include <new>
#include <sys/mman.h>

namespace
{

// Chunks for 512 GiB of slabs: 4 MiB of chunk entries, which take pages
// only as they are written. Built with small parts, for 64 MiB: the
// sanitizers write a shadow of every byte of the table, made for every run.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t max_chunks = std::size_t{1} << 14;
#else
constexpr std::size_t max_chunks = std::size_t{1} << 18;
#endif

// Room past a chunk's end for a read past its last slab.
constexpr std::size_t chunk_slack = 4096;

// A chunk, aligned to its size where `huge` asks for huge pages, which the
// kernel backs only so; null when memory runs out.
unsigned char* map_chunk(bool huge)
{
    const std::size_t extra = huge ? chunk_bytes : 0;
    void* mapped = mmap(nullptr, chunk_bytes + chunk_slack + extra, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto* start = static_cast<unsigned char*>(mapped);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(start);
        auto* aligned = start + ((chunk_bytes - address % chunk_bytes) % chunk_bytes);
        if (aligned > start)
            munmap(start, static_cast<std::size_t>(aligned - start));
        const std::size_t tail = static_cast<std::size_t>(
            start + chunk_bytes + chunk_slack + extra - (aligned + chunk_bytes + chunk_slack));
        if (tail)
            munmap(aligned + chunk_bytes + chunk_slack, tail);
        madvise(aligned, chunk_bytes, MADV_HUGEPAGE);
        start = aligned;
    }
    return start;
}

// Adds a chunk, or throws std::bad_alloc.
void add_chunk(slab_pool& pool)
{
    if (pool.chunks.size() == max_chunks)
        throw std::bad_alloc();
    auto next = std::make_unique<std::uint32_t[]>(chunk_bytes / pool.slab_bytes);
    unsigned char* bytes = map_chunk(!pool.chunks.empty() && chunk_bits >= 21);
    if (!bytes)
        throw std::bad_alloc();
    pool.chunks.push_back({bytes, std::move(next)});
}

} // namespace

slab_pool::slab_pool(std::size_t slab_bytes) : slab_bytes(slab_bytes)
{
    assert(slab_bytes > 0 && slab_bytes <= chunk_bytes && chunk_bytes % slab_bytes == 0);
    chunks.reserve(max_chunks);
}

slab_pool::~slab_pool()
{
    for (const slab_chunk& chunk : chunks)
        munmap(chunk.bytes, chunk_bytes + chunk_slack);
}

std::uint32_t take_slab(slab_pool& pool)
{
    std::lock_guard hold(pool.lock);
    if (!pool.free_slabs.empty()) {
        const std::uint32_t slab = pool.free_slabs.back();
        pool.free_slabs.pop_back();
        return slab;
    }
    if (pool.slabs * pool.slab_bytes >= pool.chunks.size() * chunk_bytes)
        add_chunk(pool);
    if (pool.slabs > UINT32_MAX)
        throw std::bad_alloc();
    return static_cast<std::uint32_t>(pool.slabs++);
}

void give_back(slab_pool& pool, const std::uint32_t* slabs, std::size_t count)
{
    std::lock_guard hold(pool.lock);
    pool.free_slabs.insert(pool.free_slabs.end(), slabs, slabs + count);
}
