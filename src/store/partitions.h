// SPDX-License-Identifier: MIT
// Tokens of one form (packed_token.h) spread over partitions: first by hash,
// while the set is filled, then over the buckets of the byte order, for the
// listing. Every form takes the same road; the forms differ only in how an
// entry is measured, hashed and compared (the kinds below).
//
// A token is only appended to the partition that the top bits of its keyed
// hash choose: the ends being written, one cache line each, stay in the
// caches, and the tokens stream out behind them. A partition that has
// doubled since it was last deduplicated is deduplicated again, in a table
// twice its size, or once it has grown eightfold if the last time found
// fewer than one token in eight repeated; so it holds every token it was
// given, and about twice as many as distinct ones at most where tokens
// recur. A form's partitions start as one, for a set that sees few such
// tokens, and split into many once they hold more than the caches do.
//
// For the listing, the entries of every form move into buckets cut by the
// bits of their first word below those that all share (bucket_partitions()):
// equal tokens then meet in one bucket of one form, where sorting finds
// them.
//
// A partition is a chain of slabs from the pool of its form (slab_pool.h),
// which the partitions of every shard of a set share: slabs that
// deduplicating or moving frees are reused by any, so that growing faults
// in few pages. A partition's end of 0 says it has no slab. Entries lie
// back to back in a slab; a record that no longer fits leaves the rest of
// its slab to the next, marked by a zero length where there is room for
// one, and records leave a slab's last bytes free for loads past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "forms/keyed_hash.h"
#include "forms/packed_token.h"
#include "store/slab_pool.h"

// Slabs a few KiB each; built with small parts, a handful of entries, so
// that small inputs fill many of them.
#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t entry_slab_bytes = 64;
constexpr std::size_t record_slab_bytes = 1024;
#else
constexpr std::size_t entry_slab_bytes = 4096;
constexpr std::size_t record_slab_bytes = 4096;
#endif

// The forms as entries of a pool: their size, hash, equality and first word,
// and whether an entry marks the end of what its slab holds.
struct word_kind {
    using value = std::uint64_t; // of a form that fills its slabs exactly
    static constexpr std::size_t slab_bytes = entry_slab_bytes;
    static constexpr std::size_t filled_bytes = slab_bytes; // of a slab, at most
    static std::uint64_t load(const unsigned char* at)
    {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        return word;
    }
    static std::size_t size(const unsigned char*) { return sizeof(std::uint64_t); }
    static std::uint64_t hash(const hash_key& key, const unsigned char* at)
    {
        return mix_word(key, load(at));
    }
    static bool same(const unsigned char* a, const unsigned char* b) { return load(a) == load(b); }
    static std::uint64_t first_word(const unsigned char* at) { return load(at); }
    static bool ends_slab(const unsigned char*) { return false; }
};

struct pair_kind {
    using value = word_pair;
    static constexpr std::size_t slab_bytes = entry_slab_bytes;
    static constexpr std::size_t filled_bytes = slab_bytes;
    static word_pair load(const unsigned char* at)
    {
        word_pair pair;
        std::memcpy(&pair, at, sizeof pair);
        return pair;
    }
    static std::size_t size(const unsigned char*) { return sizeof(word_pair); }
    static std::uint64_t hash(const hash_key& key, const unsigned char* at)
    {
        return hash_pair(key, load(at));
    }
    static bool same(const unsigned char* a, const unsigned char* b) { return load(a) == load(b); }
    static std::uint64_t first_word(const unsigned char* at) { return load(at).high; }
    static std::uint64_t second_word(const unsigned char* at) { return load(at).low; }
    static bool ends_slab(const unsigned char*) { return false; }
};

