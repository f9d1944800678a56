// SPDX-License-Identifier: MIT
// Appending to partitions, deduplicating the ones that double, and moving
// entries into new partitions.
#include "store/partitions.h"

#include <algorithm>
#include <bit>
#include <cassert>

namespace
{

// A zeroed deduplicating table of `slots` slots of `slot_size` bytes.
template <typename Kind>
unsigned char* clear_scratch(partitions<Kind>& tokens, std::size_t slots, std::size_t slot_size)
{
    unsigned char* table = block_of(tokens.scratch, slots * slot_size);
    std::memset(table, 0, slots * slot_size);
    return table;
}

// Up to spare_slabs slabs that a form's partitions free are kept for them to
// take again without the pool's lock; half go back once there are more.
constexpr std::size_t spare_slabs = 64;

template <typename Kind> void put_spare(partitions<Kind>& tokens, std::uint32_t slab)
{
    if (tokens.spares.size() == spare_slabs) {
        give_back(*tokens.pool, tokens.spares.data() + spare_slabs / 2, spare_slabs / 2);
        tokens.spares.resize(spare_slabs / 2);
    }
    tokens.spares.push_back(slab);
}

template <typename Kind> std::uint32_t take_spare(partitions<Kind>& tokens)
{
    if (tokens.spares.empty())
        return take_slab(*tokens.pool);
    const std::uint32_t slab = tokens.spares.back();
    tokens.spares.pop_back();
    return slab;
}

// Marks where a slab's entries end, `at`, short of `slab_end`, with a zero
// length where there is room for one; entries of one size fill their slabs.
template <typename Kind>
void mark_slab_end(partitions<Kind>& tokens, std::size_t offset, std::size_t slab_end)
{
    if (!fixed_size<Kind> && offset + record_header <= slab_end)
        std::memset(bytes_at(tokens, offset), 0, record_header);
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
    const std::size_t slab_end = std::size_t{to.slab} * Kind::slab_bytes + Kind::filled_bytes;
    if (to.at + size > slab_end) {
        mark_slab_end(tokens, to.at, slab_end);
        to.slab = next_slab(*tokens.pool, to.slab);
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
            if (Kind::same(bytes_at(tokens, offsets[slot]), entry))
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
    assert(std::has_single_bit(slots) && slots > part.size);
    std::size_t slot_size = sizeof(std::size_t);
    if constexpr (fixed_size<Kind>)
        slot_size = sizeof(typename Kind::value);
    unsigned char* table = clear_scratch(tokens, slots, slot_size);
    const int shift = 64 - std::countr_zero(slots);
    // The writer may move on to a slab for an entry that turns out a
    // repeat: the partition ends just past the last entry kept, so that it
    // never ends at the start of an empty slab, which an entry of one size
    // would take for a full one.
    writer to{part.first, part.first * Kind::slab_bytes}, past_kept = to;
    std::size_t kept = 0;
    for_each_entry(tokens, part, [&](const unsigned char* entry) {
        const std::size_t size = Kind::size(entry), offset = room_back(tokens, to, size);
        const std::size_t slot = (Kind::hash(tokens.key, entry) << tokens.bits) >> shift;
        if (seen(tokens, table, slots, slot, entry, offset))
            return;
        std::memmove(bytes_at(tokens, offset), entry, size);
        to.at = offset + size;
        past_kept = to;
        ++kept;
    });
    for (std::uint32_t spare = past_kept.slab; spare != part.last;) {
        spare = next_slab(*tokens.pool, spare);
        put_spare(tokens, spare);
    }
    tokens.size -= part.size - kept;
    tokens.dropped += part.size - kept;
    part.size = kept;
    part.last = past_kept.slab;
    part.end = past_kept.at;
}

// Moves every entry of `part`, whose slabs go back to the spares once read,
// before the next is, so that the new partitions take the slabs the old
// ones give up. The pool never moves, so a record is appended from where it
// lies. What a slab links to is read before it goes, since taking it
// rewrites that.
template <typename Kind, typename Choose>
void move_partition(partitions<Kind>& tokens, const partition& part, Choose&& choose)
{
    for (std::uint32_t slab = part.end ? part.first : 0; slab != 0;) {
        const bool last = slab == part.last;
        const std::size_t begin = slab * Kind::slab_bytes;
        const std::size_t end = last ? part.end : begin + Kind::filled_bytes;
        const unsigned char* from = bytes_at(tokens, begin);
        if constexpr (fixed_size<Kind>) {
            for (const unsigned char* stop = from + (end - begin); from < stop;
                 from += sizeof(typename Kind::value)) {
                const typename Kind::value value = Kind::load(from);
                const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
                append_entry(tokens, choose(bytes), bytes, sizeof value);
            }
        } else {
            for (const unsigned char* stop = from + (end - begin);
                 from + record_header <= stop && !Kind::ends_slab(from);) {
                const std::size_t size = Kind::size(from);
                append_entry(tokens, choose(from), from, size);
                from += size;
            }
        }
        const std::uint32_t next = last ? 0 : next_slab(*tokens.pool, slab);
        put_spare(tokens, slab);
        slab = next;
    }
}

// Moves every entry of `tokens` and of `others`, which share its pool, into
// 2^bits new partitions of `tokens` that `choose` picks from; `others` are
// left as many, empty.
template <typename Kind, typename Choose>
void move_entries(partitions<Kind>& tokens, std::span<partitions<Kind>*> others, int bits,
                  bool distinct, Choose&& choose)
{
    const std::unique_ptr<partition[]> old = std::move(tokens.parts);
    const std::size_t old_count = std::size_t{1} << tokens.bits;
    tokens.size = 0;
    // A form that held nothing has no pool: it takes that of another.
    std::shared_ptr<slab_pool> pool = tokens.pool;
    for (const partitions<Kind>* other : others)
        if (!pool)
            pool = other->pool;
    open_partitions(tokens, tokens.key, bits, distinct, std::move(pool));
    for (std::size_t p = 0; p < old_count; ++p)
        move_partition(tokens, old[p], choose);
    for (partitions<Kind>* other : others) {
        assert(other->size == 0 || other->pool == tokens.pool);
        for (std::size_t p = 0; p < std::size_t{1} << other->bits; ++p)
            move_partition(tokens, other->parts[p], choose);
        for (std::uint32_t slab : other->spares)
            put_spare(tokens, slab);
        other->spares.clear();
        other->size = 0;
        open_partitions(*other, other->key, bits, distinct, nullptr);
    }
}

} // namespace

template <typename Kind>
[[gnu::noinline]] void open_partitions(partitions<Kind>& tokens, const hash_key& key, int bits,
                                       bool distinct, std::shared_ptr<slab_pool> pool)
{
    assert(!pool || pool->slab_bytes == Kind::slab_bytes);
    if (pool && tokens.pool != pool)
        tokens.spares.reserve(spare_slabs);
    tokens.pool = std::move(pool);
    tokens.extents = tokens.pool ? tokens.pool->extents : nullptr;
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
    move_entries(tokens, {}, bits, false, [&](const unsigned char* entry) {
        return hash_partition(Kind::hash(tokens.key, entry), bits);
    });
}

template <typename Kind>
[[gnu::noinline]] void bucket_partitions(partitions<Kind>& tokens,
                                         std::span<partitions<Kind>*> others, int shift, int bits)
{
    tokens.scratch = kept_block();
    for (partitions<Kind>* other : others) {
        other->scratch = kept_block();
    }
    move_entries(tokens, others, bits, true, [&](const unsigned char* entry) {
        return order_bucket(Kind::first_word(entry), shift, bits);
    });
}

template <typename Kind> void deduplicate_all(partitions<Kind>& tokens)
{
    for (std::size_t p = 0; p < std::size_t{1} << tokens.bits; ++p)
        if (tokens.parts[p].size > 0)
            deduplicate(tokens, tokens.parts[p]);
}

template <typename Kind>
void empty_partitions(partitions<Kind>& tokens, std::size_t first, std::size_t end)
{
    for (std::size_t p = first; p < end; ++p) {
        partition& part = tokens.parts[p];
        tokens.size -= part.size;
        for (std::uint32_t slab = part.end ? part.first : 0; slab != 0;) {
            const std::uint32_t next = slab == part.last ? 0 : next_slab(*tokens.pool, slab);
            put_spare(tokens, slab);
            slab = next;
        }
        part = {.limit = part.limit == SIZE_MAX ? SIZE_MAX : 0};
    }
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
        if (part.end + size <= std::size_t{part.last} * Kind::slab_bytes + Kind::filled_bytes)
            return;
    }
    const std::uint32_t slab = take_spare(tokens);
    if (part.end == 0) {
        part.first = slab;
    } else {
        mark_slab_end(tokens, part.end,
                      std::size_t{part.last} * Kind::slab_bytes + Kind::filled_bytes);
        next_slab(*tokens.pool, part.last) = slab;
    }
    part.last = slab;
    part.end = slab * Kind::slab_bytes;
    assert(size <= Kind::filled_bytes);
}

#define TOKCOLLECT_PARTITIONS(Kind)                                                                \
    template void open_partitions(partitions<Kind>&, const hash_key&, int, bool,                   \
                                  std::shared_ptr<slab_pool>);                                     \
    template void split_partitions(partitions<Kind>&, int);                                        \
    template void bucket_partitions(partitions<Kind>&, std::span<partitions<Kind>*>, int, int);    \
    template void make_slab_room(partitions<Kind>&, partition&, std::size_t);                      \
    template void empty_partitions(partitions<Kind>&, std::size_t, std::size_t);                   \
    template void deduplicate_all(partitions<Kind>&);
TOKCOLLECT_PARTITIONS(word_kind)
TOKCOLLECT_PARTITIONS(pair_kind)
TOKCOLLECT_PARTITIONS(record_kind)
