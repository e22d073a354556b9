// Next-token scorers of a search, computed one token at a time from cached state: the
// exported decoder over one segment, the exported language model, the CTC head's prefix
// scores, and weighted sums of them. They follow quorlin.decoding.scorer and
// quorlin.decoding.ctc_prefix, operation for operation.
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
  // Starts with the rows x (R, P) that grow to at most `max_length` tokens; the scores (R, V)
  // after them.
  virtual at::Tensor init(const at::Tensor& x, int64_t max_length) = 0;
  // Appends tokens (R,) to the rows held; the scores (R, V) after them.
  virtual at::Tensor step(const at::Tensor& tokens) = 0;
  // Row i continues held row rows[i] (R').
  virtual void reorder(const at::Tensor& rows) = 0;
  // Whether a search adds the scores as they are, rather than renormalised every step.
  virtual bool final() const { return false; }
};

// The recogniser's next-token log-probabilities over one encoded segment.
class RecognizerScorer : public Scorer {
 public:
  RecognizerScorer(const StepPart& decoder, at::Tensor memory) : decoder_(decoder), memory_(std::move(memory)) {}
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows) override { cache_->reorder(rows); }

 private:
  const StepPart& decoder_;
  at::Tensor memory_;  // (L, 2, h, S, dh)
  std::optional<KeysValuesCache> cache_;
};

// The language model's next-token log-probabilities. A search longer than its max_len goes on
// from a window of the start token and the latest max(1, max_len / 2 - 1) tokens.
class LanguageModelScorer : public Scorer {
 public:
  explicit LanguageModelScorer(const StepPart& lm) : lm_(lm) {}
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows) override;

 private:
  at::Tensor run(const at::Tensor& tokens);  // one step of the cache's rows
  const StepPart& lm_;
  std::optional<KeysValuesCache> cache_;
  at::Tensor history_;  // (R, t): each row's first and latest tokens, when a search outgrows max_len
};

// The CTC head's prefix scores of one segment: log psi(g + c) - log psi(g) for every token c.
class CtcPrefixScorer : public Scorer {
 public:
  // log_probs (S, V) of the segment's frames; the blank is the padding id.
  CtcPrefixScorer(const at::Tensor& log_probs, int64_t blank_id, int64_t eos_id);
  at::Tensor init(const at::Tensor& x, int64_t max_length) override;
  at::Tensor step(const at::Tensor& tokens) override;
  void reorder(const at::Tensor& rows) override;

 private:
  void hold(const at::Tensor& utterance);
  at::Tensor candidates();
  at::Tensor extensions(const at::Tensor& phi) const;
  double phi_start() const;

  int64_t blank_id_, eos_id_;
  at::Tensor log_probs_, valid_, blank_sums_, endings_, label_shift_, label_probs_;
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
  void reorder(const at::Tensor& rows) override;
  bool final() const override { return final_; }

 private:
  std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts_;
  bool final_;
};

}  // namespace quorlin
