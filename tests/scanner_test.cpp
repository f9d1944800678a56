// SPDX-License-Identifier: MIT
// What the scanner takes from one chunk, token by token, in scanning order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_program.h"
#include "scanner.h"

namespace
{

struct scan_case {
    std::string chunk;
    bool has_list;
    std::vector<std::string> tokens;
};

void expect_cuts(const std::vector<scan_case>& cases)
{
    for (const scan_case& c : cases) {
        std::vector<std::string> tokens;
        bool has_list =
            cut_list(c.chunk.c_str(), [&](std::string_view t) { tokens.emplace_back(t); });
        EXPECT_EQ(has_list, c.has_list) << escape(c.chunk);
        EXPECT_EQ(tokens, c.tokens) << escape(c.chunk);
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

// Exactly blank, \t, \n, \v, \f and \r are skipped before a token; bytes that
// some locales call space are separators like any other.
TEST(Scanner, Whitespace)
{
    expect_cuts({
        {"[\t1]", true, {"1"}},
        {"[\v1]", true, {"1"}},
        {"[\f1]", true, {"1"}},
        {"[\r1]", true, {"1"}},
        {"[ 1]", true, {"1"}},
        {"[\n1]", true, {"1"}},
        {"[ \t\v\f\r\n1]", true, {"1"}},
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
        {"[]\n", true, {""}},
        {"[ ]\n", true, {""}},
        {"[", true, {""}},
        {"[\n", true, {""}},
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
        {"[1, 2\n", true, {"1", "2", ""}},
        {"[1, 2", true, {"1", "2"}},
        {"[\t9\r\n", true, {"9", ""}},
        {"[1,2\0,3]\n"s, true, {"1", "2"}},
        {"[12\0"s, true, {"12"}},
    });
}

TEST(Scanner, NoList)
{
    expect_cuts({
        {"", false, {}},
        {"\n", false, {}},
        {"no list here\n", false, {}},
        {"abc", false, {}},
        {"\0[1]\n"s, false, {}},
        {"ab\0[1]\n"s, false, {}},
        {"]1,2]\n", false, {}},
    });
}

} // namespace
