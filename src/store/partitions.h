// SPDX-License-Identifier: MIT
// Entries of one form (forms.h) spread over partitions: first by hash,
// while the set is filled, then over the buckets of the byte order, for the
// listing. Every form takes the same road; the forms differ only in how an
// entry is measured, hashed and compared.
//
// A token is appended to the partition that the top bits of its keyed hash
// choose: the ends being written, one cache line each, stay in the caches,
// and the entries stream out behind them. A partition that has doubled
// since it was last deduplicated is deduplicated again, through scratch
// slots twice its size, or once it has grown 8 or 64 times where the last
// time found few entries repeated (memory_policy.h); so it holds every
// token it was given, and about twice as many as distinct ones at most
// where tokens recur. A form's partitions start as one, for a set that sees
// few such tokens, and split into many once they hold more than the caches
// do.
//
// Where deduplicating finds the entries distinct, spreading them by hash
// buys only cache misses: the partitions then take every entry in turn, a
// few slabs each, so that one end is written, and deduplicate none, until
// they hold 64 times what they held when turns began, as long as a
// partition that found its entries distinct goes between deduplications.
// Then they split by hash again, which drops what recurred, and take turns
// no more. The sort drops the repeats that turns kept.
//
// For the listing, the entries of every form move into buckets cut by the
// bits of their first limb below those that all share (bucket_partitions()):
// equal tokens then meet in one bucket of one form, where sorting finds
// them.
//
// A partition is a chain of slabs from the pool of its form (slab_pool.h),
// which the partitions of every shard of a set share: slabs that
// deduplicating or moving frees are reused by any, so that growing faults
// in few pages. A partition's end is where its next entry goes, null while
// it has no slab; slabs lie aligned to their size, so an end on a slab's
// boundary says that slab is full. Entries lie back to back in a slab; a
// record that no longer fits leaves the rest of its slab to the next,
// marked by a zero length where there is room for one, and records leave a
// slab's last bytes free for loads past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "forms/forms.h"
#include "store/slab_pool.h"
#include "system/memory_budget.h"

// Slabs a few KiB each; built with small parts, a handful of entries, so
// that small inputs fill many of them.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t entry_slab_bytes = 64;
constexpr std::size_t record_slab_bytes = 1024;
#else
constexpr std::size_t entry_slab_bytes = 4096;
constexpr std::size_t record_slab_bytes = 4096;
#endif

// A form of one size fills its slabs exactly; records, which are not, leave
// room past the last for its limbs' loads, never into the next slab, which
// another thread may be writing.
template <typename Kind>
constexpr std::size_t slab_bytes = Kind::fixed_size ? entry_slab_bytes : record_slab_bytes;
template <typename Kind>
constexpr std::size_t filled_bytes = slab_bytes<Kind> - (Kind::fixed_size ? 0 : record_slack);

static_assert(
    [] {
        bool fit = true;
        for_each_form([&](auto kind) {
            using Kind = decltype(kind);
            if constexpr (Kind::fixed_size)
                fit &= slab_bytes<Kind> % Kind::max_entry == 0;
            else
                fit &= filled_bytes<Kind> >= Kind::max_entry + record_header;
        });
        return fit;
    }(),
    "entries of one size fill their slabs exactly, and need no mark; a slab holds the longest of "
    "other entries and the mark after it");
static_assert(extent_alignment % entry_slab_bytes == 0 && extent_alignment % record_slab_bytes == 0,
              "slabs lie aligned to their size");

// Memory kept to be used again, which grows when more is asked of it than
// it has.
struct scratch {
    std::unique_ptr<unsigned char[], void (*)(void*)> bytes{nullptr, std::free};
    std::size_t size = 0;
    budget_share share;
};

// At least `size` bytes of `space`, whose contents are lost where it grows,
// counted against `budget`. Throws std::bad_alloc when memory runs out.
inline unsigned char* scratch_of(scratch& space, std::size_t size, memory_budget* budget)
{
    if (size > space.size) {
        space = scratch{.share = budget_share(budget)};
        resize(space.share, size);
        space.bytes.reset(static_cast<unsigned char*>(std::malloc(size)));
        if (!space.bytes)
            throw std::bad_alloc();
        space.size = size;
    }
    return space.bytes.get();
}

