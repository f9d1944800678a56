// SPDX-License-Identifier: MIT
// What the scanner takes from one chunk, with every classifying kernel this
// CPU can run.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "read/read_buffer.h"
#include "run_program.h"
#include "scan/scanner.h"

namespace
{

struct scan_case {
    std::string chunk;
    bool has_list;
    std::vector<std::string> tokens; // in scanning order
};

// The set only keeps distinct tokens, so the scanner need not take them in
// order, nor the empty token each time. Each chunk is also cut behind 64
// bytes that come before any list, so that it is too long for one window.
void expect_cuts(const std::vector<scan_case>& cases)
{
    static read_buffer buffer;
    static block_masks masks[masks_per_buffer];
    for (const classifier& kernel : usable_classifiers()) {
        for (const scan_case& c : cases) {
            for (const std::string& chunk : {c.chunk, std::string(64, 'x') + c.chunk}) {
                chunk.copy(buffer.bytes, chunk.size());
                kernel.classify(buffer.bytes, (chunk.size() + 63) / 64, masks);
                std::set<std::string> tokens;
                const std::size_t lists_missing =
                    cut_chunks(buffer.bytes, masks, chunk.size(),
                               [&](std::string_view t) { tokens.emplace(t); });
                const std::string where = escape(chunk) + " by " + kernel.name;
                EXPECT_EQ(lists_missing, c.has_list ? 0u : 1u) << where;
                EXPECT_EQ(tokens, std::set<std::string>(c.tokens.begin(), c.tokens.end())) << where;
            }
        }
    }
}

using namespace std::string_literals;

TEST(Scanner, Separators)
{
    expect_cuts({
        {"[1, 2, 3]\n", true, {"1", "2", "3"}},
        {"[1,,2]\n", true, {"1", "", "2"}},
        {"[1 , 2]\n", true, {"1", "", "2"}},
        {"[ 1, 2 ]\n", true, {"1", "2", ""}},
        {"[1ab2]\n", true, {"1", "", "2"}},
        {"[1;2]", true, {"1", "2"}},
        {"[-5, +6, 1.5, 1e3]\n", true, {"", "5", "", "6", "1", "5", "1", "3"}},
        {"[\xff"
         "1\xa0"
         "2]",
         true,
         {"", "1", "2"}},
    });
}

// Exactly blank, \t, \n, \v, \f and \r are skipped before a token (a newline
// only ever ends a chunk); bytes that some locales call space are separators
// like any other.
TEST(Scanner, Whitespace)
{
    expect_cuts({
        {"[\t1]", true, {"1"}},
        {"[\v1]", true, {"1"}},
        {"[\f1]", true, {"1"}},
        {"[\r1]", true, {"1"}},
        {"[ 1]", true, {"1"}},
        {"[ \t\v\f\r1]", true, {"1"}},
        {"[\x85"
         "1]",
         true,
         {"", "1"}},
        {"[\xa0"
         "1]",
         true,
         {"", "1"}},
        {"[\x1c"
         "1]",
         true,
         {"", "1"}},
    });
}

TEST(Scanner, TokenBytes)
{
    expect_cuts({
        {"[1/2, 12/31/99, /]\n", true, {"1/2", "12/31/99", "/"}},
        {"[007,//,1/]", true, {"007", "//", "1/"}},
        {"[.:0]", true, {"", "", "0"}},
    });
}

TEST(Scanner, EmptyLists)
{
    expect_cuts({
        {"[ ]\n", true, {""}},
        {"[", true, {""}},
    });
}

TEST(Scanner, FirstListOnly)
{
    expect_cuts({
        {"x = [007, 7, 07]  # [8]\n", true, {"007", "7", "07"}},
        {"[[1,2],[3]]\n", true, {"", "1", "2"}},
        {"a]b[4]", true, {"4"}},
    });
}

TEST(Scanner, ListEndsWithChunk)
{
    expect_cuts({
        {"[\t9\r\n", true, {"9", ""}},
        {"[1,2\0,3]\n"s, true, {"1", "2"}},
        {"[12\0"s, true, {"12"}},
    });
}

TEST(Scanner, NoList)
{
    expect_cuts({
        {"no list here\n", false, {}},
        {"]1,2]\n", false, {}},
    });
}

} // namespace
