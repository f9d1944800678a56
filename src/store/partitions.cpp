// SPDX-License-Identifier: MIT
// Appending to partitions, deduplicating the ones that double, taking turns
// where they find their entries distinct, and moving entries into new
// partitions.
#include "store/partitions.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <utility>

#include "store/memory_policy.h"

namespace
{

// A partition's turn lasts while it fills this many slabs.
constexpr std::size_t slabs_a_turn = 8;

// Up to spare_slabs slabs that a form's partitions free are kept for them to
// take again without the pool's lock; half go back once there are more.
constexpr std::size_t spare_slabs = 64;

template <typename Kind> void put_spare(partitions<Kind>& parts, std::uint32_t slab)
{
    if (parts.spares.size() == spare_slabs) {
        give_back(*parts.pool, parts.spares.data() + spare_slabs / 2, spare_slabs / 2);
        parts.spares.resize(spare_slabs / 2);
    }
    parts.spares.push_back(slab);
}

template <typename Kind> std::uint32_t take_spare(partitions<Kind>& parts)
{
    ++parts.slabs;
    if (parts.spares.empty())
        return take_slab(*parts.pool);
    const std::uint32_t slab = parts.spares.back();
    parts.spares.pop_back();
    return slab;
}

// A slab of a partition's chain, no longer in it.
template <typename Kind> void release_slab(partitions<Kind>& parts, std::uint32_t slab)
{
    --parts.slabs;
    put_spare(parts, slab);
}

// Marks where a slab's entries end, `at`, short of `filled`, the most they
// may fill, with a zero length where there is room for one; entries of one
// size fill their slabs.
template <typename Kind> void mark_slab_end(unsigned char* at, const unsigned char* filled)
{
    if (!Kind::fixed_size && at + record_header <= filled)
        std::memset(at, 0, record_header);
}

// Where the entries kept by deduplicate() go: back over the partition's own
// chain, which is read ahead of them.
struct writer {
    std::uint32_t slab;
    unsigned char* at;
    unsigned char* filled; // the most that `slab` may hold ends here
};

template <typename Kind> writer write_at(const partitions<Kind>& parts, std::uint32_t slab)
{
    unsigned char* start = slab_start(parts, slab);
    return {slab, start, start + filled_bytes<Kind>};
}

// Where the writer puts an entry of `size` bytes: where it stands, or, if
// its slab has no room, at the start of the next, the rest of its own slab
// marked. The writer moves there.
template <typename Kind>
unsigned char* room_back(const partitions<Kind>& parts, writer& to, std::size_t size)
{
    if (to.at + size > to.filled) {
        mark_slab_end<Kind>(to.at, to.filled);
        to = write_at(parts, next_slab(*parts.pool, to.slab));
    }
    return to.at;
}

// Finds `entry` among `slot_count` slots, from the slot `slot`: true if an
// equal entry is there, else false, having put it in. The slots hold a form
// of one size by value, with 0, which no entry is, for a free slot; records
// by where they are kept, with null for a free slot; `kept` is where this
// one will be.
template <typename Kind>
bool seen(unsigned char* slots, std::size_t slot_count, std::size_t slot,
          const unsigned char* entry, const unsigned char* kept)
{
    if constexpr (Kind::fixed_size) {
        using value = typename Kind::value;
        const value wanted = Kind::load(entry);
        auto* values = reinterpret_cast<value*>(slots);
        for (; !(values[slot] == value{}); slot = (slot + 1) & (slot_count - 1))
            if (values[slot] == wanted)
                return true;
        values[slot] = wanted;
    } else {
        auto* records = reinterpret_cast<const unsigned char**>(slots);
        for (; records[slot]; slot = (slot + 1) & (slot_count - 1))
            if (Kind::same(records[slot], entry))
                return true;
        records[slot] = kept;
    }
    return false;
}

// Keeps one of each entry, in the order first seen, written back over the
// partition's own chain, whose slabs past the last entry kept are freed.
// Writing never overtakes reading, as no more is kept than read, and an
// entry that fits where it was read fits at the start of any slab; the
// writer moves on to a slab only once the reader has.
// Duplicates are found through slots at least twice as many as the
// entries, chosen by the hash bits below those that chose the partition.
template <typename Kind> void deduplicate(partitions<Kind>& parts, partition& part)
{
    const std::size_t slot_count = std::bit_ceil(2 * part.size);
    assert(std::has_single_bit(slot_count) && slot_count > part.size);
    const std::size_t slot_size = Kind::fixed_size ? Kind::max_entry : sizeof(const unsigned char*);
    unsigned char* slots = scratch_of(parts.seen, slot_count * slot_size, parts.pool->budget);
    std::memset(slots, 0, slot_count * slot_size);
    const int shift = 64 - std::countr_zero(slot_count);
    // The writer may move on to a slab for an entry that turns out a
    // repeat: the partition ends just past the last entry kept, so that it
    // never ends at the start of an empty slab, which an entry of one size
    // would take for a full one. Where it ends is kept in scalars: a copy
    // of the writer would be loaded whole just after two narrower stores,
    // which no core forwards, stalling every entry kept.
    writer to = write_at(parts, part.first);
    std::uint32_t kept_slab = to.slab;
    unsigned char* kept_end = to.at;
    std::size_t kept = 0;
    for_each_entry(parts, part, [&](const unsigned char* entry) {
        const std::size_t size = Kind::size(entry);
        unsigned char* at = room_back(parts, to, size);
        const std::size_t slot = (Kind::hash(parts.key, entry) << parts.bits) >> shift;
        if (seen<Kind>(slots, slot_count, slot, entry, at))
            return;
        std::memmove(at, entry, size);
        to.at = at + size;
        kept_slab = to.slab;
        kept_end = to.at;
        ++kept;
    });
    for (std::uint32_t spare = kept_slab; spare != part.last;) {
        spare = next_slab(*parts.pool, spare);
        release_slab(parts, spare);
    }
    parts.size -= part.size - kept;
    parts.dropped += part.size - kept;
    part.size = kept;
    part.last = kept_slab;
    part.end = kept_end;
}

// Moves every entry of `part`, whose slabs go back to the spares once read,
// before the next is, so that the new partitions take the slabs the old
// ones give up. The pool never moves, so an entry is appended from where it
// lies.
template <typename Kind, typename Choose>
void move_partition(partitions<Kind>& parts, const partition& part, Choose&& choose)
{
    for_each_slab(
        parts, part, [&](std::uint32_t slab, const unsigned char* entry, const unsigned char* end) {
            if constexpr (Kind::fixed_size) {
                for (; entry < end; entry += sizeof(typename Kind::value)) {
                    const typename Kind::value value = Kind::load(entry);
                    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
                    append_entry(parts, choose(bytes), bytes, sizeof value);
                }
            } else {
                for (std::size_t size; entry + record_header <= end && !Kind::ends_slab(entry);
                     entry += size) {
                    size = Kind::size(entry);
                    append_entry(parts, choose(entry), entry, size);
                }
            }
            release_slab(parts, slab);
        });
}

// Moves every entry of `parts` and of `others`, which share its pool, into
// 2^bits new partitions of `parts` that `choose` picks from; `others` are
// left as many, empty.
template <typename Kind, typename Choose>
void move_entries(partitions<Kind>& parts, std::span<partitions<Kind>*> others, int bits,
                  bool distinct, Choose&& choose)
{
    const std::unique_ptr<partition[]> old = std::move(parts.parts);
    const std::size_t old_count = std::size_t{1} << parts.bits;
    parts.size = 0;
    // A form that held nothing has no pool: it takes that of another.
    std::shared_ptr<slab_pool> pool = parts.pool;
    for (const partitions<Kind>* other : others)
        if (!pool)
            pool = other->pool;
    open_partitions(parts, parts.key, bits, distinct, std::move(pool));
    for (std::size_t p = 0; p < old_count; ++p)
        move_partition(parts, old[p], choose);
    for (partitions<Kind>* other : others) {
        assert(other->size == 0 || other->pool == parts.pool);
        parts.slabs += std::exchange(other->slabs, 0);
        for (std::size_t p = 0; p < std::size_t{1} << other->bits; ++p)
            move_partition(parts, other->parts[p], choose);
        for (std::uint32_t slab : other->spares)
            put_spare(parts, slab);
        other->spares.clear();
        other->size = 0;
        open_partitions(*other, other->key, bits, distinct, nullptr);
    }
}

template <typename Kind> void pass_turn(partitions<Kind>& parts, std::size_t to)
{
    parts.turn = to;
    parts.turn_slabs = slabs_a_turn;
}

// Entries that deduplicating found distinct go on undeduplicated, as long
// as a partition that found them so would have gone on.
template <typename Kind> void take_turns(partitions<Kind>& parts)
{
    for (std::size_t p = 0; p < std::size_t{1} << parts.bits; ++p)
        parts.parts[p].deduplicate_at = SIZE_MAX;
    parts.turns_end_at = distinct_dedup_growth * parts.size;
    pass_turn(parts, 0);
}

} // namespace

