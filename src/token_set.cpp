// The token set: packed short tokens in a hash table, long ones in a tree.
#include "token_set.h"

#include <algorithm>
#include <bit>
#include <new>
#include <sys/mman.h>
#include <utility>

#include "write_all.h"

namespace
{

constexpr std::size_t max_packed_size = 16;
constexpr std::size_t initial_slots = 1024;
// A table of up to this many slots (512 KiB) stays in the caches. It is kept
// sparse, to shorten probes, and probed directly, since batching only pays
// for lookups that miss the caches.
constexpr std::size_t cached_slots = 65536;

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
std::size_t home_slot(std::uint64_t word, std::size_t slot_count)
{
    return (word * 0x9e3779b97f4a7c15) >> (std::countl_zero(slot_count) + 1);
}

// The slot that holds `word`, or the free slot where it belongs.
std::uint64_t& find_slot(std::uint64_t* slots, std::size_t slot_count, std::uint64_t word)
{
    std::size_t i = home_slot(word, slot_count);
    while (slots[i] != 0 && slots[i] != word)
        i = (i + 1) & (slot_count - 1);
    return slots[i];
}

// calloc() takes large blocks straight from the kernel, already zeroed, and
// huge pages spare a large table most of its page faults and TLB misses.
std::uint64_t* zeroed_slots(std::size_t count)
{
    void* block = std::calloc(count, sizeof(std::uint64_t));
    if (!block)
        throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(std::uint64_t);
    const std::uintptr_t page = 4096, start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    if (bytes >= (std::size_t{4} << 20))
        madvise(reinterpret_cast<void*>(first), (start + bytes - first) & ~(page - 1),
                MADV_HUGEPAGE);
    return static_cast<std::uint64_t*>(block);
}

void grow(token_set& tokens)
{
    const std::size_t count = std::max(initial_slots, 2 * tokens.slot_count);
    decltype(token_set::slots) table(zeroed_slots(count), std::free);
    for (std::size_t i = 0; i < tokens.slot_count; ++i)
        if (const std::uint64_t word = tokens.slots[i])
            find_slot(table.get(), count, word) = word;
    tokens.slots = std::move(table);
    tokens.slot_count = count;
}

// Out of the hot path: only a new token is stored.
[[gnu::noinline]] void add_packed(token_set& tokens, std::uint64_t word)
{
    const std::size_t eighths_full = tokens.slot_count < cached_slots ? 3 : 6;
    if (8 * (tokens.packed_count + 1) > eighths_full * tokens.slot_count)
        grow(tokens);
    find_slot(tokens.slots.get(), tokens.slot_count, word) = word;
    ++tokens.packed_count;
}

void insert_packed(token_set& tokens, std::uint64_t word)
{
    if (tokens.slot_count == 0 || find_slot(tokens.slots.get(), tokens.slot_count, word) != word)
        add_packed(tokens, word);
}

// Looks up the pending words, first asking for all their slots at once.
void insert_pending(token_set& tokens)
{
    const std::size_t count = tokens.slot_count;
    for (std::size_t i = 0; i < tokens.pending_count && count; ++i)
        __builtin_prefetch(&tokens.slots[home_slot(tokens.pending[i], count)]);
    for (std::size_t i = 0; i < tokens.pending_count; ++i)
        insert_packed(tokens, tokens.pending[i]);
    tokens.pending_count = 0;
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
    std::copy(token.begin(), token.end(), at);
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

// A least-significant-byte-first radix sort through `scratch`, which holds
// as many words. Passes over a byte that every word shares are skipped:
// short tokens leave many low bytes zero. Returns where the sorted words are.
std::uint64_t* radix_sort(std::uint64_t* words, std::uint64_t* scratch, std::size_t size)
{
    if (size == 0)
        return words;
    std::size_t counts[8][256] = {};
    for (std::size_t i = 0; i < size; ++i)
        for (int byte = 0; byte < 8; ++byte)
            ++counts[byte][words[i] >> 8 * byte & 0xff];
    for (int byte = 0; byte < 8; ++byte) {
        std::size_t* starts = counts[byte];
        if (starts[words[0] >> 8 * byte & 0xff] == size)
            continue;
        for (std::size_t value = 0, start = 0; value < 256; ++value)
            start += std::exchange(starts[value], start);
        for (std::size_t i = 0; i < size; ++i)
            scratch[starts[words[i] >> 8 * byte & 0xff]++] = words[i];
        std::swap(words, scratch);
    }
    return words;
}

void write_listing(listing& out, const token_set& tokens, const std::uint64_t* words)
{
    if (tokens.has_empty)
        emit(out, std::string_view());
    auto next_long = tokens.long_tokens.begin();
    for (const std::uint64_t* word = words; word != words + tokens.packed_count; ++word) {
        for (; next_long != tokens.long_tokens.end() && packed_prefix(*next_long) < *word;
             ++next_long)
            emit(out, *next_long);
        emit(out, *word);
    }
    for (; next_long != tokens.long_tokens.end(); ++next_long)
        emit(out, *next_long);
}

} // namespace

void insert_token(token_set& tokens, std::string_view token)
{
    if (token.empty()) {
        tokens.has_empty = true;
    } else if (token.size() > max_packed_size) {
        add_long(tokens, token);
    } else if (tokens.slot_count != 0 && tokens.slot_count < cached_slots) {
        insert_packed(tokens, pack(token));
    } else {
        tokens.pending[tokens.pending_count++] = pack(token);
        if (tokens.pending_count == std::size(tokens.pending))
            insert_pending(tokens);
    }
}

int print_tokens(token_set& tokens, int fd)
{
    insert_pending(tokens);
    // The words move to the front of the table, which is then theirs alone.
    std::uint64_t* words = tokens.slots.get();
    std::uint64_t* end = std::remove(words, words + tokens.slot_count, std::uint64_t{0});
    auto scratch = std::make_unique_for_overwrite<std::uint64_t[]>(tokens.packed_count);
    words = radix_sort(words, scratch.get(), static_cast<std::size_t>(end - words));

    listing out{fd};
    write_listing(out, tokens, words);
    flush(out);
    tokens = token_set();
    return out.error;
}
