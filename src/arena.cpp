// SPDX-License-Identifier: MIT
// The arena of long tokens' records.
#include "arena.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>

#include "huge_pages.h"
#include "packed_token.h"

namespace
{

// Grows the arena by doubling. mremap() moves the pages rather than copying
// them, so growing never holds two copies.
void reserve(record_arena& arena, std::size_t size)
{
    const std::size_t mapped = arena.bytes.get_deleter().size;
    if (size <= mapped)
        return;
    const std::size_t wanted = std::max({size, 2 * mapped, std::size_t{1} << 20});
    void* old = arena.bytes.get();
    void* grown =
        old ? mremap(old, mapped, wanted, MREMAP_MAYMOVE)
            : mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED)
        throw std::bad_alloc();
    advise_huge_pages(grown, wanted);
    arena.bytes.release();
    arena.bytes = {static_cast<unsigned char*>(grown), arena_unmap{wanted}};
}

} // namespace

void arena_unmap::operator()(unsigned char* arena) const
{
    munmap(arena, size);
}

std::uint64_t store_record(record_arena& arena, const unsigned char* record)
{
    const std::size_t size = record_size(record_length(record)), at = arena.used;
    reserve(arena, at + size + record_slack);
    std::memcpy(arena.bytes.get() + at, record, size);
    arena.used += size;
    return at;
}