struct record_kind {
    static constexpr std::size_t slab_bytes = record_slab_bytes;
    // A record's word loads read up to record_slack bytes past it: never
    // into the next slab, which another thread may be writing.
    static constexpr std::size_t filled_bytes = slab_bytes - record_slack;
    static std::size_t size(const unsigned char* at) { return record_size(record_length(at)); }
    static std::uint64_t hash(const hash_key& key, const unsigned char* at)
    {
        return hash_record(key, at);
    }
    static bool same(const unsigned char* a, const unsigned char* b) { return same_record(a, b); }
    static std::uint64_t first_word(const unsigned char* at) { return record_word(at, 0); }
    static bool ends_slab(const unsigned char* at) { return record_length(at) == 0; }
};

static_assert(record_kind::filled_bytes >= max_record_size + record_header,
              "a slab holds the longest record and the mark after it");
static_assert(word_kind::slab_bytes % sizeof(std::uint64_t) == 0 &&
                  pair_kind::slab_bytes % sizeof(word_pair) == 0,
              "words and pairs fill their slabs exactly, and need no mark");

// A block of memory kept to be used again, which grows when more is asked
// of it than it has.
struct kept_block {
    std::unique_ptr<unsigned char[], void (*)(void*)> bytes{nullptr, std::free};
    std::size_t size = 0;
};

// At least `size` bytes of `block`, whose contents are lost where it grows.
// Throws std::bad_alloc when memory runs out.
inline unsigned char* block_of(kept_block& block, std::size_t size)
{
    if (size > block.size) {
        block = kept_block();
        block.bytes.reset(static_cast<unsigned char*>(std::malloc(size)));
        if (!block.bytes)
            throw std::bad_alloc();
        block.size = size;
    }
    return block.bytes.get();
}

struct partition {
    std::size_t end = 0;     // pool offset just past its last entry, or 0
    std::size_t size = 0;    // entries it holds
    std::size_t limit = 0;   // the size at which it is deduplicated next
    std::uint32_t first = 0; // its slabs, first and last
    std::uint32_t last = 0;
};

template <typename Kind> struct partitions {
    std::unique_ptr<partition[]> parts;   // null until the first entry
    int bits = 0;                         // 2^bits partitions
    std::shared_ptr<slab_pool> pool;      // of Kind::slab_bytes; none while empty
    const slab_extent* extents = nullptr; // the pool's, which never move
    std::vector<std::uint32_t> spares;    // slabs of the pool free for these alone
    // The deduplicating table: entries of a form of one size, else offsets.
    kept_block scratch;
    hash_key key{};
    std::size_t size = 0;    // entries held, duplicates included
    std::size_t dropped = 0; // repeats that deduplicating has dropped
    // The bits that some entry's first word has, and those that every one
    // has; for pairs, their second words' too.
    std::uint64_t any = 0;
    std::uint64_t all = ~std::uint64_t{0};
    std::uint64_t second_any = 0;
    std::uint64_t second_all = ~std::uint64_t{0};
};

using word_partitions = partitions<word_kind>;
using pair_partitions = partitions<pair_kind>;
using record_partitions = partitions<record_kind>;

// Partitions by hash under `key`: 2^bits of them, deduplicated as they grow
// unless `distinct` says that no entry will come twice, with slabs from
// `pool`.
template <typename Kind>
void open_partitions(partitions<Kind>& tokens, const hash_key& key, int bits, bool distinct,
                     std::shared_ptr<slab_pool> pool);

// The partition, of 2^bits, for an entry whose hash is `hash`.
inline std::size_t hash_partition(std::uint64_t hash, int bits)
{
    return bits == 0 ? 0 : hash >> (64 - bits);
}

// The bits of `word` below its top `shift` bits, `bits` of them: with the
// top bits alike, these put words in byte order. `bits` is 1 to 64 - shift.
inline std::size_t order_bucket(std::uint64_t word, int shift, int bits)
{
    return (word << shift) >> (64 - bits);
}

// Moves every entry into 2^bits partitions by hash, which go on being
// deduplicated. Throws std::bad_alloc when memory runs out.
template <typename Kind> void split_partitions(partitions<Kind>& tokens, int bits);

