// The token set's membership rule and the byte order of its listing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scanner.h"
#include "token_set.h"

namespace
{

std::string listing(token_set& tokens)
{
    std::FILE* file = std::tmpfile();
    EXPECT_EQ(print_tokens(tokens, fileno(file)), 0);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::getc(file)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(file);
    return text;
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
        // Tokens longer than 16 bytes are stored apart from shorter ones.
        {{"12345678901234567", "1234567890123456", "1234567890123457", "123456789012345",
          "12345678901234560", "2", "1/", "12345678901234567"},
         "1/\n123456789012345\n1234567890123456\n12345678901234560\n12345678901234567\n"
         "1234567890123457\n2\n"},
        {{"/0", std::string(20, '/'), "/", std::string(20, '/')},
         "/\n" + std::string(20, '/') + "\n/0\n"},
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
