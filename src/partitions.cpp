// SPDX-License-Identifier: MIT
// Appending to partitions, deduplicating the ones that double, and moving
// entries into new partitions.
#include "partitions.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>

namespace
{

template <typename Kind> std::uint32_t take_slab(partitions<Kind>& tokens)
{
    if (!tokens.free_slabs.empty()) {
        const std::uint32_t slab = tokens.free_slabs.back();
        tokens.free_slabs.pop_back();
        return slab;
    }
    // A record load reads a few bytes past the last slab.
    grow_block(tokens.pool, (tokens.slabs + 1) * Kind::slab_bytes + record_slack);
    tokens.next_slab.resize(tokens.slabs + 1);
    return static_cast<std::uint32_t>(tokens.slabs++);
}

// A zeroed deduplicating table of `slots` slots of `slot_size` bytes.
template <typename Kind>
unsigned char* clear_scratch(partitions<Kind>& tokens, std::size_t slots, std::size_t slot_size)
{
    const std::size_t bytes = slots * slot_size;
    if (bytes > tokens.scratch_bytes) {
        tokens.scratch.reset();
        tokens.scratch_bytes = 0;
        tokens.scratch.reset(static_cast<unsigned char*>(std::malloc(bytes)));
        if (!tokens.scratch)
            throw std::bad_alloc();
        tokens.scratch_bytes = bytes;
    }
    std::memset(tokens.scratch.get(), 0, bytes);
    return tokens.scratch.get();
}

// Marks where a slab's entries end, `at`, short of `slab_end`, with a zero
// length where there is room for one; entries of one size fill their slabs.
template <typename Kind>
void mark_slab_end(partitions<Kind>& tokens, std::size_t at, std::size_t slab_end)
{
    if (!fixed_size<Kind> && at + record_header <= slab_end)
        std::memset(tokens.pool.get() + at, 0, record_header);
}

// Where the entries kept by deduplicate() go: back over the partition's own
// chain, which is read ahead of them.
struct writer {
    std::uint32_t slab;
    std::size_t at;
};

// Where the writer puts an entry of `size` bytes: where it stands, or, if
// its slab has no room, at the start of the next, the rest of its own slab
// marked. The writer moves there.
template <typename Kind>
inline std::size_t room_back(partitions<Kind>& tokens, writer& to, std::size_t size)
{
    const std::size_t slab_end = (std::size_t{to.slab} + 1) * Kind::slab_bytes;
    if (to.at + size > slab_end) {
        mark_slab_end(tokens, to.at, slab_end);
        to.slab = tokens.next_slab[to.slab];
        to.at = to.slab * Kind::slab_bytes;
    }
    return to.at;
}

// Finds `entry` in a deduplicating table of `slots` slots, from the slot
// that `hash` picks: true if an equal entry is there, else false, having
// put it in. The table holds a form of one size by value, with 0, which no
// entry is, for a free slot; records by their offsets in the pool, with 0,
// which slab 0 never gives, for a free slot. `offset` is where the entry
// will be kept.
template <typename Kind>
inline bool seen(const partitions<Kind>& tokens, unsigned char* table, std::size_t slots,
                 std::size_t slot, const unsigned char* entry, std::size_t offset)
{
    if constexpr (fixed_size<Kind>) {
        using value = typename Kind::value;
        const value wanted = Kind::load(entry);
        auto* values = reinterpret_cast<value*>(table);
        for (; !(values[slot] == value{}); slot = (slot + 1) & (slots - 1))
            if (values[slot] == wanted)
                return true;
        values[slot] = wanted;
    } else {
        auto* offsets = reinterpret_cast<std::size_t*>(table);
        for (; offsets[slot] != 0; slot = (slot + 1) & (slots - 1))
            if (Kind::same(tokens.pool.get() + offsets[slot], entry))
                return true;
        offsets[slot] = offset;
    }
    return false;
}

// Keeps one of each entry, in the order first seen, written back over the
// partition's own chain, whose slabs past the last entry kept are freed.
// Writing never overtakes reading, as no more is kept than read, and an
// entry that fits where it was read fits at the start of any slab; the
// writer moves on to a slab only once the reader has.
// Duplicates are found through a table of at least twice as many slots,
// indexed by the hash bits below those that chose the partition.
template <typename Kind> void deduplicate(partitions<Kind>& tokens, partition& part)
{
    const std::size_t slots = std::bit_ceil(2 * part.size);
    std::size_t slot_size = sizeof(std::size_t);
    if constexpr (fixed_size<Kind>)
        slot_size = sizeof(typename Kind::value);
    unsigned char* table = clear_scratch(tokens, slots, slot_size);
    const int shift = 64 - std::countr_zero(slots);
    writer to{part.first, part.first * Kind::slab_bytes};
    std::size_t kept = 0;
    for_each_entry(tokens, part, [&](const unsigned char* entry) {
        const std::size_t size = Kind::size(entry), at = room_back(tokens, to, size);
        const std::size_t slot = (Kind::hash(tokens.key, entry) << tokens.bits) >> shift;
        if (seen(tokens, table, slots, slot, entry, at))
            return;
        std::memmove(tokens.pool.get() + at, entry, size);
        to.at = at + size;
        ++kept;
    });
    for (std::uint32_t spare = to.slab; spare != part.last;) {
        spare = tokens.next_slab[spare];
        tokens.free_slabs.push_back(spare);
    }
    tokens.size -= part.size - kept;
    part.size = kept;
    part.last = to.slab;
    part.end = to.at;
}

// Each slab goes back to the pool once read, before the next is, so the new
// partitions take the slabs the old ones give up. An entry is copied out
// before it is appended, since appending may move the pool, and what a slab
// links to is read before it goes, since taking it rewrites that.
template <typename Kind, typename Choose>
void move_entries(partitions<Kind>& tokens, int bits, bool distinct, Choose&& choose)
{
    const std::unique_ptr<partition[]> old = std::move(tokens.parts);
    const std::size_t old_count = std::size_t{1} << tokens.bits;
    tokens.size = 0;
    open_partitions(tokens, tokens.key, bits, distinct);
    unsigned char entry[max_record_size + record_slack];
    for (std::size_t p = 0; p < old_count; ++p) {
        const partition& part = old[p];
        for (std::uint32_t slab = part.end ? part.first : 0; slab != 0;) {
            const bool last = slab == part.last;
            const std::size_t begin = slab * Kind::slab_bytes;
            const std::size_t end = last ? part.end : begin + Kind::slab_bytes;
            if constexpr (fixed_size<Kind>) {
                for (std::size_t at = begin; at < end; at += sizeof(typename Kind::value)) {
                    const typename Kind::value value = Kind::load(tokens.pool.get() + at);
                    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
                    append_entry(tokens, choose(bytes), bytes, sizeof value);
                }
            } else {
                for (std::size_t at = begin; at + record_header <= end;) {
                    const unsigned char* from = tokens.pool.get() + at;
                    if (Kind::ends_slab(from))
                        break;
                    const std::size_t size = Kind::size(from);
                    std::memcpy(entry, from, size);
                    append_entry(tokens, choose(entry), entry, size);
                    at += size;
                }
            }
            const std::uint32_t next = last ? 0 : tokens.next_slab[slab];
            tokens.free_slabs.push_back(slab);
            slab = next;
        }
    }
}

} // namespace

