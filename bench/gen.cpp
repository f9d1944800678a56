// SPDX-License-Identifier: MIT
// Writes a benchmark input of about SIZE_MIB mebibytes to standard output,
// the same bytes on every machine (a fixed seed and our own generator).
//
//   gen typical|distinct|nolist|longlines|ids|repeats|paths|mixed|dense|skewed SIZE_MIB
//   gen flood|flood-random TOKENS
//
// flood writes 16-digit tokens crafted to crowd one corner of the token
// table under the fixed key of tokcollect_fixed_key, flood-random as
// many tokens chosen at random; both one list a line.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fixed_key.h"
#include "forms/packed_token.h"

namespace
{

uint64_t state = 0x7f4a7c159e3779b9;

// splitmix64: small, fast and identical everywhere.
uint64_t next_random()
{
    uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

uint64_t below(uint64_t n)
{
    return next_random() % n;
}

// Dates m/d/yy over 25 years and integers below 1000: about 9,400 tokens.
void typical_line(std::string& out)
{
    out += "item_" + std::to_string(below(100000)) + " = [";
    for (uint64_t i = 0, n = 1 + below(6); i < n; ++i) {
        if (i)
            out += ", ";
        if (below(2)) {
            char date[16];
            std::snprintf(date, sizeof date, "%u/%u/%02u", unsigned(1 + below(12)),
                          unsigned(1 + below(28)), unsigned(below(25)));
            out += date;
        } else
            out += std::to_string(below(1000));
    }
    out += "]\n";
}

void distinct_line(std::string& out)
{
    out += '[';
    for (int i = 0; i < 8; ++i) {
        if (i)
            out += ',';
        out += std::to_string(below(1000000000));
    }
    out += "]\n";
}

void nolist_line(std::string& out)
{
    static const char* const hosts[] = {"web-1", "web-2", "db-1", "cache-3", "batch-7"};
    static const char* const events[] = {"accepted connection from", "closed connection to",
                                         "slow query from", "cache miss for", "retrying job for"};
    char text[160];
    std::snprintf(text, sizeof text, "Dec %2u %02u:%02u:%02u %s app: %s 10.0.%u.%u port %u id %u\n",
                  unsigned(1 + below(31)), unsigned(below(24)), unsigned(below(60)),
                  unsigned(below(60)), hosts[below(5)], events[below(5)], unsigned(below(256)),
                  unsigned(below(256)), unsigned(1024 + below(64000)), unsigned(below(1000000)));
    out += text;
}

void long_line(std::string& out)
{
    out += '[';
    for (int i = 0; i < 10000; ++i) {
        if (i)
            out += ',';
        out += std::to_string(below(100000));
    }
    out += "]\n";
}

// Two to five random 19-digit integers, as generated keys: almost all distinct.
void ids_line(std::string& out)
{
    out += "event ids=[";
    for (uint64_t i = 0, n = 2 + below(4); i < n; ++i) {
        if (i)
            out += ", ";
        out += std::to_string(1000000000000000000 + below(9000000000000000000));
    }
    out += "] ok\n";
}

// Four 12-digit ids a line, drawn at random from as many as make each
// recur about ten times, evenly over the input: some 750,000 in 100 MiB, so
// that every thread of many meets most of them.
uint64_t repeated_ids = 1;

void repeats_line(std::string& out)
{
    out += '[';
    for (int i = 0; i < 4; ++i) {
        if (i)
            out += ", ";
        const uint64_t index = below(repeated_ids), saved = state;
        state = index;
        out += std::to_string(100000000000 + next_random() % 900000000000);
        state = saved;
    }
    out += "]\n";
}

// One of a million paths such as /2026/12/08/14/30/000123, 18 to 34 bytes.
std::string path(uint64_t index)
{
    const uint64_t saved = state;
    state = index;
    char text[64];
    int size = std::snprintf(text, sizeof text, "/%u/%02u/%02u", unsigned(2000 + below(27)),
                             unsigned(1 + below(12)), unsigned(1 + below(28)));
    if (below(2))
        size += std::snprintf(text + size, sizeof text - static_cast<size_t>(size), "/%02u/%02u",
                              unsigned(below(24)), unsigned(below(60)));
    std::string result(text, static_cast<size_t>(size));
    result += '/';
    for (uint64_t digits = 6 + below(11); digits > 0; --digits)
        result += static_cast<char>('0' + below(10));
    state = saved;
    return result;
}

void paths_line(std::string& out)
{
    out += "GET paths=[";
    for (uint64_t i = 0, n = 1 + below(3); i < n; ++i) {
        if (i)
            out += ", ";
        out += path(below(1000000));
    }
    out += "] 200\n";
}

// Token lengths with a heavy tail: half of them up to 2 bytes, one in a
// hundred over 100, a few up to 300.
void mixed_line(std::string& out)
{
    out += '[';
    for (uint64_t i = 0, n = 1 + below(3); i < n; ++i) {
        if (i)
            out += ',';
        const double u = (1.0 + static_cast<double>(below(1000000))) / 1000000;
        const auto size = std::min<uint64_t>(300, static_cast<uint64_t>(2 / std::pow(u, 0.9)));
        for (uint64_t j = 0; j < size; ++j)
            out += "/0123456789"[below(11)];
    }
    out += "]\n";
}

// Three 16-digit ids a line with a heavy tail, as users or sessions in a
// log: the id of rank r comes about 1/r as often as the first (a Zipf law,
// drawn as a rank spread evenly in log scale), from as many ids as make
// about a third of those drawn distinct.
uint64_t skewed_ids = 1;

void skewed_line(std::string& out)
{
    out += "user ids=[";
    for (int i = 0; i < 3; ++i) {
        if (i)
            out += ", ";
        const double u = static_cast<double>(below(1 << 30)) / (1 << 30);
        const auto rank = static_cast<uint64_t>(std::pow(static_cast<double>(skewed_ids), u));
        const uint64_t saved = state;
        state = rank;
        out += std::to_string(1000000000000000 + next_random() % 9000000000000000);
        state = saved;
    }
    out += "]\n";
}

// 200 integers below 1000 a line.
void dense_line(std::string& out)
{
    out += '[';
    for (int i = 0; i < 200; ++i) {
        if (i)
            out += ',';
        out += std::to_string(below(1000));
    }
    out += "]\n";
}

// 16-digit tokens counting up from a random one, kept when `keep` says so.
template <typename Keep> int write_tokens(uint64_t count, Keep keep)
{
    std::string token = std::to_string(1000000000000000 + below(8000000000000000)), block;
    for (uint64_t written = 0; written < count;) {
        for (size_t i = token.size(); i-- > 0 && ++token[i] > '9';)
            token[i] = '0';
        if (!keep(token))
            continue;
        block.append("[").append(token).append("]\n");
        if (++written == count || block.size() >= (1 << 20)) {
            if (std::fwrite(block.data(), 1, block.size(), stdout) != block.size())
                return 1;
            block.clear();
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// The table takes a slot from the top bits of the hash: tokens whose top
// eight bits are 0 all start in the first 1/256 of it, whatever its size.
// The random tokens are as sparse a choice from the same numbers.
int write_flood(uint64_t count, bool crafted)
{
    return write_tokens(count, [crafted](const std::string& token) {
        return crafted ? hash_word(fixed_key, pack_word(token)) >> 56 == 0 : below(256) == 0;
    });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: gen WORKLOAD SIZE_MIB, or gen flood|flood-random TOKENS\n");
        return 2;
    }
    if (std::strncmp(argv[1], "flood", 5) == 0)
        return write_flood(std::strtoull(argv[2], nullptr, 10), std::strcmp(argv[1], "flood") == 0);
    void (*make_line)(std::string&) = std::strcmp(argv[1], "typical") == 0     ? typical_line
                                      : std::strcmp(argv[1], "distinct") == 0  ? distinct_line
                                      : std::strcmp(argv[1], "nolist") == 0    ? nolist_line
                                      : std::strcmp(argv[1], "longlines") == 0 ? long_line
                                      : std::strcmp(argv[1], "ids") == 0       ? ids_line
                                      : std::strcmp(argv[1], "repeats") == 0   ? repeats_line
                                      : std::strcmp(argv[1], "paths") == 0     ? paths_line
                                      : std::strcmp(argv[1], "mixed") == 0     ? mixed_line
                                      : std::strcmp(argv[1], "dense") == 0     ? dense_line
                                      : std::strcmp(argv[1], "skewed") == 0    ? skewed_line
                                                                               : nullptr;
    if (!make_line) {
        std::fprintf(stderr, "gen: unknown workload %s\n", argv[1]);
        return 2;
    }
    const uint64_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    // A line of repeats takes some 58 bytes for its four ids.
    repeated_ids = std::max<uint64_t>(1, size / 58 * 4 / 10);
    // A line of skewed ids takes some 63 bytes for its three.
    skewed_ids = std::max<uint64_t>(2, size / 63 * 3 * 10);
    std::string block;
    for (uint64_t written = 0; written < size; written += block.size()) {
        block.clear();
        while (block.size() < (1 << 20))
            make_line(block);
        if (std::fwrite(block.data(), 1, block.size(), stdout) != block.size())
            return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
