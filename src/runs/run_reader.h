// SPDX-License-Identifier: MIT
// Runs: the compact form in which a shard keeps a form's tokens once they
// are many (compaction.h), and how they are read. A run holds tokens of one
// form in byte order, each once, every one written as what it does not
// share with the token before it: a header of two counts, the nibbles it
// shares and the nibbles that follow less one, of as many bits as the
// form's longest token needs (4 each for a word, 5 for a pair, 10 for a
// record), and then those nibbles, all packed bit to bit. Sorted tokens of
// digits and slashes share long prefixes, so a run takes a third to a half
// of the bytes that the same entries take in partitions.
//
// Every form is coded alike, as a run_token: its limbs and how many of
// their nibbles it has. A word is one limb and a pair two, so their loops
// unroll to what a word's or a pair's own code would be.
//
// Every restart_interval-th token starts on a byte of its own and shares
// nothing, so that a run can be read from any of these restarts; the
// listing finds where a bucket begins in a run by a binary search over
// them.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "forms/forms.h"
#include "system/memory_budget.h"

#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t restart_interval = 4;
#else
constexpr std::size_t restart_interval = 128;
#endif

// The bytes past a run's last that a reader's loads of 8 bytes may touch.
constexpr std::size_t run_padding = 8;

struct token_run {
    // Padded with run_padding bytes.
    std::unique_ptr<unsigned char[], void (*)(void*)> bytes{nullptr, std::free};
    budget_share share;                // of the bytes, the restarts and the arena bytes
    std::size_t size = 0;              // tokens
    std::vector<std::size_t> restarts; // byte offsets of the restarts
    // For a form of entries of many sizes, the bytes that the entries of each
    // restart's tokens take in an arena (record_arena).
    std::vector<std::uint32_t> arena_bytes;
    std::uint64_t last_first = 0; // the first limb of the last token
    unsigned level = 0;           // merges of runs of one level that made it
    std::size_t forgotten = 0;    // leading bytes whose pages went back
};

// Gives back the whole pages of `run` before `read_to`, which is never read
// again, as a merge reads its runs, and their share of the budget.
void forget_before(token_run& run, const unsigned char* read_to);

// A token of form Kind as a run codes it: its first `nibbles` nibbles, in
// limbs, and 0 after them. A run_token{} is 0 throughout.
template <typename Kind> struct run_token {
    std::uint64_t limbs[Kind::max_limbs];
    unsigned nibbles;
};

// The bits of each of a run token's two counts in its header.
template <typename Kind>
constexpr unsigned count_bits = static_cast<unsigned>(std::bit_width(Kind::max_size - 1));

// Reads bits from the start of a byte, the first bit the highest.
struct bit_reader {
    const unsigned char* at;
    unsigned bit = 0; // bits of *at already read, 0 to 7
};

// The next 1 to 56 bits.
inline std::uint64_t read_bits(bit_reader& from, unsigned bits)
{
    assert(bits >= 1 && bits <= 56);
    std::uint64_t loaded;
    std::memcpy(&loaded, from.at, sizeof loaded);
    const std::uint64_t value = __builtin_bswap64(loaded) << from.bit >> (64 - bits);
    from.bit += bits;
    from.at += from.bit / 8;
    from.bit %= 8;
    return value;
}

// The next 1 to 64 bits.
inline std::uint64_t read_limb_bits(bit_reader& from, unsigned bits)
{
    if (bits <= 56)
        return read_bits(from, bits);
    const std::uint64_t high = read_bits(from, bits - 32);
    return high << 32 | read_bits(from, 32);
}

// Reads the token after `token` into it: the nibbles it shares with the
// one before stay, those that follow are read limb by limb, and the limbs
// past its end are cleared.
template <typename Kind> inline void read_run_token(bit_reader& from, run_token<Kind>& token)
{
    constexpr unsigned bits = count_bits<Kind>;
    const auto header = static_cast<unsigned>(read_bits(from, 2 * bits));
    const unsigned shared = header >> bits, nibbles = shared + (header & ((1u << bits) - 1)) + 1;
    const unsigned old_limbs = (token.nibbles + 15) / 16, first = shared / 16;
    assert(nibbles <= 16 * Kind::max_limbs);
    // ~0 >> 4n clears the top n nibbles, so its complement keeps them.
    std::uint64_t kept = token.limbs[first] & ~(~std::uint64_t{0} >> 4 * (shared % 16));
    for (unsigned limb = first, at = shared; at < nibbles && limb < Kind::max_limbs;
         ++limb, kept = 0) {
        const unsigned end = std::min(nibbles, 16 * limb + 16);
        token.limbs[limb] = kept | read_limb_bits(from, 4 * (end - at))
                                       << (64 - 4 * (end - 16 * limb));
        at = end;
    }
    for (unsigned limb = (nibbles + 15) / 16; limb < old_limbs && limb < Kind::max_limbs; ++limb)
        token.limbs[limb] = 0;
    token.nibbles = nibbles;
}

// Where a reader of a run stands: before token `index`, after `last`.
template <typename Kind> struct run_reader {
    const token_run* run = nullptr;
    bit_reader from{nullptr};
    std::size_t index = 0;
    run_token<Kind> last{};
};

