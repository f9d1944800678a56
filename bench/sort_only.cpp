// SPDX-License-Identifier: MIT
// A listing that only sorts, on one core, beside which to see what
// tokcollect's set costs where tokens seldom recur: standard input read and
// cut as tokcollect does it, every token kept in its form (a word, a pair
// or a record), the tokens of each form cut into buckets of the byte order,
// each bucket sorted in the caches by tokcollect's sort and listed, each
// token once. No token is hashed, looked up or deduplicated before the
// sort, and no budget is kept. Its arrays are reserved once, with huge
// pages, as tokcollect's pools are. The forms are listed one after
// another, not merged, so its listing is tokcollect's where every token is
// of one form, and is tokcollect's once sorted in byte order otherwise.
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

// Room for the tokens of 512 GiB of input at the least, reserved, not taken.
constexpr std::size_t most_bytes = std::size_t{1} << 39;

// An array whose pages fault in as it fills.
template <typename Entry> Entry* reserve()
{
    void* region = mmap(nullptr, most_bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        std::perror("sort_only: mmap");
        std::exit(1);
    }
    advise_huge_pages(region, most_bytes);
    return static_cast<Entry*>(region);
}

// The tokens of one form, in the order found.
template <typename Kind> struct kept {
    typename Kind::sort_entry* entries = reserve<typename Kind::sort_entry>();
    std::size_t count = 0;
};

// Every token of standard input, in its form; returns whether the empty
// token was among them.
bool keep_tokens(kept<word_kind>& words, kept<pair_kind>& pairs, kept<record_kind>& records)
{
    bool has_empty = false;
    // Where the records' sort entries point; the pages past it read as 0,
    // the slack that their loads may touch.
    unsigned char* stored = reserve<unsigned char>();
    const scanned_input scanned = scan_input([&](std::string_view token) {
        if (token.empty()) {
            has_empty = true;
        } else if (token.size() <= max_word_size) {
            words.entries[words.count++] = pack_padded_word(token.data(), token.size());
        } else if (token.size() <= max_pair_size) {
            pairs.entries[pairs.count++] = pack_pair(token);
        } else {
            records.entries[records.count++] = record_kind::sorted(stored);
            stored += record_kind::pack(token, stored);
        }
    });
    if (scanned.read_failed) {
        std::perror("sort_only: read");
        std::exit(1);
    }
    return has_empty;
}

// Output waiting to be written, with room for a token's line past it.
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

// Writes the sorted `tokens` that differ from the one before, each on a
// line.
template <typename Kind>
void list_sorted(const typename Kind::sort_entry* tokens, std::size_t count, output& out)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && same_token<Kind>(tokens[i], tokens[i - 1]))
            continue;
        if (out.used + max_token_size + 1 > out.bytes.size())
            flush(out);
        out.used += Kind::unpack(out.bytes.data() + out.used, tokens[i]);
        out.bytes[out.used++] = '\n';
    }
}

// Cuts the tokens into buckets of the byte order by their first limbs,
// then sorts and lists each bucket.
template <typename Kind> void sort_and_list(const kept<Kind>& tokens, output& out)
{
    using entry = typename Kind::sort_entry;
    if (tokens.count == 0)
        return;
    limb_bits<1> seen;
    for (std::size_t i = 0; i < tokens.count; ++i)
        see_limb(seen, 0, Kind::sort_limb(tokens.entries[i], 0));
    const order_cut cut = cut_by_order(varying(seen, 0), tokens.count, 15);
    const auto bucket = [&](const entry& e) { return order_bucket(Kind::sort_limb(e, 0), cut); };
    std::vector<std::size_t> starts(cut.buckets() + 1);
    for (std::size_t i = 0; i < tokens.count; ++i)
        ++starts[bucket(tokens.entries[i]) + 1];
    std::size_t largest = 0;
    for (std::size_t b = 1; b < starts.size(); ++b) {
        largest = std::max(largest, starts[b]);
        starts[b] += starts[b - 1];
    }
    entry* bucketed = reserve<entry>();
    std::vector<std::size_t> ends(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < tokens.count; ++i)
        bucketed[ends[bucket(tokens.entries[i])]++] = tokens.entries[i];
    std::vector<entry> scratch(largest);
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        const std::size_t size = starts[b + 1] - starts[b];
        list_sorted<Kind>(sort_in_order<Kind>(bucketed + starts[b], scratch.data(), size), size,
                          out);
    }
}

} // namespace

int main()
{
    kept<word_kind> words;
    kept<pair_kind> pairs;
    kept<record_kind> records;
    output out;
    if (keep_tokens(words, pairs, records))
        out.bytes[out.used++] = '\n';
    sort_and_list(words, out);
    sort_and_list(pairs, out);
    sort_and_list(records, out);
    flush(out);
    return 0;
}