template <typename Kind>
[[gnu::noinline]] void open_partitions(partitions<Kind>& tokens, const hash_key& key, int bits,
                                       bool distinct)
{
    tokens.bits = bits;
    tokens.parts = std::make_unique<partition[]>(std::size_t{1} << bits);
    if (distinct)
        for (std::size_t p = 0; p < std::size_t{1} << bits; ++p)
            tokens.parts[p].limit = SIZE_MAX;
    tokens.key = key;
}

// Out of line, like bucket_partitions(), so that the appends that may call
// it stay small.
template <typename Kind> [[gnu::noinline]] void split_partitions(partitions<Kind>& tokens, int bits)
{
    move_entries(tokens, bits, false, [&](const unsigned char* entry) {
        return hash_partition(Kind::hash(tokens.key, entry), bits);
    });
}

template <typename Kind>
[[gnu::noinline]] void bucket_partitions(partitions<Kind>& tokens, int shift, int bits)
{
    tokens.scratch.reset();
    tokens.scratch_bytes = 0;
    move_entries(tokens, bits, true, [&](const unsigned char* entry) {
        return order_bucket(Kind::first_word(entry), shift, bits);
    });
}

template <typename Kind>
void make_slab_room(partitions<Kind>& tokens, partition& part, std::size_t size)
{
    if (part.size >= part.limit && part.size > 0) {
        const std::size_t before = part.size;
        deduplicate(tokens, part);
        // Where few tokens recur, deduplicating again soon would find little,
        // and the listing's sort drops the repeats left.
        const std::size_t growth = 8 * (before - part.size) < before ? 8 : 2;
        part.limit = std::max(growth * part.size, entry_slab_bytes / 8);
        if (part.end + size <= (std::size_t{part.last} + 1) * Kind::slab_bytes)
            return;
    }
    const std::uint32_t slab = take_slab(tokens);
    if (part.end == 0) {
        part.first = slab;
    } else {
        mark_slab_end(tokens, part.end, (std::size_t{part.last} + 1) * Kind::slab_bytes);
        tokens.next_slab[part.last] = slab;
    }
    part.last = slab;
    part.end = slab * Kind::slab_bytes;
    assert(size <= Kind::slab_bytes);
}

#define TOKCOLLECT_PARTITIONS(Kind)                                                                \
    template void open_partitions(partitions<Kind>&, const hash_key&, int, bool);                  \
    template void split_partitions(partitions<Kind>&, int);                                        \
    template void bucket_partitions(partitions<Kind>&, int, int);                                  \
    template void make_slab_room(partitions<Kind>&, partition&, std::size_t);
TOKCOLLECT_PARTITIONS(word_kind)
TOKCOLLECT_PARTITIONS(pair_kind)
TOKCOLLECT_PARTITIONS(record_kind)