template <typename Kind>
[[gnu::noinline]] void open_partitions(partitions<Kind>& parts, const hash_key& key, int bits,
                                       bool distinct, std::shared_ptr<slab_pool> pool)
{
    assert(!pool || pool->slab_bytes == slab_bytes<Kind>);
    if (pool && parts.pool != pool)
        parts.spares.reserve(spare_slabs);
    parts.pool = std::move(pool);
    parts.bits = bits;
    parts.parts_share = budget_share(parts.pool ? parts.pool->budget : nullptr);
    resize(parts.parts_share, sizeof(partition) << bits);
    parts.parts = std::make_unique<partition[]>(std::size_t{1} << bits);
    if (distinct)
        for (std::size_t p = 0; p < std::size_t{1} << bits; ++p)
            parts.parts[p].deduplicate_at = SIZE_MAX;
    parts.key = key;
    parts.turn = 0;
    parts.turn_slabs = 0;
    parts.turns_end_at = 0;
}

// Out of line, like bucket_partitions(), so that the appends that may call
// it stay small.
template <typename Kind> [[gnu::noinline]] void split_partitions(partitions<Kind>& parts, int bits)
{
    move_entries(parts, {}, bits, false, [key = parts.key, bits](const unsigned char* entry) {
        return hash_partition(Kind::hash(key, entry), bits);
    });
}

