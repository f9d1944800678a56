// SPDX-License-Identifier: MIT
// The listing's output blocks, and unpacking tokens into them.
#include "listing_output.h"

#include <bit>
#include <cstring>

#include "packed_token.h"
#include "write_all.h"

namespace
{

void wait_for_turn(output& out)
{
    std::unique_lock lock(out.order->lock);
    out.order->changed.wait(lock, [&out] { return out.order->current == out.stretch; });
}

constexpr char unpack(unsigned nibble)
{
    return static_cast<char>('/' - 1 + nibble);
}

// Every packed byte unpacked to its two token bytes.
struct byte_pairs {
    char pairs[256][2];
    constexpr byte_pairs() : pairs()
    {
        for (unsigned byte = 0; byte < 256; ++byte) {
            pairs[byte][0] = unpack(byte >> 4);
            pairs[byte][1] = unpack(byte & 0xf);
        }
    }
};
constexpr byte_pairs unpacked;

} // namespace

void flush(output& out)
{
    if (out.used == 0)
        return;
    int& error = out.order ? out.order->error : out.error;
    if (out.order)
        wait_for_turn(out);
    if (error == 0)
        error = write_all(out.fd, out.block.get(), out.used);
    out.used = 0;
}

void end_stretch(output& out)
{
    flush(out);
    if (!out.order)
        return;
    wait_for_turn(out);
    std::lock_guard lock(out.order->lock);
    ++out.order->current;
    out.order->changed.notify_all();
}

char* make_room(output& out, std::size_t size)
{
    if (out.used + size + 1 > out.size)
        flush(out);
    return out.block.get() + out.used;
}

namespace
{

// Unpacks a word's token bytes to `at`, which has room for 16, and returns
// how many there are: all 16 are written, a byte pair at a time, and the
// padding nibbles behind the token, 0 and never a token byte, are counted
// off its end.
std::size_t unpack_word(char* at, std::uint64_t word)
{
    for (int byte = 0; byte < 8; ++byte)
        std::memcpy(at + 2 * byte, unpacked.pairs[word >> (56 - 8 * byte) & 0xff], 2);
    return word_bytes - static_cast<std::size_t>(std::countr_zero(word)) / 4;
}

} // namespace

void emit_word(output& out, std::uint64_t word)
{
    char* at = make_room(out, word_bytes);
    const std::size_t size = unpack_word(at, word);
    at[size] = '\n';
    out.used += size + 1;
}

void emit_pair(output& out, std::uint64_t high, std::uint64_t low)
{
    char* at = make_room(out, pair_bytes);
    const std::size_t size = unpack_word(at, high);
    const std::size_t rest = unpack_word(at + size, low);
    at[size + rest] = '\n';
    out.used += size + rest + 1;
}

// Writes a whole pair for the last, odd byte too: the newline overwrites
// its padding.
void emit_record(output& out, const unsigned char* record)
{
    const std::size_t length = record_length(record);
    char* at = make_room(out, length + 1);
    const unsigned char* packed = record + record_header;
    for (std::size_t i = 0; i < (length + 1) / 2; ++i)
        std::memcpy(at + 2 * i, unpacked.pairs[packed[i]], 2);
    at[length] = '\n';
    out.used += length + 1;
}
