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
// are held, and already stored, with the 7 bytes after them, at `at`.
template <typename Kind> struct run_writer {
    token_run run;
    unsigned char* at = nullptr;
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

template <typename Kind> inline run_writer<Kind> start_run(std::size_t most)
{
    run_writer<Kind> to;
    to.run.restarts.reserve(most / restart_interval + 1);
    to.run.bytes.reset(static_cast<unsigned char*>(std::malloc(most * most_run_bytes<Kind> + 8)));
    if (!to.run.bytes)
        throw std::bad_alloc();
    to.at = to.run.bytes.get();
    return to;
}

template <typename Kind>
inline void write_token(run_writer<Kind>& to, const typename Kind::value& token)
{
    if (to.run.size > 0 && token == to.last)
        return;
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
    }
    return run;
}