template <typename Kind>
run_reader<Kind> read_from_restart(const token_run& run, std::size_t restart)
{
    return {&run, {run.bytes.get() + run.restarts[restart]}, restart * restart_interval, {}};
}

// Reads the next token of a run that has one into `reader.last`. A restart
// begins on a byte.
template <typename Kind> inline const run_token<Kind>& read_token(run_reader<Kind>& reader)
{
    assert(reader.index < reader.run->size);
    if (reader.index++ % restart_interval == 0 && reader.from.bit != 0) {
        ++reader.from.at;
        reader.from.bit = 0;
    }
    read_run_token(reader.from, reader.last);
    return reader.last;
}

// The bucket of the byte order that a token falls in (order_bucket()).
template <typename Kind>
inline std::size_t token_bucket(const run_token<Kind>& token, const order_cut& cut)
{
    return order_bucket(token.limbs[0], cut);
}

// A reader whose last token is the next not yet taken, unless the run has
// ended.
template <typename Kind> struct run_cursor {
    run_reader<Kind> reader;
    bool ended = false;
};

template <typename Kind> inline void advance(run_cursor<Kind>& cursor)
{
    if (cursor.reader.index == cursor.reader.run->size)
        cursor.ended = true;
    else
        read_token(cursor.reader);
}

// A reader's cursors in the runs of a form.
template <typename Kind> using cursor_list = std::vector<run_cursor<Kind>>;

// A cursor at the first token of `run` in bucket `bucket` of `cut`, or in a
// later one.
template <typename Kind>
run_cursor<Kind> seek_run(const token_run& run, const order_cut& cut, std::size_t bucket);

// Hands f every token of bucket `bucket` that `cursor` stands at, which
// is left at the next bucket's.
template <typename Kind, typename F>
inline void take_bucket(run_cursor<Kind>& cursor, const order_cut& cut, std::size_t bucket, F&& f)
{
    for (; !cursor.ended && token_bucket(cursor.reader.last, cut) == bucket; advance(cursor))
        f(cursor.reader.last);
    assert(cursor.ended || token_bucket(cursor.reader.last, cut) > bucket);
}

// The most that a bucket holds, or what one bucket holds: its tokens, and
// the bytes that their entries take in an arena.
struct bucket_bound {
    std::size_t tokens = 0;
    std::size_t arena = 0;
};

// Counts the tokens of `run` in `steps`, a bucket each and one more, as
// differences from the bucket before, so that the sums of steps up to each
// bucket bound how many tokens it holds, and the bytes of their arena
// entries: the tokens from one restart to the next count in every bucket
// from that of the first to that of the next restart's. The differences
// are unsigned; their sums, wrapping, come right.
template <typename Kind>
void count_run(const token_run& run, const order_cut& cut, std::vector<bucket_bound>& steps);

// Adds to `bounds`, a bucket each, the bounds that `steps` counted; returns
// the largest of these sums, tokens and arena bytes apart.
bucket_bound add_bounds(const std::vector<bucket_bound>& steps, std::vector<bucket_bound>& bounds);

// Room for the entries of records read from runs, as many bytes of them as
// counting bounds a bucket's to, taken whole before any is read; the sort
// entries that point at them stay good until the arena is emptied.
struct record_arena {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0; // bytes of entries it has room for
    std::size_t used = 0;
    budget_share share;
};

// Room in `arena` for `bytes` bytes of entries, and the slack that their
// loads read past, counted against `budget`. Throws std::bad_alloc when
// memory runs out.
void make_arena(record_arena& arena, std::size_t bytes, memory_budget* budget);

// Empties the arena, which keeps its room.
inline void empty_arena(record_arena& arena)
{
    arena.used = 0;
}

// The sort entry of `token`; a record's bytes go into `arena`, where its
// sort entry points, and which has room for them.
template <typename Kind>
inline typename Kind::sort_entry sort_entry_of(const run_token<Kind>& token, record_arena& arena)
{
    if constexpr (Kind::fixed_size) {
        static_cast<void>(arena);
        return Kind::from_limbs(token.limbs);
    } else {
        unsigned char* at = arena.bytes.get() + arena.used;
        assert(arena.used + Kind::stored_size(token.nibbles) <= arena.size);
        arena.used += Kind::store_limbs(token.limbs, token.nibbles, at);
        return Kind::sorted(at);
    }
}

// Copies the tokens of bucket `bucket` of `cut` from every run that
// `cursors` stand in to `to`, as sort entries after the `size` there
// already, a record's bytes into `arena`; returns how many there are now.
template <typename Kind>
std::size_t take_buckets(cursor_list<Kind>& cursors, const order_cut& cut, std::size_t bucket,
                         std::size_t size, typename Kind::sort_entry* to, record_arena& arena)
{
    for (run_cursor<Kind>& cursor : cursors)
        take_bucket(cursor, cut, bucket, [&](const run_token<Kind>& token) {
            to[size++] = sort_entry_of(token, arena);
        });
    return size;
}
