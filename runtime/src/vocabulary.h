// Token ids to text, as VaskTokenizer.decode(ids, skip_special_tokens=True) gives it.
#pragma once

#include <string>
#include <vector>

#include "manifest.h"

namespace quorlin {

// The text of `ids` in code points: for each run of ids between the padding, start and end
// ids, the texts of its pieces joined and, for an escaped vocabulary, with the tokenizer's
// escapes undone.
std::u32string decode(const Vocabulary& vocabulary, const std::vector<int64_t>& ids);

}  // namespace quorlin
