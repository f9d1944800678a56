// SPDX-License-Identifier: MIT
// Writing a run (run_reader.h): tokens in byte order, each as what it does
// not share with the one before, packed bit to bit.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "forms/forms.h"
#include "runs/run_reader.h"

// Writes tokens in byte order as a run, each once. The bits not yet past
// are held, and already stored, with the 7 bytes after them, at `at`. The
// run's bytes grow as it is written, by an eighth or run_growth, before a
// token could pass `room_end`: the C library moves a large block's pages
// rather than copy them.
template <typename Kind> struct run_writer {
    token_run run;
    unsigned char* at = nullptr;
    unsigned char* room_end = nullptr;
    std::uint64_t held = 0;
    int bits = 0; // held, 0 to 7
    typename Kind::value last{};
};

// Appends the low 1 to 56 bits of `value`, which has no others.
template <typename Kind> inline void write_bits(run_writer<Kind>& to, std::uint64_t value, int bits)
{
    assert(bits >= 1 && bits <= 56 && value >> bits == 0);
    to.held |= value << (64 - to.bits - bits);
    to.bits += bits;
    const std::uint64_t stored = __builtin_bswap64(to.held);
    std::memcpy(to.at, &stored, sizeof stored);
    to.at += to.bits / 8;
    to.held <<= to.bits / 8 * 8;
    to.bits %= 8;
}

// Appends the low 1 to 64 bits of `value`, which has no others.
template <typename Kind>
inline void write_limb_bits(run_writer<Kind>& to, std::uint64_t value, int bits)
{
    if (bits > 56) {
        write_bits(to, value >> 32, bits - 32);
        value &= 0xffffffff;
        bits = 32;
    }
    write_bits(to, value, bits);
}

// The nibbles of a limb, up to its last that is not 0.
inline int nibbles(std::uint64_t limb)
{
    return 16 - std::countr_zero(limb) / 4;
}

// Nibbles `from` to `to` of `limb`, as a number; `to` is past `from`.
inline std::uint64_t nibbles_of(std::uint64_t limb, int from, int to)
{
    return limb << 4 * from >> (64 - 4 * (to - from));
}

// A token after the last shares the nibbles before the first that differs;
// a token is never a prefix of the one before, which would sort after it,
// so at least one nibble follows. A restart shares none.
inline void write_run_token(run_writer<word_kind>& to, std::uint64_t word, bool restart)
{
    const int shared = restart ? 0 : std::countl_zero(to.last ^ word) / 4;
    const int following = nibbles(word) - shared;
    assert(following >= 1 && following <= 16);
    const auto header = static_cast<std::uint64_t>(shared << 4 | (following - 1));
    const std::uint64_t rest = nibbles_of(word, shared, shared + following);
    if (following <= 12) {
        write_bits(to, header << 4 * following | rest, 8 + 4 * following);
    } else {
        write_bits(to, header, 8);
        write_limb_bits(to, rest, 4 * following);
    }
}

// A pair's first limb has all 16 nibbles.
inline void write_run_token(run_writer<pair_kind>& to, const packed_pair& pair, bool restart)
{
    int shared = 0;
    if (!restart)
        shared = to.last.high != pair.high ? std::countl_zero(to.last.high ^ pair.high) / 4
                                           : 16 + std::countl_zero(to.last.low ^ pair.low) / 4;
    const int low_nibbles = nibbles(pair.low), following = 16 + low_nibbles - shared;
    assert(following >= 1 && following <= 32);
    write_bits(to, static_cast<std::uint64_t>(shared << 5 | (following - 1)), 10);
    if (shared < 16) {
        write_limb_bits(to, nibbles_of(pair.high, shared, 16), 4 * (16 - shared));
        write_limb_bits(to, nibbles_of(pair.low, 0, low_nibbles), 4 * low_nibbles);
    } else {
        write_limb_bits(to, nibbles_of(pair.low, shared - 16, low_nibbles), 4 * following);
    }
}

// The most bytes a token takes in a run: its nibbles, its header and a
// restart's padding.
template <typename Kind> constexpr std::size_t most_run_bytes = sizeof(typename Kind::value) + 3;

// A run's bytes start at no more than this, and grow by this at least.
constexpr std::size_t run_growth = std::size_t{1} << 20;

// Room in the run for `bytes` bytes of tokens, counted against the
// budget. Throws std::bad_alloc when memory runs out.
template <typename Kind>
[[gnu::noinline]] void make_run_room(run_writer<Kind>& to, std::size_t bytes)
{
    const std::size_t used = static_cast<std::size_t>(to.at - to.run.bytes.get());
    resize(to.run.share, bytes + most_run_bytes<Kind> + 8);
    void* grown = std::realloc(to.run.bytes.get(), to.run.share.bytes);
    if (!grown)
        throw std::bad_alloc();
    static_cast<void>(to.run.bytes.release());
    to.run.bytes.reset(static_cast<unsigned char*>(grown));
    to.at = to.run.bytes.get() + used;
    to.room_end = to.run.bytes.get() + bytes;
}

// A run of about `tokens` tokens, whose bytes count against `budget`.
template <typename Kind>
inline run_writer<Kind> start_run(memory_budget* budget, std::size_t tokens)
{
    run_writer<Kind> to;
    to.run.share = budget_share(budget);
    to.run.restarts.reserve(tokens / restart_interval + 1);
    make_run_room(to, std::min(tokens * most_run_bytes<Kind>, run_growth));
    return to;
}

template <typename Kind>
inline void write_token(run_writer<Kind>& to, const typename Kind::value& token)
{
    if (to.run.size > 0 && token == to.last)
        return;
    if (to.at > to.room_end) [[unlikely]] {
        const auto room = static_cast<std::size_t>(to.room_end - to.run.bytes.get());
        make_run_room(to, room + std::max(room / 8, run_growth));
    }
    const bool restart = to.run.size++ % restart_interval == 0;
    if (restart) {
        to.at += to.bits != 0;
        to.held = 0;
        to.bits = 0;
        to.run.restarts.push_back(static_cast<std::size_t>(to.at - to.run.bytes.get()));
    }
    write_run_token(to, token, restart);
    to.last = token;
}

// The run written. Gives back the room that the run did not take, where
// the C library can without a copy.
template <typename Kind> inline token_run finish_run(run_writer<Kind>& to)
{
    token_run run = std::move(to.run);
    run.last_first = Kind::sort_first(to.last);
    const std::size_t bytes = static_cast<std::size_t>(to.at - run.bytes.get()) + 1 + 8;
    if (void* fitted = std::realloc(run.bytes.get(), bytes)) {
        static_cast<void>(run.bytes.release());
        run.bytes.reset(static_cast<unsigned char*>(fitted));
        resize(run.share, bytes + run.restarts.capacity() * sizeof(std::size_t));
    }
    return run;
}