// Moves every entry of `tokens` and of `others`, which share its pool, into
// the 2^bits buckets of the byte order of `tokens` that order_bucket()
// chooses from its first word, which all entries of all sets listed
// together must share their top `shift` bits of; `others` are left with as
// many buckets, empty. Buckets are never deduplicated. Throws
// std::bad_alloc when memory runs out.
template <typename Kind>
void bucket_partitions(partitions<Kind>& tokens, std::span<partitions<Kind>*> others, int shift,
                       int bits);

// Deduplicates every partition. Throws std::bad_alloc when memory runs
// out.
template <typename Kind> void deduplicate_all(partitions<Kind>& tokens);

// Gives back the slabs of partitions `first` to `end`, which are left
// empty, as deduplicating leaves them. The bits seen in first and second
// words stay.
template <typename Kind>
void empty_partitions(partitions<Kind>& tokens, std::size_t first, std::size_t end);

// Deduplicates a partition that has doubled, and gives it a fresh slab if
// its last one has no room for `size` bytes. Throws std::bad_alloc when
// memory runs out.
template <typename Kind>
void make_slab_room(partitions<Kind>& tokens, partition& part, std::size_t size);

// Whether a form's entries all have one size, which fills a slab exactly.
template <typename Kind> constexpr bool fixed_size = requires
{
    typename Kind::value;
};

// Whether the last slab of `part` has no room for `size` more bytes.
template <typename Kind> inline bool slab_full(const partition& part, std::size_t size)
{
    if constexpr (fixed_size<Kind>)
        return part.end % Kind::slab_bytes == 0;
    else
        return part.end == 0 ||
               part.end + size > std::size_t{part.last} * Kind::slab_bytes + Kind::filled_bytes;
}

// The byte at `offset` in the pool, as at() finds it, one load sooner.
template <typename Kind>
inline unsigned char* bytes_at(const partitions<Kind>& tokens, std::size_t offset)
{
    return tokens.extents[offset >> extent_bits].bytes + (offset & (extent_bytes - 1));
}

// Appends the `size` bytes at `entry`, which lie outside the pool, to
// partition `index`. Throws std::bad_alloc when memory runs out.
template <typename Kind>
[[gnu::always_inline]] inline void append_entry(partitions<Kind>& tokens, std::size_t index,
                                                const unsigned char* entry, std::size_t size)
{
    partition& part = tokens.parts[index];
    if (slab_full<Kind>(part, size))
        make_slab_room(tokens, part, size);
    std::memcpy(bytes_at(tokens, part.end), entry, size);
    tokens.any |= Kind::first_word(entry);
    tokens.all &= Kind::first_word(entry);
    if constexpr (requires { Kind::second_word(entry); }) {
        tokens.second_any |= Kind::second_word(entry);
        tokens.second_all &= Kind::second_word(entry);
    }
    part.end += size;
    ++part.size;
    ++tokens.size;
}

// Calls f(entry) for every entry of `part`, in the order appended. An entry
// is measured before f sees it, so that f may write over it, as
// deduplicating does.
template <typename Kind, typename F>
void for_each_entry(const partitions<Kind>& tokens, const partition& part, F&& f)
{
    for (std::uint32_t slab = part.end ? part.first : 0; slab != 0;
         slab = slab == part.last ? 0 : next_slab(*tokens.pool, slab)) {
        const std::size_t begin = slab * Kind::slab_bytes;
        const std::size_t end = slab == part.last ? part.end : begin + Kind::filled_bytes;
        const unsigned char* entry = bytes_at(tokens, begin);
        for (const unsigned char* const last = entry + (end - begin);
             entry + record_header <= last && !Kind::ends_slab(entry);) {
            const std::size_t size = Kind::size(entry);
            f(entry);
            entry += size;
        }
    }
}
