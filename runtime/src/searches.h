// Greedy and beam search of N segments at once, each as quorlin.decoding.sequence_generator
// searches it alone: the scores are renormalised with a log-softmax every step unless the
// scorer is final, the padding and start ids are ruled out, a token scored -inf is never
// chosen, a beam stops at the end id, and a segment's search ends when all its beams have
// stopped or its own longest length is reached; it then leaves the batch.
#pragma once

#include <ATen/ATen.h>

#include <vector>

#include "manifest.h"
#include "scorers.h"

namespace quorlin {

// What a search found for one segment: its beams' ids (W, L), the start id first, and their
// scores (W,), best first.
struct Beams {
  at::Tensor ids, scores;
};

// The most likely token of each segment at every step, up to its `max_lengths` ids. A segment
// whose every next token scores -inf ends there with the score -inf.
std::vector<Beams> greedy_search(Scorer& scorer, const Vocabulary& vocabulary, const std::vector<int64_t>& max_lengths);

// The `beam_width` best beams of each segment; finished beams compete with the longer ones.
// With `normalize_length` the beams are ranked by their score per generated token (the end id
// counted). With `best_only`, where no token of a segment scores above 0 and the beams are
// ranked by their scores, its running beams stop as soon as a beam that ended outscores them.
std::vector<Beams> beam_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t beam_width,
                               const std::vector<int64_t>& max_lengths, bool normalize_length, bool best_only);

}  // namespace quorlin
