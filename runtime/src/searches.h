// Greedy and beam search of N segments at once, each as quorlin.decoding.sequence_generator
// searches it alone: the scores are renormalised with a log-softmax every step unless the
// scorer is final, the padding and start ids are ruled out, a beam stops at the end id, and a
// segment's search ends when all its beams have stopped or its own longest length is reached;
// it then leaves the batch.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "manifest.h"
#include "scorers.h"

namespace quorlin {

// The ids (start id first, end id last when reached) of each segment's most likely token at
// every step, up to its `max_lengths` ids.
std::vector<std::vector<int64_t>> greedy_search(Scorer& scorer, const Vocabulary& vocabulary,
                                                const std::vector<int64_t>& max_lengths);

// Each segment's best of `beam_width` beams; finished beams compete with the longer ones.
std::vector<std::vector<int64_t>> beam_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t beam_width,
                                              const std::vector<int64_t>& max_lengths);

}  // namespace quorlin
