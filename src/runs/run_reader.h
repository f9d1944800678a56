// SPDX-License-Identifier: MIT
// Runs: the compact form in which a shard keeps a form's tokens once they
// are many (compaction.h), and how they are read. A run holds tokens of one form in byte
// order, each once, every one written as what it does not share with the
// token before it: a header of two counts, the nibbles it shares and the
// nibbles that follow, and then those nibbles, all packed bit to bit.
// Sorted tokens of digits and slashes share long prefixes, so a run takes
// a third to a half of the bytes that the same entries take in partitions.
//
// Every restart_interval-th token starts on a byte of its own and shares
// nothing, so that a run can be read from any of these restarts; the
// listing finds where a bucket begins in a run by a binary search over
// them.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "forms/forms.h"
#include "system/memory_budget.h"

#ifdef TOKCOLLECT_SMALL_PARTS
constexpr std::size_t restart_interval = 4;
#else
constexpr std::size_t restart_interval = 128;
#endif

struct token_run {
    // Padded with 8 bytes that the reader's loads may touch.
    std::unique_ptr<unsigned char[], void (*)(void*)> bytes{nullptr, std::free};
    budget_share share;                // of the bytes and the restarts
    std::size_t size = 0;              // tokens
    std::vector<std::size_t> restarts; // byte offsets of the restarts
    std::uint64_t last_first = 0;      // the first limb of the last token
    unsigned level = 0;                // merges of runs of one level that made it
    std::size_t forgotten = 0;         // leading bytes whose pages went back
};

// Gives back the whole pages of `run` before `read_to`, which is never read
// again, as a merge reads its runs, and their share of the budget.
void forget_before(token_run& run, const unsigned char* read_to);

// Reads bits from the start of a byte, the first bit the highest.
struct bit_reader {
    const unsigned char* at;
    int bit = 0; // bits of *at already read, 0 to 7
};

// The next 1 to 56 bits.
inline std::uint64_t read_bits(bit_reader& from, int bits)
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
inline std::uint64_t read_limb_bits(bit_reader& from, int bits)
{
    if (bits <= 56)
        return read_bits(from, bits);
    const std::uint64_t high = read_bits(from, bits - 32);
    return high << 32 | read_bits(from, 32);
}

// The token after `last`: a header of the count of nibbles shared with it
// and of those that follow, four bits each for a word, five for a pair,
// and then the nibbles that follow.
inline std::uint64_t read_run_token(bit_reader& from, std::uint64_t last)
{
    const auto header = static_cast<int>(read_bits(from, 8));
    const int shared = header >> 4, following = (header & 15) + 1;
    const std::uint64_t kept = shared ? last & ~std::uint64_t{0} << (64 - 4 * shared) : 0;
    return kept | read_limb_bits(from, 4 * following) << (64 - 4 * (shared + following));
}

inline packed_pair read_run_token(bit_reader& from, const packed_pair& last)
{
    const auto header = static_cast<int>(read_bits(from, 10));
    const int shared = header >> 5, following = (header & 31) + 1;
    if (shared >= 16) {
        const int low_shared = shared - 16;
        const std::uint64_t kept =
            low_shared ? last.low & ~std::uint64_t{0} << (64 - 4 * low_shared) : 0;
        return {last.high, kept | read_limb_bits(from, 4 * following)
                                      << (64 - 4 * (low_shared + following))};
    }
    const std::uint64_t kept = shared ? last.high & ~std::uint64_t{0} << (64 - 4 * shared) : 0;
    // A pair's first limb has all 16 nibbles, and its second at least one.
    const int high_following = 16 - shared, low_following = following - high_following;
    assert(low_following >= 1);
    const std::uint64_t high = kept | read_limb_bits(from, 4 * high_following);
    return {high, read_limb_bits(from, 4 * low_following) << (64 - 4 * low_following)};
}

// Where a reader of a run stands: before token `index`, after `last`.
template <typename Kind> struct run_reader {
    const token_run* run = nullptr;
    bit_reader from{nullptr};
    std::size_t index = 0;
    typename Kind::value last{};
};

template <typename Kind>
run_reader<Kind> read_from_restart(const token_run& run, std::size_t restart)
{
    return {&run, {run.bytes.get() + run.restarts[restart]}, restart * restart_interval, {}};
}

// The next token of a run that has one. A restart begins on a byte.
template <typename Kind> inline typename Kind::value read_token(run_reader<Kind>& reader)
{
    assert(reader.index < reader.run->size);
    if (reader.index++ % restart_interval == 0 && reader.from.bit != 0) {
        ++reader.from.at;
        reader.from.bit = 0;
    }
    return reader.last = read_run_token(reader.from, reader.last);
}

// The bucket of the byte order that a token falls in (order_bucket()).
template <typename Kind>
inline std::size_t token_bucket(const typename Kind::value& token, const order_cut& cut)
{
    return order_bucket(Kind::sort_first(token), cut);
}

// A reader that stands at `token`, the next not yet taken, unless the run
// has ended.
template <typename Kind> struct run_cursor {
    run_reader<Kind> reader;
    typename Kind::value token{};
    bool ended = false;
};

template <typename Kind> inline void advance(run_cursor<Kind>& cursor)
{
    if (cursor.reader.index == cursor.reader.run->size)
        cursor.ended = true;
    else
        cursor.token = read_token(cursor.reader);
}

// A reader's cursors in runs of a form; none in a form that has no runs.
template <typename Kind> struct no_cursor {
};
template <typename Kind>
using cursor_list =
    std::vector<std::conditional_t<Kind::has_runs, run_cursor<Kind>, no_cursor<Kind>>>;

// A cursor at the first token of `run` in bucket `bucket` of `cut`, or in a
// later one.
template <typename Kind>
run_cursor<Kind> seek_run(const token_run& run, const order_cut& cut, std::size_t bucket);

// Hands f every token of bucket `bucket` that `cursor` stands at, which
// is left at the next bucket's.
template <typename Kind, typename F>
inline void take_bucket(run_cursor<Kind>& cursor, const order_cut& cut, std::size_t bucket, F&& f)
{
    for (; !cursor.ended && token_bucket<Kind>(cursor.token, cut) == bucket; advance(cursor))
        f(cursor.token);
    assert(cursor.ended || token_bucket<Kind>(cursor.token, cut) > bucket);
}

// Counts the tokens of `run` in `steps`, a bucket each and one more, as
// differences from the bucket before, so that the sums of steps up to each
// bucket bound how many tokens it holds: the tokens from one restart to the
// next count in every bucket from that of the first to that of the next
// restart's.
template <typename Kind>
void count_run(const token_run& run, const order_cut& cut, std::vector<std::ptrdiff_t>& steps);

// Adds to `bounds`, a bucket each, the bounds that `steps` counted; returns
// the largest of these sums.
std::size_t add_bounds(const std::vector<std::ptrdiff_t>& steps, std::vector<std::size_t>& bounds);
