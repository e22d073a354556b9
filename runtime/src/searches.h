// Greedy and beam search over a Scorer, as quorlin.decoding.sequence_generator searches one
// prompt: the scores are renormalised with a log-softmax every step unless the scorer is
// final, the padding and start ids are ruled out, and a row stops at the end id.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "manifest.h"
#include "scorers.h"

namespace quorlin {

// The ids (start id first) of the most likely token at every step, up to `max_length` ids.
std::vector<int64_t> greedy_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t max_length);

// The best of `beam_width` beams; finished beams compete with the longer ones.
std::vector<int64_t> beam_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t beam_width,
                                 int64_t max_length);

}  // namespace quorlin
