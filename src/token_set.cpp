// The token set: packed short tokens in a hash table, long ones in a tree.
#include "token_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "write_all.h"

namespace
{

constexpr std::size_t max_packed_size = 16;
constexpr std::size_t initial_slots = 1024;

std::uint64_t pack(std::string_view token)
{
    std::uint64_t word = 0;
    for (unsigned char c : token)
        word = word << 4 | static_cast<std::uint64_t>(c - '/' + 1);
    return word << 4 * (max_packed_size - token.size());
}

// The first 16 bytes of a long token, packed: a packed token sorts before the
// long token exactly when its word is less than or equal to this one.
std::uint64_t packed_prefix(std::string_view token)
{
    return pack(token.substr(0, max_packed_size));
}

// Fibonacci hashing: the top bits of the product depend on every bit of the
// word, and a table of 2^k slots takes the top k.
std::uint64_t& find_slot(std::vector<std::uint64_t>& table, std::uint64_t word)
{
    const int shift = std::countl_zero(table.size()) + 1;
    const std::size_t mask = table.size() - 1;
    std::size_t i = (word * 0x9e3779b97f4a7c15) >> shift;
    while (table[i] != 0 && table[i] != word)
        i = (i + 1) & mask;
    return table[i];
}

void grow(token_set& tokens)
{
    std::vector<std::uint64_t> table(std::max(initial_slots, 2 * tokens.packed.size()));
    for (std::uint64_t word : tokens.packed)
        if (word != 0)
            find_slot(table, word) = word;
    tokens.packed.swap(table);
}

// Out of the hot path: only a new token is stored.
[[gnu::noinline]] void add_packed(token_set& tokens, std::uint64_t word)
{
    if (4 * (tokens.packed_count + 1) > 3 * tokens.packed.size())
        grow(tokens);
    find_slot(tokens.packed, word) = word;
    ++tokens.packed_count;
}

[[gnu::noinline]] void add_long(token_set& tokens, std::string_view token)
{
    auto at = tokens.long_tokens.lower_bound(token);
    if (at == tokens.long_tokens.end() || *at != token)
        tokens.long_tokens.emplace_hint(at, token);
}

// Collects the listing in large blocks, so that it costs few writes.
struct listing {
    int fd;
    int error = 0;
    std::size_t used = 0;
    char block[1 << 16] = {};
};

void flush(listing& out)
{
    if (out.used > 0 && out.error == 0)
        out.error = write_all(out.fd, out.block, out.used);
    out.used = 0;
}

// Room for one more line of at most `size` bytes with its newline.
char* make_room(listing& out, std::size_t size)
{
    if (out.used + size + 1 > sizeof out.block)
        flush(out);
    return out.block + out.used;
}

void emit(listing& out, std::string_view token)
{
    char* at = make_room(out, token.size());
    std::memcpy(at, token.data(), token.size());
    at[token.size()] = '\n';
    out.used += token.size() + 1;
}

void emit(listing& out, std::uint64_t word)
{
    char* at = make_room(out, max_packed_size);
    std::size_t size = 0;
    for (; word != 0; word <<= 4)
        at[size++] = static_cast<char>('/' - 1 + (word >> 60));
    at[size] = '\n';
    out.used += size + 1;
}

// A least-significant-byte-first radix sort. Passes over a byte that every
// word shares are skipped: short tokens leave many low bytes zero.
void radix_sort(std::vector<std::uint64_t>& words)
{
    if (words.empty())
        return;
    std::vector<std::uint64_t> sorted(words.size());
    static std::size_t counts[8][256];
    std::memset(counts, 0, sizeof counts);
    for (std::uint64_t word : words)
        for (int byte = 0; byte < 8; ++byte)
            ++counts[byte][word >> 8 * byte & 0xff];
    for (int byte = 0; byte < 8; ++byte) {
        std::size_t* starts = counts[byte];
        if (starts[words[0] >> 8 * byte & 0xff] == words.size())
            continue;
        for (std::size_t value = 0, start = 0; value < 256; ++value)
            start += std::exchange(starts[value], start);
        for (std::uint64_t word : words)
            sorted[starts[word >> 8 * byte & 0xff]++] = word;
        words.swap(sorted);
    }
}

// Moves the words of the hash table to its front and sorts them.
void sort_packed(token_set& tokens)
{
    auto end = std::remove(tokens.packed.begin(), tokens.packed.end(), std::uint64_t{0});
    tokens.packed.erase(end, tokens.packed.end());
    radix_sort(tokens.packed);
}

} // namespace

void insert_token(token_set& tokens, std::string_view token)
{
    if (token.empty()) {
        tokens.has_empty = true;
    } else if (token.size() <= max_packed_size) {
        const std::uint64_t word = pack(token);
        if (tokens.packed.empty() || find_slot(tokens.packed, word) != word)
            add_packed(tokens, word);
    } else {
        add_long(tokens, token);
    }
}

int print_tokens(token_set& tokens, int fd)
{
    sort_packed(tokens);
    listing out{fd};
    if (tokens.has_empty)
        emit(out, std::string_view());
    auto next_long = tokens.long_tokens.begin();
    for (std::uint64_t word : tokens.packed) {
        for (; next_long != tokens.long_tokens.end() && packed_prefix(*next_long) < word;
             ++next_long)
            emit(out, *next_long);
        emit(out, word);
    }
    for (; next_long != tokens.long_tokens.end(); ++next_long)
        emit(out, *next_long);
    flush(out);
    tokens = token_set();
    return out.error;
}