struct partition {
    unsigned char* end = nullptr;   // where its next entry goes; null with no slab
    std::size_t size = 0;           // entries it holds
    std::size_t deduplicate_at = 0; // the size at which it is deduplicated next
    std::uint32_t first = 0;        // its slabs, first and last
    std::uint32_t last = 0;
};

template <typename Kind> struct partitions {
    std::unique_ptr<partition[]> parts; // null until the first entry
    budget_share parts_share;           // of `parts`
    int bits = 0;                       // 2^bits partitions
    std::shared_ptr<slab_pool> pool;    // of slab_bytes<Kind>; none while empty
    std::vector<std::uint32_t> spares;  // slabs of the pool free for these alone
    // Deduplicating's slots: entries of a form of one size, else pointers.
    scratch seen;
    hash_key key{};
    std::size_t size = 0;    // entries held, duplicates included
    std::size_t slabs = 0;   // in the partitions' chains
    std::size_t dropped = 0; // repeats that deduplicating has dropped
    // For each limb that sorts the form, the bits that some entry's limb
    // has, and those that every one has.
    limb_bits<Kind::sort_limbs> bits_seen;
    // While the partitions take turns, every entry goes to partition
    // `turn` until it has filled `turn_slabs` more slabs, and they take
    // turns until they hold `turns_end_at` entries, 0 while they do not.
    std::size_t turn = 0;
    std::size_t turn_slabs = 0;
    std::size_t turns_end_at = 0;
    bool turns_over = false; // for good: entries recur, memory is tight, or runs drop them
};

// Partitions by hash under `key`: 2^bits of them, deduplicated as they grow
// unless `distinct` says that no entry will come twice, with slabs from
// `pool`.
template <typename Kind>
void open_partitions(partitions<Kind>& parts, const hash_key& key, int bits, bool distinct,
                     std::shared_ptr<slab_pool> pool);

// The partition, of 2^bits, for an entry whose hash is `hash`: its top
// bits, none when bits is 0, which the two shifts keep defined.
inline std::size_t hash_partition(std::uint64_t hash, int bits)
{
    return hash >> 1 >> (63 - bits);
}

// After a partition has taken a slab: starts the partitions taking turns
// where deduplicating finds their entries distinct, or ends the turns,
// splitting the partitions by hash again. Throws std::bad_alloc when
// memory runs out.
template <typename Kind> void pace_turns(partitions<Kind>& parts);

// Moves every entry into 2^bits partitions by hash, which go on being
// deduplicated. Throws std::bad_alloc when memory runs out.
template <typename Kind> void split_partitions(partitions<Kind>& parts, int bits);

// Moves every entry of `parts` and of `others`, which share its pool, into
// the 2^bits buckets of the byte order of `parts` that order_bucket()
// chooses from its first limb, which all entries of all shards listed
// together must share their top `shift` bits of; `others` are left with as
// many buckets, empty. Buckets are never deduplicated. Throws
// std::bad_alloc when memory runs out.
template <typename Kind>
void bucket_partitions(partitions<Kind>& parts, std::span<partitions<Kind>*> others, int shift,
                       int bits);

// Deduplicates every partition. Throws std::bad_alloc when memory runs
// out.
template <typename Kind> void deduplicate_all(partitions<Kind>& parts);

// Gives back the slabs of partitions `first` to `end`, which are left
// empty, as deduplicating leaves them. The bits seen in limbs stay.
template <typename Kind>
void empty_partitions(partitions<Kind>& parts, std::size_t first, std::size_t end);

// Gives back the slots of deduplicating, which it takes again when it next
// needs them.
template <typename Kind> void give_back_scratch(partitions<Kind>& parts)
{
    parts.seen = scratch();
}

// Deduplicates a partition that has doubled, and gives it a fresh slab if
// its last one has no room for `size` bytes. Throws std::bad_alloc when
// memory runs out.
template <typename Kind>
void make_slab_room(partitions<Kind>& parts, partition& part, std::size_t size);

// The first byte of `slab`.
template <typename Kind>
inline unsigned char* slab_start(const partitions<Kind>& parts, std::uint32_t slab)
{
    return slab_start(*parts.pool, slab);
}

