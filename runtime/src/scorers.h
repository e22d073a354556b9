// Next-token scorers of a search, computed one token at a time from cached state: the
// exported decoder over a batch of segments, the exported language model, the CTC head's prefix
// scores, and weighted sums of them. They follow quorlin.decoding.scorer operation for
// operation, and quorlin.decoding.ctc_prefix formula for formula: its whole-array steps are
// loops over each row's frames here, whose sums may round differently in the last bits.
#pragma once

#include <ATen/ATen.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "model_parts.h"

namespace quorlin {

class Scorer {
 public:
  virtual ~Scorer() = default;
  // Starts with the rows x (R, 1) of start tokens, which grow to at most `max_length` tokens;
  // the scores (R, V) after them. The rows are those of N segments, R / N consecutive ones each.
  virtual at::Tensor init(const at::Tensor& x, int64_t max_length) = 0;
  // Appends tokens (R,) to the rows held; the scores (R, V) after them.
  virtual at::Tensor step(const at::Tensor& tokens) = 0;
  // Row i continues held row rows[i] (R'); only the segments `segments` (N') go on, each still
  // with R' / N' consecutive rows.
  virtual void reorder(const at::Tensor& rows, const at::Tensor& segments) = 0;
  // Whether a search adds the scores as they are, rather than renormalised every step.
  virtual bool final() const { return false; }
};

// The recogniser's next-token log-probabilities over encoded segments.
class RecognizerScorer : public Scorer {
 public:
  // memory (L, 2, N, h, S, dh): the segments' cross-attention keys and values, padded to the
  // longest; lengths (N,): their positions.
  RecognizerScorer(const DecoderPart& decoder, at::Tensor memory, at::Tensor lengths)
      : decoder_(decoder), memory_(std::move(memory)), lengths_(std::move(lengths)) {}
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows, const at::Tensor& segments) override;

 private:
  const DecoderPart& decoder_;
  at::Tensor memory_, lengths_;
  std::optional<KeysValuesCache> cache_;
};

// The language model's next-token log-probabilities. A search longer than its max_len goes on
// from a window of the start token and the latest max(1, max_len / 2 - 1) tokens.
class LanguageModelScorer : public Scorer {
 public:
  explicit LanguageModelScorer(const LanguageModelPart& lm) : lm_(lm) {}
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows, const at::Tensor& segments) override;

 private:
  at::Tensor run(const at::Tensor& tokens);  // one step of the cache's rows
  const LanguageModelPart& lm_;
  std::optional<KeysValuesCache> cache_;
  at::Tensor history_;  // (R, t): each row's first and latest tokens, when a search outgrows max_len
};

// The CTC head's prefix scores of N segments: log psi(g + c) - log psi(g) for every token c;
// -inf for an extension the head cannot read.
class CtcPrefixScorer : public Scorer {
 public:
  // log_probs (S, N, V) of the segments' frames, padded to the longest; lengths (N,) their
  // frames. The blank is the padding id.
  CtcPrefixScorer(const at::Tensor& log_probs, const at::Tensor& lengths, int64_t blank_id, int64_t eos_id);
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows, const at::Tensor& segments) override;

 private:
  void hold(const at::Tensor& utterance);
  at::Tensor candidates();
  double phi_start() const;

  int64_t blank_id_, eos_id_;
  at::Tensor log_probs_, lengths_, y_blank_, blank_sums_, endings_, label_shift_, label_probs_;
  at::Tensor utterance_, slot_;
  int64_t width_ = 0;
  at::Tensor r_n_, r_b_, r_total_, last_, psi_, next_psi_;
  bool empty_ = true;
};

// The sum of scorers' scores, each times its weight.
class WeightedSumScorer : public Scorer {
 public:
  WeightedSumScorer(std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts, bool final)
      : parts_(std::move(parts)), final_(final) {}
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows, const at::Tensor& segments) override;
  bool final() const override { return final_; }

 private:
  std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts_;
  bool final_;
};

}  // namespace quorlin
