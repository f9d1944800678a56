// SPDX-License-Identifier: MIT
// Writing a run (run_reader.h): tokens in byte order, each as what it does
// not share with the one before, packed bit to bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "forms/forms.h"
#include "runs/run_reader.h"
#include "system/memory_budget.h"

// Writes distinct tokens in byte order as a run. The bits not yet past
// are held, and already stored, with the 7 bytes after them, at `at`. The
// run's bytes grow as it is written, by an eighth or run_growth, before a
// token could pass `room_end`: the C library moves a large allocation's pages
// rather than copy them.
template <typename Kind> struct run_writer {
    token_run run;
    unsigned char* at = nullptr;
    unsigned char* room_end = nullptr;
    std::uint64_t held = 0;
    unsigned bits = 0; // held, 0 to 7
    run_token<Kind> last{};
};

// Appends the low 1 to 56 bits of `value`, which has no others.
template <typename Kind>
inline void write_bits(run_writer<Kind>& to, std::uint64_t value, unsigned bits)
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
inline void write_limb_bits(run_writer<Kind>& to, std::uint64_t value, unsigned bits)
{
    if (bits > 56) {
        write_bits(to, value >> 32, bits - 32);
        value &= 0xffffffff;
        bits = 32;
    }
    write_bits(to, value, bits);
}

// Nibbles `from` to `to` of `limb`, as a number; `to` is past `from`.
inline std::uint64_t nibbles_of(std::uint64_t limb, unsigned from, unsigned to)
{
    return limb << 4 * from >> (64 - 4 * (to - from));
}

// A token after the last shares the nibbles before the first that differs;
// a token is never a prefix of the one before, which would sort after it,
// so at least one nibble follows. A restart shares none. The header and the
// first limb's nibbles go out together where they fit one write.
template <typename Kind>
inline void write_run_token(run_writer<Kind>& to, const run_token<Kind>& token, bool restart)
{
    constexpr unsigned bits = count_bits<Kind>;
    unsigned shared = 0;
    if (!restart) {
        unsigned limb = 0;
        while (limb + 1 < Kind::max_limbs && token.limbs[limb] == to.last.limbs[limb])
            ++limb;
        shared =
            16 * limb +
            static_cast<unsigned>(std::countl_zero(token.limbs[limb] ^ to.last.limbs[limb])) / 4;
    }
    assert(shared < token.nibbles);
    const std::uint64_t header = shared << bits | (token.nibbles - shared - 1);
    unsigned limb = shared / 16, end = std::min(token.nibbles, 16 * limb + 16);
    const std::uint64_t first = nibbles_of(token.limbs[limb], shared % 16, end - 16 * limb);
    const unsigned first_bits = 4 * (end - shared);
    if (2 * bits + first_bits <= 56) {
        write_bits(to, header << first_bits | first, 2 * bits + first_bits);
    } else {
        write_bits(to, header, 2 * bits);
        write_limb_bits(to, first, first_bits);
    }
    for (++limb; 16 * limb < token.nibbles && limb < Kind::max_limbs; ++limb) {
        end = std::min(token.nibbles, 16 * limb + 16);
        write_limb_bits(to, nibbles_of(token.limbs[limb], 0, end - 16 * limb),
                        4 * (end - 16 * limb));
    }
}

// The most bytes a token takes in a run: its header, its nibbles, and a
// restart's padding, rounded up.
template <typename Kind>
constexpr std::size_t most_run_bytes = (2 * count_bits<Kind> + 64 * Kind::max_limbs) / 8 + 2;

// A run's bytes start at no more than this, and grow by this at least.
constexpr std::size_t run_growth = std::size_t{256} << 10;

// Room in the run for `bytes` bytes of tokens, counted against the
// budget. Throws std::bad_alloc when memory runs out.
template <typename Kind>
[[gnu::noinline]] void make_run_room(run_writer<Kind>& to, std::size_t bytes)
{
    const std::size_t used = static_cast<std::size_t>(to.at - to.run.bytes.get());
    resize(to.run.share, bytes + most_run_bytes<Kind> + run_padding);
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
    if constexpr (!Kind::fixed_size)
        to.run.arena_bytes.reserve(tokens / restart_interval + 1);
    make_run_room(to, std::min(tokens * most_run_bytes<Kind>, run_growth));
    return to;
}

// Appends `token`, which sorts after the last.
template <typename Kind> inline void write_token(run_writer<Kind>& to, const run_token<Kind>& token)
{
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
        if constexpr (!Kind::fixed_size)
            to.run.arena_bytes.push_back(0);
    }
    if constexpr (!Kind::fixed_size)
        to.run.arena_bytes.back() += static_cast<std::uint32_t>(Kind::stored_size(token.nibbles));
    write_run_token(to, token, restart);
    const unsigned limbs = (token.nibbles + 15) / 16, old_limbs = (to.last.nibbles + 15) / 16;
    std::copy(token.limbs, token.limbs + limbs, to.last.limbs);
    std::fill(to.last.limbs + std::min(limbs, old_limbs), to.last.limbs + old_limbs, 0);
    to.last.nibbles = token.nibbles;
}

// Appends the token of a sort entry, whose limbs past its own are never
// read, and so are left as they are.
template <typename Kind>
inline void write_token(run_writer<Kind>& to, const typename Kind::sort_entry& entry)
{
    run_token<Kind> token;
    token.nibbles = Kind::limbs_of(entry, token.limbs);
    write_token(to, token);
}

// The run written. Gives back the room that the run did not take, where
// the C library can without a copy.
template <typename Kind> inline token_run finish_run(run_writer<Kind>& to)
{
    token_run run = std::move(to.run);
    run.last_first = to.last.limbs[0];
    // The byte being filled, and the padding.
    const std::size_t bytes = static_cast<std::size_t>(to.at - run.bytes.get()) + 1 + run_padding;
    if (void* fitted = std::realloc(run.bytes.get(), bytes)) {
        static_cast<void>(run.bytes.release());
        run.bytes.reset(static_cast<unsigned char*>(fitted));
        resize(run.share, bytes + run.restarts.capacity() * sizeof(std::size_t) +
                              run.arena_bytes.capacity() * sizeof(std::uint32_t));
    }
    return run;
}
