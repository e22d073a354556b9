// Word times from the CTC head: the recognised tokens force-aligned to the encoder positions,
// as quorlin.inference.alignment computes them.
#pragma once

#include <ATen/ATen.h>

#include <string>
#include <vector>

#include "manifest.h"
#include "quorlin/recognizer.h"

namespace quorlin {

// The CTC path of `targets` through log_probs (S, V) with the best score (a Viterbi alignment,
// ties broken as torchaudio.functional.forced_align breaks them): the label of every frame.
// Needs S >= targets + their adjacent repeats.
std::vector<int64_t> forced_align(const at::Tensor& log_probs, const std::vector<int64_t>& targets, int64_t blank);

// The words of the recognised ids, timed by a forced alignment of the ids and the end id on
// one segment's CTC log-probabilities (S, V), offset by the segment's start; when the ids
// cannot be aligned, the words share the segment's positions in proportion to their lengths.
std::vector<Word> align_words(const at::Tensor& log_probs, const std::vector<int64_t>& ids,
                              const Vocabulary& vocabulary, double position_seconds, double offset);

// Words timed by spreading [start, end] over them in proportion to their lengths.
std::vector<Word> spread_words(const std::vector<std::string>& texts, double start, double end);

}  // namespace quorlin
