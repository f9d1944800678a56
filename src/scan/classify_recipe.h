// SPDX-License-Identifier: MIT
// The recipe that every vector kernel follows, included by classify.cpp
// once for each instruction set, inside a region compiled for it, after
// `lanes` has been defined there: the set's compares and how many bytes
// one vector holds. Deliberately without an include guard.

// The 64 bytes at `block`, a vector at a time. Ranges are compared unsigned:
// c lies in [low, low + n] exactly when the byte c - low, wrapping, is at
// most n.
inline block_masks classify_block(const char* block)
{
    block_masks m{};
    std::uint64_t space = 0;
    for (unsigned at = 0; at < 64; at += lanes::width) {
        const lanes::bytes v = lanes::load(block + at);
        const lanes::match nul = lanes::equal(v, '\0');
        m.newline |= lanes::bits(lanes::equal(v, '\n')) << at;
        m.opener |= lanes::bits(lanes::either(lanes::equal(v, '['), nul)) << at;
        m.closer |= lanes::bits(lanes::either(lanes::equal(v, ']'), nul)) << at;
        m.token |= lanes::bits(lanes::within(v, '/', 10)) << at;
        space |= lanes::bits(lanes::either(lanes::equal(v, ' '), lanes::within(v, '\t', 4))) << at;
    }
    m.other = ~(m.token | space);
    return m;
}

void classify(const char* bytes, std::size_t blocks, block_masks* masks)
{
    for (std::size_t b = 0; b < blocks; ++b)
        masks[b] = classify_block(bytes + 64 * b);
}
