// SPDX-License-Identifier: MIT
// The program's rules, written for clarity rather than speed: what tokcollect
// must write for a given input.
#pragma once

#include <string>
#include <string_view>

struct model_output {
    std::string out;
    std::string err;
};

model_output model_tokcollect(std::string_view input);
