// SPDX-License-Identifier: MIT
// What one shard of the set holds, form by form, and hands over to the
// listing when the set is released (token_set.h).
#pragma once

#include "forms/forms.h"
#include "runs/compaction.h"
#include "store/partitions.h"

// A form's tokens in one shard: in partitions, in no order, and, where the
// form has runs, those that each batch that filled them was written as. A
// token may be held more than once: in several runs, and in a partition
// that has not deduplicated since it came again.
template <typename Kind> struct stored_form {
    partitions<Kind> parts;
    form_runs runs;
};

struct shard_forms {
    per_form<stored_form> forms;
    bool has_empty = false;
};

// Entries held in partitions, and tokens in runs, of every form.
inline std::size_t held_tokens(const shard_forms& shard)
{
    std::size_t held = 0;
    for_each_form(shard.forms,
                  [&](auto, const auto& form) { held += form.parts.size + form.runs.held; });
    return held;
}
