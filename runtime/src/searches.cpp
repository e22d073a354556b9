#include "searches.h"

#include <limits>
#include <optional>

namespace quorlin {
namespace {

using at::indexing::Slice;
constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();

// A scorer fed the newest token of the rows still being extended; the others get zeros, which
// the search never uses. `held` lists, in order, the rows whose state the scorer holds.
class CachedScoring {
 public:
  CachedScoring(Scorer& scorer, at::Tensor held, int64_t max_length)
      : scorer_(scorer), held_(std::move(held)), max_length_(max_length) {}

  at::Tensor operator()(const at::Tensor& seqs) {
    at::Tensor scores = started_ ? scorer_.step(seqs.index({held_, -1}).contiguous())
                                 : scorer_.init(seqs.index_select(0, held_), max_length_);
    started_ = true;
    return at::zeros({seqs.size(0), scores.size(1)}, scores.options()).index_copy_(0, held_, scores);
  }

  // Row i of the search now continues row parents[i] (none: itself); finished rows drop out.
  void advance(const std::optional<at::Tensor>& parents, const at::Tensor& finished) {
    const at::Tensor held = finished.logical_not().nonzero().squeeze(1);
    if (!parents && held.size(0) == held_.size(0)) return;
    at::Tensor position = at::empty(finished.sizes(), at::kLong);
    position.index_put_({held_}, at::arange(held_.size(0), at::kLong));
    if (held.size(0) > 0) scorer_.reorder(position.index({parents ? parents->index({held}) : held}));
    held_ = held;
  }

 private:
  Scorer& scorer_;
  at::Tensor held_;
  int64_t max_length_;
  bool started_ = false;
};

at::Tensor next_log_probs(const at::Tensor& scores, bool final, const Vocabulary& vocabulary) {
  at::Tensor log_probs = scores.to(at::kFloat);
  if (!final) log_probs = at::log_softmax(log_probs, -1);
  // Padding and start ids would be indistinguishable from what a search adds to finished rows.
  const at::Tensor special = at::tensor({int64_t{vocabulary.pad_id}, int64_t{vocabulary.sos_id}}, at::kLong);
  return log_probs.index_fill_(1, special, kMinusInfinity);
}

// The row cut after its first end id (kept).
std::vector<int64_t> until_end(const at::Tensor& row, int64_t eos_id) {
  std::vector<int64_t> ids;
  const at::Tensor values = row.contiguous();
  for (int64_t i = 0; i < values.size(0); ++i) {
    ids.push_back(values[i].item<int64_t>());
    if (ids.back() == eos_id) break;
  }
  return ids;
}

}  // namespace

std::vector<int64_t> greedy_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t max_length) {
  at::Tensor x = at::full({1, 1}, int64_t{vocabulary.sos_id}, at::kLong);
  at::Tensor finished = at::zeros({1}, at::kBool);
  CachedScoring scoring(scorer, at::arange(1, at::kLong), max_length);
  while (x.size(1) < max_length && !finished.all().item<bool>()) {
    const at::Tensor log_probs = next_log_probs(scoring(x), scorer.final(), vocabulary);  // (1, V)
    const at::Tensor next = log_probs.argmax(-1).masked_fill(finished, int64_t{vocabulary.pad_id});
    x = at::cat({x, next.unsqueeze(1)}, 1);
    finished = finished.logical_or(next == vocabulary.eos_id);
    scoring.advance(std::nullopt, finished);
  }
  return until_end(x[0], vocabulary.eos_id);
}

std::vector<int64_t> beam_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t beam_width,
                                 int64_t max_length) {
  const int64_t W = beam_width, N = 1;
  at::Tensor seqs = at::full({W, 1}, int64_t{vocabulary.sos_id}, at::kLong);  // (N * W, 1)
  // Only one copy of the prompt is alive at first, so the beams never duplicate.
  at::Tensor beam_scores = at::full({N, W}, kMinusInfinity);
  beam_scores.index_put_({Slice(), 0}, 0.0);
  at::Tensor finished = at::zeros({N, W}, at::kBool);
  CachedScoring scoring(scorer, at::arange(0, N * W, W, at::kLong), max_length);
  while (seqs.size(1) < max_length && !finished.all().item<bool>()) {
    at::Tensor log_probs = next_log_probs(scoring(seqs), scorer.final(), vocabulary);  // (N * W, V)
    const int64_t V = log_probs.size(-1);
    // A finished beam continues only with padding, at no cost.
    const at::Tensor done = finished.view({-1, 1});
    log_probs = log_probs.masked_fill(done, kMinusInfinity);
    log_probs.index_put_({Slice(), vocabulary.pad_id},
                         log_probs.index({Slice(), vocabulary.pad_id}).masked_fill(done.squeeze(1), 0.0));
    const at::Tensor candidates = (beam_scores.view({-1, 1}) + log_probs).view({N, W * V});
    auto [scores, best] = candidates.topk(W, -1);  // (N, W), best first
    beam_scores = scores;
    const at::Tensor parent = best.div(V, "floor"), next_tokens = best.remainder(V);
    const int64_t t = seqs.size(1);
    seqs = seqs.view({N, W, t}).gather(1, parent.unsqueeze(-1).expand({N, W, t}));
    seqs = at::cat({seqs, next_tokens.unsqueeze(-1)}, -1).view({N * W, t + 1});
    // Beams of -inf (fewer live hypotheses than beams) are dead ends.
    finished = finished.gather(1, parent).logical_or(next_tokens == vocabulary.eos_id).logical_or(beam_scores.isneginf());
    const at::Tensor parent_rows = parent + W * at::arange(N, at::kLong).unsqueeze(1);
    scoring.advance(parent_rows.view(-1), finished.view(-1));
  }
  return until_end(seqs[0], vocabulary.eos_id);
}

}  // namespace quorlin
