// SPDX-License-Identifier: MIT
// The key of tokcollect_fixed_key, the table with neither defence against
// crafted input, against which the benchmark's flood is crafted.
#pragma once

#include "forms/keyed_hash.h"

constexpr hash_key fixed_key{0x243f6a8885a308d3, 0x13198a2e03707345};
