// The token set: packed short tokens in a hash table, long ones in a tree.
#include "token_set.h"

#include <algorithm>
#include <cstring>

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

// Packed words carry their entropy in the top bits; mix it into all of them.
std::uint64_t slot_hash(std::uint64_t word)
{
    word ^= word >> 33;
    word *= 0xff51afd7ed558ccd;
    word ^= word >> 33;
    word *= 0xc4ceb9fe1a85ec53;
    return word ^ word >> 33;
}

// The slot that holds `word`, or the free slot where it belongs.
std::uint64_t& find_slot(std::vector<std::uint64_t>& table, std::uint64_t word)
{
    const std::size_t mask = table.size() - 1;
    std::size_t i = slot_hash(word) & mask;
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

void insert_packed(token_set& tokens, std::uint64_t word)
{
    if (tokens.packed.empty())
        grow(tokens);
    std::uint64_t* slot = &find_slot(tokens.packed, word);
    if (*slot == word)
        return;
    if (4 * (tokens.packed_count + 1) > 3 * tokens.packed.size()) {
        grow(tokens);
        slot = &find_slot(tokens.packed, word);
    }
    *slot = word;
    ++tokens.packed_count;
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

// Moves the words of the hash table to its front and sorts them.
void sort_packed(token_set& tokens)
{
    auto end = std::remove(tokens.packed.begin(), tokens.packed.end(), std::uint64_t{0});
    tokens.packed.erase(end, tokens.packed.end());
    std::sort(tokens.packed.begin(), tokens.packed.end());
}

} // namespace

void insert_token(token_set& tokens, std::string_view token)
{
    if (token.empty())
        tokens.has_empty = true;
    else if (token.size() <= max_packed_size)
        insert_packed(tokens, pack(token));
    else if (auto at = tokens.long_tokens.lower_bound(token);
             at == tokens.long_tokens.end() || *at != token)
        tokens.long_tokens.emplace_hint(at, token);
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
