// SPDX-License-Identifier: MIT
// libFuzzer target: the whole collector, from reading and chunking to the
// listing, on arbitrary bytes, by one reader and by several threads. Checks
// the properties every run must have, then compares both output streams with
// the test suite's model.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "driver.h"
#include "model.h"
#include "scan/classify.h"
#include "system/write_all.h"

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

// A file in memory, made once and emptied for each use.
int empty_file(const char* name)
{
    static std::map<std::string, int> files;
    auto [file, made] = files.try_emplace(name, -1);
    if (made)
        file->second = memfd_create(name, 0);
    require(file->second >= 0 && ftruncate(file->second, 0) == 0);
    lseek(file->second, 0, SEEK_SET);
    return file->second;
}

// Runs the collector on `input` from `in`, into files in memory; returns
// its listing and diagnostics. Only a run within a budget of the caller's
// may fail, and it gives back all it took of it.
std::pair<std::string, std::string> collect_from(int in, const collect_options& options)
{
    const int out = empty_file("output"), err = empty_file("errors");
    require(collect_tokens(in, out, err, options) == 0 || options.budget);
    require(!options.budget || options.budget->used == 0);
    return {contents(out), contents(err)};
}

// Whether a run within a budget listed what the model lists, or ran out of
// memory: listed nothing, and said so after the diagnostics of what it had
// collected.
bool listed_or_ran_out(const std::pair<std::string, std::string>& got, const model_output& expected)
{
    const std::string_view message = "tokcollect: out of memory\n", said = got.second;
    return got == std::pair{expected.out, expected.err} ||
           (got.first.empty() && said.ends_with(message) &&
            std::string_view(expected.err)
                .starts_with(said.substr(0, said.size() - message.size())));
}

// Runs the collector on `input` as a file in memory.
std::pair<std::string, std::string> collect(std::string_view input, const collect_options& options)
{
    const int in = empty_file("input");
    require(write_all(in, input.data(), input.size()) == 0);
    lseek(in, 0, SEEK_SET);
    return collect_from(in, options);
}

// Writes `input` to `fd` in pieces of sizes that the input picks, and
// closes it.
void write_in_pieces(int fd, std::string_view input)
{
    for (std::size_t at = 0, piece; at < input.size(); at += piece) {
        piece = std::min<std::size_t>(input.size() - at, 1 + (at * 7919 + input.size()) % 1500);
        require(write_all(fd, input.data() + at, piece) == 0);
    }
    close(fd);
}

// Runs the collector on `input` from a pipe; returns its listing and
// diagnostics. Another thread writes it in pieces where `in_pieces` says so,
// so that the collector finds the pipe empty now and then; else the pipe,
// which holds 64 KiB, takes it whole before the collector starts, which
// spares a thread.
std::pair<std::string, std::string> collect_piped(std::string_view input,
                                                  const collect_options& options, bool in_pieces)
{
    int ends[2];
    require(pipe(ends) == 0);
    std::thread writer;
    if (in_pieces || input.size() > 65536)
        writer = std::thread(write_in_pieces, ends[1], input);
    else
        write_in_pieces(ends[1], input);
    auto result = collect_from(ends[0], options);
    if (writer.joinable())
        writer.join();
    close(ends[0]);
    return result;
}

} // namespace

// Each input is collected by one reader; again on 2 to 5 threads over ranges
// of a few bytes to a few thousand, which the input's length picks, so that
// ranges cut it at every kind of place, and every sixteenth input on 16;
// and from a pipe by a reader and one or two workers, which every fourth
// input reaches in pieces. The single reader runs with every classifying
// kernel this CPU can run, the threads with one of them. The threads of
// every odd-sized input keep within a budget of 256 KiB, in as few shards
// as a tight budget takes, which the larger inputs press, so that every
// batch goes into a run, or pass, so that the run ends out of memory. More
// threads for every input would cost more to start under the sanitizers
// than the collecting itself.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto [listing, diagnostics] = collect(input, {});
    check_listing(listing);
    const model_output expected = model_tokcollect(input);
    require(listing == expected.out && diagnostics == expected.err);

    const auto kernels = usable_classifiers();
    for (const classifier& kernel : kernels)
        require(collect(input, {1, 1, kernel.classify}) == std::pair{expected.out, expected.err});
    collect_options threaded{size % 16 == 15 ? 16 : 2 + size % 4,
                             1 + (size * 7919) % (size < 64 ? 8 : 2048),
                             kernels[size % kernels.size()].classify};
    memory_budget tight(std::size_t{256} << 10);
    threaded.budget = size % 2 ? &tight : nullptr;
    require(listed_or_ran_out(collect(input, threaded), expected));
    const collect_options piped{2 + size % 2, threaded.min_range, threaded.classify};
    require(collect_piped(input, piped, size % 4 == 0) == std::pair{expected.out, expected.err});
    return 0;
}
