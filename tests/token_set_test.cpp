// SPDX-License-Identifier: MIT
// The token set's membership rule and the byte order of its listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "listing/listing.h"
#include "set/token_inserter.h"
#include "set/word_table.h"

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

std::string listing(token_inserter& tokens)
{
    drain(tokens);
    return listing(tokens.set);
}

// Inserts `token` as the scanner hands it over, a view into the input:
// `after` follows it, and then enough bytes that 16 may be read at each of
// its own.
void insert(token_inserter& tokens, const std::string& token, std::string_view after = "")
{
    const std::string input = token + std::string(after) + std::string(16, '\0');
    insert_token(tokens, std::string_view(input).substr(0, token.size()));
}

// Inserts each token three times over: followed by NULs; followed by other
// bytes, digits among them; and in turn through three inserters into a set
// of as many shards as many threads get.
std::string listing_of(const std::vector<std::string>& inserted)
{
    token_set set(1), followed_set(1), shared(64);
    token_inserter tokens(set), followed(followed_set);
    token_inserter turns[] = {token_inserter(shared), token_inserter(shared),
                              token_inserter(shared)};
    for (std::size_t i = 0; i < inserted.size(); ++i) {
        const std::string& token = inserted[i];
        insert(tokens, token);
        insert(followed, token,
               "]9/\xff"
               "5555555555555555");
        insert(turns[i % std::size(turns)], token);
    }
    const std::string listed = listing(tokens);
    EXPECT_TRUE(listing(followed) == listed) << "what follows a token changes the listing";
    for (token_inserter& turn : turns)
        drain(turn);
    EXPECT_TRUE(listing(shared) == listed) << "shards list differently";
    return listed;
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
        // Words, pairs and records are stored apart.
        {{"12345678901234567", "1234567890123456", "1234567890123457", "123456789012345",
          "12345678901234560", "2", "1/", "12345678901234567"},
         "1/\n123456789012345\n1234567890123456\n12345678901234560\n12345678901234567\n"
         "1234567890123457\n2\n"},
        {{"/0", std::string(20, '/'), "/", std::string(20, '/')},
         "/\n" + std::string(20, '/') + "\n/0\n"},
        // Records that differ only in their last byte, or in their length.
        {{std::string(32, '9') + "1", std::string(32, '9') + "0", std::string(32, '9') + "/",
          std::string(33, '9'), std::string(32, '9')},
         std::string(32, '9') + "\n" + std::string(32, '9') + "/\n" + std::string(32, '9') + "0\n" +
             std::string(32, '9') + "1\n" + std::string(33, '9') + "\n"},
    };
    for (const order_case& c : cases)
        EXPECT_EQ(listing_of(c.inserted), c.listed);
}

// Every length across the boundaries of packed words, each token a prefix of
// the next and an extension of a shorter one: the listing is byte order.
TEST(TokenSet, LengthsAcrossWordBoundaries)
{
    std::vector<std::string> tokens;
    for (size_t size : {1, 2, 15, 16, 17, 31, 32, 33, 47, 48, 49, 300, 511, 512, 1021, 1022}) {
        std::string token;
        for (size_t i = 0; i < size; ++i)
            token += "0123456789/"[i % 11];
        tokens.push_back(token);
        tokens.push_back(token.substr(0, size - 1) + "9");
        tokens.push_back(token.substr(0, size - 1) + "/");
    }
    std::set<std::string> sorted(tokens.begin(), tokens.end());
    std::string expected;
    for (const std::string& token : sorted)
        expected += token + "\n";
    std::vector<std::string> inserted(tokens.rbegin(), tokens.rend());
    inserted.insert(inserted.end(), tokens.begin(), tokens.end());
    EXPECT_EQ(listing_of(inserted), expected);
}

// Words crafted to share their home slot under a key the test knows, as a
// flood would be: the table must rebuild under a new key instead of probing
// ever longer runs, and still hold every word once.
TEST(TokenSet, CraftedCollisionsRebuildUnderNewKey)
{
    const hash_key known{0x0123456789abcdef, 0x9e3779b97f4a7c15};
    std::mt19937_64 random(16);
    std::set<std::string> crafted;
    while (crafted.size() < 3000) {
        std::string token;
        for (size_t i = 0; i < max_word_size; ++i)
            token += "/0123456789"[random() % 11];
        if (hash_word(known, pack_word(token)) >> 55 == 0)
            crafted.insert(token);
    }
    token_set set(1);
    set.key = known;
    token_inserter tokens(set);
    std::size_t rekeys = 0;
    for (const std::string& token : crafted) {
        insert(tokens, token);
        rekeys = std::max(rekeys, tokens.table.rekeys);
    }
    EXPECT_GE(rekeys, 1u);
    std::string expected;
    for (const std::string& token : crafted)
        expected += token + "\n";
    EXPECT_EQ(listing(tokens), expected);
}

// A rebuild bound to a limit that no key can meet, into a table that the
// words crowd three quarters full: after two keys have failed, the limit
// doubles until it binds no more, and every word is kept. So few that they
// stay in the table.
TEST(TokenSet, RebuildLimitDoublesUntilItBinds)
{
    std::mt19937_64 random(3);
    std::set<std::string> inserted;
    token_set set(1);
    token_inserter tokens(set);
    while (inserted.size() < 190) {
        const std::string token = std::to_string(random() % 1'000'000'000);
        insert(tokens, token);
        inserted.insert(token);
    }
    ASSERT_EQ(tokens.words_in, word_home::table);
    std::string expected;
    for (const std::string& token : inserted)
        expected += token + "\n";
    // Under a fresh key: the table's own may have been drawn to meet a
    // limit as tight at this size, where the parts are small.
    const std::size_t rekeys = tokens.table.rekeys;
    rebuild_near_home(tokens.table, 256, random_key(), 1);
    EXPECT_GE(tokens.table.rekeys, rekeys + 2);
    EXPECT_EQ(listing(tokens), expected);
}

// More words than a table that fits the caches holds, so that they spill
// to the shards, each token given several times over, far apart; pairs and
// records among them, enough for their partitions to split.
TEST(TokenSet, SpilledWordsListedOnceInByteOrder)
{
    std::mt19937_64 random(16);
    std::vector<std::string> distinct;
    for (int i = 0; i < 150'000; ++i) {
        std::string token;
        for (size_t n = 1 + random() % (i % 50 == 0 ? 40 : i % 5 == 0 ? 32 : 16); n > 0; --n)
            token += "/0123456789"[random() % 11];
        distinct.push_back(token);
    }
    std::vector<std::string> inserted;
    for (int round = 0; round < 3; ++round)
        for (size_t i = round; i < distinct.size(); i += 1 + round)
            inserted.push_back(distinct[i]);
    std::shuffle(inserted.begin(), inserted.end(), random);
    std::set<std::string> sorted(distinct.begin(), distinct.end());
    std::string expected;
    for (const std::string& token : sorted)
        expected += token + "\n";
    EXPECT_TRUE(listing_of(inserted) == expected) << "listing differs from the sorted tokens";
}

TEST(TokenSet, DuplicatesListedOnce)
{
    EXPECT_EQ(listing_of({"12", "3", "12", "", "3", "", "12"}), "\n12\n3\n");
    EXPECT_EQ(listing_of({"3", "1", "2", "2", "10", "1", "1", "1", "1"}), "1\n10\n2\n3\n");
}

} // namespace
