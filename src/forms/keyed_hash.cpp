// SPDX-License-Identifier: MIT
// Drawing the hash key, and bounding probes.
#include "forms/keyed_hash.h"

#include <bit>
#include <cstring>
#include <ctime>
#include <sys/auxv.h>
#include <sys/random.h>
#include <unistd.h>

namespace
{

// splitmix64's finaliser: spreads every input bit over the whole word.
std::uint64_t spread(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

// No secret from the kernel: the 16 random bytes it placed in the auxiliary
// vector at exec, the clock, and where the stack and this code were mapped.
hash_key fallback_key()
{
    std::uint64_t bits[2] = {};
    if (const auto* at_random = reinterpret_cast<const void*>(getauxval(AT_RANDOM)))
        std::memcpy(bits, at_random, sizeof bits);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int local = 0;
    const std::uint64_t place = reinterpret_cast<std::uintptr_t>(&local) ^
                                reinterpret_cast<std::uintptr_t>(&fallback_key) << 20;
    const std::uint64_t moment = static_cast<std::uint64_t>(now.tv_sec) * 1000000000 +
                                 static_cast<std::uint64_t>(now.tv_nsec);
    return {spread(bits[0] ^ moment),
            spread(bits[1] ^ place ^ static_cast<std::uint64_t>(getpid()))};
}

} // namespace

hash_key random_key()
{
    hash_key key;
    if (getrandom(&key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key))
        key = fallback_key();
    // An odd multiplier makes multiply-shift a family of hashes under which
    // two given words collide with a chance of about 2 / table size.
    key.multiplier |= 1;
    return key;
}

// With random hashes the longest probe in a table of 2^k slots, three
// quarters full, is about 10 k; a reach three times that is needed only by
// crafted input or extraordinary bad luck. Built with small parts, whose
// tables are too small for that reach ever to bind, it binds often.
std::size_t probe_reach(std::size_t slot_count)
{
#ifdef TOKCOLLECT_SMALL_PARTS
    constexpr std::size_t per_bit = 1;
#else
    constexpr std::size_t per_bit = 32;
#endif
    return per_bit * static_cast<std::size_t>(std::bit_width(slot_count));
}
