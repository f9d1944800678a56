// SPDX-License-Identifier: MIT
// libFuzzer target: the whole collector, from reading and chunking to the
// listing, on arbitrary bytes, by one reader and by several threads. Checks
// the properties every run must have, then compares both output streams with
// the test suite's model.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "classify.h"
#include "driver.h"
#include "model.h"
#include "write_all.h"

namespace
{

std::string contents(int fd)
{
    std::string text;
    char block[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(n));
    return text;
}

void require(bool ok)
{
    if (!ok)
        std::abort();
}

// Strictly ascending in byte order, and every token made of 0x2F to 0x39.
void check_listing(std::string_view listing)
{
    require(listing.empty() || listing.back() == '\n');
    std::string_view previous;
    for (std::size_t at = 0; at < listing.size();) {
        const std::size_t newline = listing.find('\n', at);
        std::string_view token = listing.substr(at, newline - at);
        for (unsigned char c : token)
            require(c >= 0x2F && c <= 0x39);
        require(at == 0 || previous < token);
        previous = token;
        at = newline + 1;
    }
}

// One "End of line\n" for each 1023-byte-at-most chunk without a '[' before
// its first NUL.
void check_diagnostics(std::string_view input, std::string_view diagnostics)
{
    std::size_t unlisted = 0;
    for (std::size_t at = 0; at < input.size();) {
        std::string_view chunk = input.substr(at, 1023);
        if (const std::size_t newline = chunk.find('\n'); newline != std::string_view::npos)
            chunk = chunk.substr(0, newline + 1);
        at += chunk.size();
        chunk = chunk.substr(0, chunk.find('\0'));
        unlisted += chunk.find('[') == std::string_view::npos;
    }
    require(diagnostics.size() == unlisted * 12);
    for (std::size_t at = 0; at < diagnostics.size(); at += 12)
        require(diagnostics.substr(at, 12) == "End of line\n");
}

// Runs the collector on `input` as a file in memory; returns its listing and
// diagnostics.
std::pair<std::string, std::string> collect(std::string_view input, const collect_options& options)
{
    const int in = memfd_create("input", 0), out = memfd_create("output", 0),
              err = memfd_create("errors", 0);
    require(in >= 0 && out >= 0 && err >= 0);
    require(write_all(in, input.data(), input.size()) == 0);
    lseek(in, 0, SEEK_SET);
    require(collect_tokens(in, out, err, options) == 0);
    std::pair<std::string, std::string> result{contents(out), contents(err)};
    close(in);
    close(out);
    close(err);
    return result;
}

// Runs the collector on `input` written into a pipe by another thread, in
// pieces of sizes that the input picks; returns its listing and diagnostics.
std::pair<std::string, std::string> collect_piped(std::string_view input,
                                                  const collect_options& options)
{
    int ends[2];
    require(pipe(ends) == 0);
    std::thread writer([&] {
        for (std::size_t at = 0, piece; at < input.size(); at += piece) {
            piece = std::min<std::size_t>(input.size() - at, 1 + (at * 7919 + input.size()) % 1500);
            require(write_all(ends[1], input.data() + at, piece) == 0);
        }
        close(ends[1]);
    });
    const int out = memfd_create("output", 0), err = memfd_create("errors", 0);
    require(out >= 0 && err >= 0);
    require(collect_tokens(ends[0], out, err, options) == 0);
    writer.join();
    std::pair<std::string, std::string> result{contents(out), contents(err)};
    for (int fd : {ends[0], out, err})
        close(fd);
    return result;
}

} // namespace

// Each input is collected by one reader, and again on 2 to 8 threads over
// ranges of a few bytes to a few thousand, which the input's length picks,
// so that ranges cut it at every kind of place, and from a pipe on as many.
// The single reader runs with every classifying kernel this CPU can run, the
// threads with one of them.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto [listing, diagnostics] = collect(input, {});
    check_listing(listing);
    check_diagnostics(input, diagnostics);
    const model_output expected = model_tokcollect(input);
    require(listing == expected.out && diagnostics == expected.err);

    const auto kernels = usable_classifiers();
    for (const classifier& kernel : kernels)
        require(collect(input, {1, 1, kernel.classify}) == std::pair{expected.out, expected.err});
    const collect_options threaded{2 + size % 7, 1 + (size * 7919) % (size < 64 ? 8 : 2048),
                                   kernels[size % kernels.size()].classify};
    require(collect(input, threaded) == std::pair{expected.out, expected.err});
    require(collect_piped(input, threaded) == std::pair{expected.out, expected.err});
    return 0;
}
