// SPDX-License-Identifier: MIT
// A listing that only sorts, on one core, beside which to see what
// tokcollect's set costs where tokens seldom recur: standard input read and
// cut as tokcollect does it, every token of 1 to 16 bytes kept as a word,
// the words cut into buckets of the byte order, each bucket sorted in the
// caches by tokcollect's radix sort and listed, each word once. No token
// is hashed, looked up or deduplicated before the sort, and no budget is
// kept. Its arrays are reserved once, with huge pages, as tokcollect's
// pools are. Longer and empty tokens are counted on standard error and not
// listed, so its listing is tokcollect's only where every token is a word.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/mman.h>
#include <vector>

#include "forms/forms.h"
#include "forms/radix_sort.h"
#include "system/pages.h"
#include "system/write_all.h"

#include "scan_input.h"

namespace
{

// Room for the words of 512 GiB of input at the least, reserved, not taken.
constexpr std::size_t most_words = std::size_t{1} << 36;

// An array of `count` words, whose pages fault in as it fills.
std::uint64_t* reserve_words(std::size_t count)
{
    void* region = mmap(nullptr, count * sizeof(std::uint64_t), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        std::perror("sort_only: mmap");
        std::exit(1);
    }
    advise_huge_pages(region, count * sizeof(std::uint64_t));
    return static_cast<std::uint64_t*>(region);
}

// Every word of standard input, in the order found, in `words`; returns
// how many, and counts the other tokens in `others`.
std::size_t keep_words(std::uint64_t* words, std::size_t& others)
{
    std::size_t count = 0;
    const scanned_input scanned = scan_input([&](std::string_view token) {
        if (token.empty() || token.size() > max_word_size)
            ++others;
        else
            words[count++] = pack_padded_word(token.data(), token.size());
    });
    if (scanned.read_failed) {
        std::perror("sort_only: read");
        std::exit(1);
    }
    return count;
}

// Output waiting to be written, with room for a word's 16 bytes past it.
struct output {
    std::vector<char> bytes = std::vector<char>(2 << 20);
    std::size_t used = 0;
};

void flush(output& out)
{
    if (const int error = write_all(1, out.bytes.data(), out.used)) {
        std::fprintf(stderr, "sort_only: write: %s\n", std::strerror(error));
        std::exit(1);
    }
    out.used = 0;
}

// Writes the sorted `words` that differ from the one before, each on a line.
void list_words(const std::uint64_t* words, std::size_t count, output& out)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && words[i] == words[i - 1])
            continue;
        if (out.used + max_word_size + 1 > out.bytes.size())
            flush(out);
        out.used += word_kind::unpack(out.bytes.data() + out.used, words[i]);
        out.bytes[out.used++] = '\n';
    }
}

} // namespace

int main()
{
    std::uint64_t* words = reserve_words(most_words);
    std::size_t others = 0;
    const std::size_t count = keep_words(words, others);

    limb_bits<1> seen;
    for (std::size_t i = 0; i < count; ++i)
        see_limb(seen, 0, words[i]);
    const order_cut cut = cut_by_order(varying(seen, 0), count, 15);
    std::vector<std::size_t> starts(cut.buckets() + 1);
    for (std::size_t i = 0; i < count; ++i)
        ++starts[order_bucket(words[i], cut) + 1];
    std::size_t largest = 0;
    for (std::size_t b = 1; b < starts.size(); ++b) {
        largest = std::max(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    std::uint64_t* bucketed = reserve_words(most_words);
    std::vector<std::size_t> ends(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < count; ++i)
        bucketed[ends[order_bucket(words[i], cut)]++] = words[i];

    bit_range bits = varying_bits(varying(seen, 0));
    if (bits.low <= bits.high)
        bits.high = std::max(bits.low, 63 - cut.shift - cut.bits);
    std::vector<std::uint64_t> scratch(largest);
    output out;
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t size = starts[b + 1] - starts[b];
        const std::uint64_t* sorted = sort_by_key(bucketed + starts[b], scratch.data(), size, bits,
                                                  [](std::uint64_t word) { return word; });
        list_words(sorted, size, out);
    }
    flush(out);
    if (others > 0)
        std::fprintf(stderr, "sort_only: %zu tokens not words, not listed\n", others);
    return 0;
}