// Whether the last slab of `part` has no room for `size` more bytes.
template <typename Kind> inline bool slab_full(const partition& part, std::size_t size)
{
    const auto address = reinterpret_cast<std::uintptr_t>(part.end);
    if constexpr (Kind::fixed_size)
        return address % slab_bytes<Kind> == 0;
    else
        return !part.end || address % slab_bytes<Kind> + size > filled_bytes<Kind>;
}

// Passes the turn on once a partition has filled its slabs of the turn,
// so that none is left with a slab it has only begun.
template <typename Kind> void fill_turn(partitions<Kind>& parts);

// The partition for an entry of `size` bytes: the one whose turn it is, or
// else the one that the entry's hash, which hash() gives, chooses.
template <typename Kind, typename Hash>
[[gnu::always_inline]] inline std::size_t partition_for(partitions<Kind>& parts, std::size_t size,
                                                        Hash&& hash)
{
    if (!parts.turns_end_at)
        return hash_partition(hash(), parts.bits);
    if (slab_full<Kind>(parts.parts[parts.turn], size)) [[unlikely]]
        fill_turn(parts);
    return parts.turn;
}

// Puts an entry where its partition, which has room for it, ends.
template <typename Kind>
[[gnu::always_inline]] inline void put_entry(partitions<Kind>& parts, partition& part,
                                             const unsigned char* entry, std::size_t size)
{
    std::memcpy(part.end, entry, size);
    for (std::size_t i = 0; i < Kind::sort_limbs; ++i)
        see_limb(parts.bits_seen, i, limb_of<Kind>(entry, i));
    part.end += size;
    ++part.size;
    ++parts.size;
}

// Appends the `size` bytes at `entry`, which lie outside the pool, to
// partition `index`, and then, if the partition had to make room, which
// alone changes how many slabs the partitions hold, calls after_room().
// Throws std::bad_alloc when memory runs out.
template <typename Kind, typename AfterRoom>
[[gnu::always_inline]] inline void append_entry(partitions<Kind>& parts, std::size_t index,
                                                const unsigned char* entry, std::size_t size,
                                                AfterRoom&& after_room)
{
    partition& part = parts.parts[index];
    if (slab_full<Kind>(part, size)) [[unlikely]] {
        make_slab_room(parts, part, size);
        put_entry(parts, part, entry, size);
        after_room();
        return;
    }
    put_entry(parts, part, entry, size);
}

template <typename Kind>
[[gnu::always_inline]] inline void append_entry(partitions<Kind>& parts, std::size_t index,
                                                const unsigned char* entry, std::size_t size)
{
    append_entry(parts, index, entry, size, [] {});
}

// Calls f(slab, begin, end) for every slab of `part`, in its chain's order,
// with the bytes that may hold its entries. What a slab links to is read
// before f sees it, so that f may give the slab back.
template <typename Kind, typename F>
void for_each_slab(const partitions<Kind>& parts, const partition& part, F&& f)
{
    for (std::uint32_t slab = part.end ? part.first : 0; slab != 0;) {
        const bool last = slab == part.last;
        const std::uint32_t next = last ? 0 : next_slab(*parts.pool, slab);
        unsigned char* begin = slab_start(parts, slab);
        f(slab, begin, last ? part.end : begin + filled_bytes<Kind>);
        slab = next;
    }
}

// Calls f(entry) for every entry of a slab that may lie in [entry, end),
// in the order appended. An entry is measured before f sees it, so that f
// may write over it, as deduplicating does.
template <typename Kind, typename F>
void for_each_in_slab(const unsigned char* entry, const unsigned char* end, F&& f)
{
    for (std::size_t size;
         entry + (Kind::fixed_size ? 1 : record_header) <= end && !Kind::ends_slab(entry);
         entry += size) {
        size = Kind::size(entry);
        f(entry);
    }
}

// Calls f(entry) for every entry of `part`, in the order appended, as
// for_each_in_slab() does.
template <typename Kind, typename F>
void for_each_entry(const partitions<Kind>& parts, const partition& part, F&& f)
{
    for_each_slab(parts, part,
                  [&](std::uint32_t, const unsigned char* begin, const unsigned char* end) {
                      for_each_in_slab<Kind>(begin, end, f);
                  });
}
