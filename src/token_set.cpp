// The token set: a red-black tree of token copies, ordered by memcmp.
#include "token_set.h"

void insert_token(token_set& tokens, std::string_view token)
{
    auto at = tokens.lower_bound(token);
    if (at != tokens.end() && *at == token)
        return;
    tokens.emplace_hint(at, token);
}

void print_tokens(const token_set& tokens, std::FILE* out)
{
    for (const std::string& token : tokens) {
        std::fwrite(token.data(), 1, token.size(), out);
        std::putc('\n', out);
    }
}