template <typename Kind>
[[gnu::noinline]] void bucket_partitions(partitions<Kind>& parts,
                                         std::span<partitions<Kind>*> others, int shift, int bits)
{
    parts.seen = scratch();
    for (partitions<Kind>* other : others)
        other->seen = scratch();
    move_entries(parts, others, bits, true, [shift, bits](const unsigned char* entry) {
        return order_bucket(limb_of<Kind>(entry, 0), shift, bits);
    });
}

template <typename Kind> void deduplicate_all(partitions<Kind>& parts)
{
    for (std::size_t p = 0; p < std::size_t{1} << parts.bits; ++p)
        if (parts.parts[p].size > 0)
            deduplicate(parts, parts.parts[p]);
}

template <typename Kind>
void empty_partitions(partitions<Kind>& parts, std::size_t first, std::size_t end)
{
    for (std::size_t p = first; p < end; ++p) {
        partition& part = parts.parts[p];
        parts.size -= part.size;
        for_each_slab(parts, part,
                      [&](std::uint32_t slab, auto*, auto*) { release_slab(parts, slab); });
        part = {.deduplicate_at = part.deduplicate_at == SIZE_MAX ? SIZE_MAX : 0};
    }
}

template <typename Kind>
void make_slab_room(partitions<Kind>& parts, partition& part, std::size_t size)
{
    if (part.size >= part.deduplicate_at && part.size > 0) {
        const std::size_t before = part.size;
        deduplicate(parts, part);
        const std::size_t dropped = before - part.size;
        const std::size_t growth = distinct_repeats_divisor * dropped < before
                                       ? distinct_dedup_growth
                                   : sparse_repeats_divisor * dropped < before ? sparse_dedup_growth
                                                                               : dedup_growth;
        part.deduplicate_at =
            std::max(growth * part.size, entry_slab_bytes / sizeof(std::uint64_t));
        if (!slab_full<Kind>(part, size))
            return;
    }
    const std::uint32_t slab = take_spare(parts);
    if (!part.end) {
        part.first = slab;
    } else {
        mark_slab_end<Kind>(part.end, slab_start(parts, part.last) + filled_bytes<Kind>);
        next_slab(*parts.pool, part.last) = slab;
    }
    part.last = slab;
    part.end = slab_start(parts, slab);
    assert(size <= filled_bytes<Kind>);
}

// Turns start once every partition has, on average, filled two slabs,
// and deduplicating them all at once, over far more of the input than a
// partition's first slab holds, finds their entries distinct: tokens that
// recur far apart are found there, and keep the partitions by hash.
template <typename Kind> void pace_turns(partitions<Kind>& parts)
{
    if (parts.turns_end_at == 0) {
        if (parts.turns_over || parts.bits == 0 || parts.slabs < std::size_t{2} << parts.bits)
            return;
        deduplicate_all(parts);
        if (distinct_repeats_divisor * parts.dropped < parts.size)
            take_turns(parts);
        else
            parts.turns_over = true;
    } else if (parts.size >= parts.turns_end_at) {
        parts.turns_over = true;
        split_partitions(parts, parts.bits);
    }
}

template <typename Kind> [[gnu::noinline]] void fill_turn(partitions<Kind>& parts)
{
    if (--parts.turn_slabs == 0)
        pass_turn(parts, (parts.turn + 1) & ((std::size_t{1} << parts.bits) - 1));
}

#define TOKCOLLECT_PARTITIONS(Kind)                                                                \
    template void open_partitions(partitions<Kind>&, const hash_key&, int, bool,                   \
                                  std::shared_ptr<slab_pool>);                                     \
    template void split_partitions(partitions<Kind>&, int);                                        \
    template void bucket_partitions(partitions<Kind>&, std::span<partitions<Kind>*>, int, int);    \
    template void make_slab_room(partitions<Kind>&, partition&, std::size_t);                      \
    template void pace_turns(partitions<Kind>&);                                                   \
    template void fill_turn(partitions<Kind>&);                                                    \
    template void empty_partitions(partitions<Kind>&, std::size_t, std::size_t);                   \
    template void deduplicate_all(partitions<Kind>&);
TOKCOLLECT_FOR_EACH_FORM(TOKCOLLECT_PARTITIONS)
