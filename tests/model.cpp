// SPDX-License-Identifier: MIT
// An independent statement of the rules: fgets-style chunks, byte-by-byte
// scanning with libc's classification, and a std::set of strings.
#include "model.h"

#include <cctype>
#include <set>

namespace
{

// What fgets() into a 1024-byte buffer reads next, starting at `pos`.
std::string read_chunk(std::string_view input, size_t& pos)
{
    std::string chunk;
    while (pos < input.size() && chunk.size() < 1023) {
        chunk += input[pos++];
        if (chunk.back() == '\n')
            break;
    }
    return chunk;
}

bool is_token_byte(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) || c == '/';
}

// Adds the chunk's tokens to `tokens`; false when the chunk has no list.
bool scan(std::string chunk, std::set<std::string>& tokens)
{
    chunk = chunk.substr(0, chunk.find('\0'));
    size_t i = chunk.find('[');
    if (i == std::string::npos)
        return false;
    ++i;
    for (;;) {
        while (i < chunk.size() && std::isspace(static_cast<unsigned char>(chunk[i])))
            ++i;
        size_t start = i;
        while (i < chunk.size() && is_token_byte(chunk[i]))
            ++i;
        tokens.insert(chunk.substr(start, i - start));
        if (i == chunk.size() || chunk[i] == ']')
            return true;
        ++i;
    }
}

} // namespace

model_output model_tokcollect(std::string_view input)
{
    model_output result;
    std::set<std::string> tokens;
    for (size_t pos = 0; pos < input.size();) {
        if (!scan(read_chunk(input, pos), tokens))
            result.err += "End of line\n";
    }
    for (const std::string& token : tokens)
        result.out += token + '\n';
    return result;
}
