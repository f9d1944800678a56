// The token set's membership rule and the byte order of its listing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scanner.h"
#include "token_set.h"

namespace
{

std::string listing(const token_set& tokens)
{
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    print_tokens(tokens, out);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::string listing_of(const std::vector<std::string>& inserted)
{
    token_set tokens;
    for (const std::string& token : inserted)
        insert_token(tokens, token);
    return listing(tokens);
}

TEST(TokenSet, ByteOrder)
{
    struct order_case {
        std::vector<std::string> inserted;
        std::string listed;
    };
    const order_case cases[] = {
        {{}, ""},
        {{"7", "07", "007"}, "007\n07\n7\n"},
        {{"9", "10"}, "10\n9\n"},
        {{"10", "9", "1/", "/1", "0"}, "/1\n0\n1/\n10\n9\n"},
        {{"5", "", "4"}, "\n4\n5\n"},
        {{"9", "7", "2", "10", "1/2", "1/", "1", "07", "007", "0", "/1", "/", ""},
         "\n/\n/1\n0\n007\n07\n1\n1/\n1/2\n10\n2\n7\n9\n"},
    };
    for (const order_case& c : cases)
        EXPECT_EQ(listing_of(c.inserted), c.listed);
}

TEST(TokenSet, DuplicatesListedOnce)
{
    EXPECT_EQ(listing_of({"12", "3", "12", "", "3", "", "12"}), "\n12\n3\n");

    token_set tokens;
    for (const char* chunk : {"[3,1,2]\n", "[2,10,1]\n", "[1,1,1]"})
        scan_line(chunk, tokens);
    EXPECT_EQ(listing(tokens), "1\n10\n2\n3\n");
}

} // namespace
