#include "searches.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace quorlin {
namespace {

using at::indexing::Slice;
constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();

at::Tensor next_log_probs(const at::Tensor& scores, bool final, const Vocabulary& vocabulary) {
  at::Tensor log_probs = scores.to(at::kFloat);
  if (!final) log_probs = at::log_softmax(log_probs, -1);
  // Padding and start ids would be indistinguishable from what a search adds to finished rows.
  const at::Tensor special = at::tensor({int64_t{vocabulary.pad_id}, int64_t{vocabulary.sos_id}}, at::kLong);
  return log_probs.index_fill_(1, special, kMinusInfinity);
}

// The segments still searched: their original indices and longest lengths.
struct Live {
  at::Tensor index, max_lengths;  // (N,)

  explicit Live(const std::vector<int64_t>& limits)
      : index(at::arange(static_cast<int64_t>(limits.size()), at::kLong)), max_lengths(at::tensor(limits, at::kLong)) {}

  // Keeps the segments not `ended` (N,); the kept positions, or none when every one has ended.
  std::optional<at::Tensor> keep(const at::Tensor& ended) {
    if (!ended.any().item<bool>()) return at::arange(index.size(0), at::kLong);
    const at::Tensor kept = ended.logical_not().nonzero().squeeze(1);
    if (kept.numel() == 0) return std::nullopt;
    index = index.index_select(0, kept);
    max_lengths = max_lengths.index_select(0, kept);
    return kept;
  }
};

// The positions where `mask` (N,) is true.
std::vector<int64_t> positions(const at::Tensor& mask) {
  const at::Tensor found = mask.nonzero().squeeze(1).contiguous();
  return std::vector<int64_t>(found.data_ptr<int64_t>(), found.data_ptr<int64_t>() + found.numel());
}

int64_t longest(const std::vector<int64_t>& max_lengths) {
  return *std::max_element(max_lengths.begin(), max_lengths.end());
}

}  // namespace

std::vector<Beams> greedy_search(Scorer& scorer, const Vocabulary& vocabulary, const std::vector<int64_t>& max_lengths) {
  std::vector<Beams> results(max_lengths.size());
  Live live(max_lengths);
  at::Tensor x = at::full({static_cast<int64_t>(max_lengths.size()), 1}, int64_t{vocabulary.sos_id}, at::kLong);
  at::Tensor totals = at::zeros({x.size(0)});
  at::Tensor scores = scorer.init(x, longest(max_lengths));
  while (true) {
    const at::Tensor log_probs = next_log_probs(scores, scorer.final(), vocabulary);  // (N, V)
    // A row whose every token scores -inf is a dead end: it stops without a token.
    const at::Tensor dead = log_probs.isneginf().all(1);  // (N,)
    const at::Tensor next = log_probs.masked_fill(dead.unsqueeze(1), 0.0).argmax(-1);  // (N,)
    totals = totals + log_probs.gather(1, next.unsqueeze(1)).squeeze(1);
    x = at::cat({x, next.masked_fill(dead, vocabulary.pad_id).unsqueeze(1)}, 1);  // (N, t + 1)
    const at::Tensor ended = dead.logical_or(next == vocabulary.eos_id).logical_or(live.max_lengths <= x.size(1));
    for (int64_t n : positions(ended))
      results[live.index[n].item<int64_t>()] = {x.narrow(0, n, 1).clone(), totals.narrow(0, n, 1).clone()};
    const auto kept = live.keep(ended);
    if (!kept) break;
    if (kept->size(0) != x.size(0)) {
      x = x.index_select(0, *kept);
      totals = totals.index_select(0, *kept);
      scorer.reorder(*kept, *kept);
    }
    scores = scorer.step(x.select(1, -1).contiguous());
  }
  return results;
}

std::vector<Beams> beam_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t beam_width,
                               const std::vector<int64_t>& max_lengths, bool normalize_length, bool best_only) {
  const int64_t W = beam_width;
  int64_t N = static_cast<int64_t>(max_lengths.size());
  std::vector<Beams> results(max_lengths.size());
  Live live(max_lengths);
  at::Tensor seqs = at::full({N * W, 1}, int64_t{vocabulary.sos_id}, at::kLong);
  // Only one copy of each prompt is alive at first, so the beams never duplicate.
  at::Tensor beam_scores = at::full({N, W}, kMinusInfinity);
  beam_scores.index_put_({Slice(), 0}, 0.0);
  at::Tensor generated = at::zeros({N, W});  // tokens each beam added, its end id included
  at::Tensor finished = at::zeros({N, W}, at::kBool), ended = at::zeros({N, W}, at::kBool);
  at::Tensor scores = scorer.init(seqs, longest(max_lengths));
  while (true) {
    at::Tensor log_probs = next_log_probs(scores, scorer.final(), vocabulary);  // (N * W, V)
    const int64_t V = log_probs.size(-1);
    // Scores that never rise (log-probabilities) let a segment stop once a beam that ended
    // outscores every beam still running: none of those can overtake it.
    const at::Tensor settled = (log_probs <= 0).all(1).logical_or(finished.view(-1)).view({N, W}).all(1);
    // A finished beam continues only with padding, at no cost.
    const at::Tensor done = finished.view({-1, 1});
    log_probs = log_probs.masked_fill(done, kMinusInfinity);
    log_probs.index_put_({Slice(), vocabulary.pad_id},
                         log_probs.index({Slice(), vocabulary.pad_id}).masked_fill(done.squeeze(1), 0.0));
    const at::Tensor candidates = (beam_scores.view({-1, 1}) + log_probs).view({N, W * V});  // (N, W * V)
    const at::Tensor lengths =
        (generated + finished.logical_not().to(at::kFloat)).view({N, W, 1}).expand({N, W, V}).reshape({N, W * V});
    const at::Tensor ranks = normalize_length ? candidates / lengths : candidates;
    const at::Tensor best = std::get<1>(ranks.topk(W, -1));  // (N, W), best first
    beam_scores = candidates.gather(1, best);
    generated = lengths.gather(1, best);
    const at::Tensor parent = best.div(V, "floor"), next_tokens = best.remainder(V);  // (N, W)
    const int64_t t = seqs.size(1);
    seqs = seqs.view({N, W, t}).gather(1, parent.unsqueeze(-1).expand({N, W, t}));
    seqs = at::cat({seqs, next_tokens.unsqueeze(-1)}, -1);  // (N, W, t + 1)
    ended = ended.gather(1, parent).logical_or(next_tokens == vocabulary.eos_id);
    // Beams of -inf (fewer live hypotheses than beams) are dead ends; a segment at its limit stops.
    finished = finished.gather(1, parent)
                   .logical_or(next_tokens == vocabulary.eos_id)
                   .logical_or(beam_scores.isneginf())
                   .logical_or((live.max_lengths <= t + 1).unsqueeze(1));
    if (best_only && !normalize_length) {
      const at::Tensor best_ended = beam_scores.masked_fill(ended.logical_not(), kMinusInfinity).amax(1, true);  // (N, 1)
      finished = finished.logical_or(
          (beam_scores <= best_ended).logical_and(best_ended.isfinite()).logical_and(settled.unsqueeze(1)));
    }
    const at::Tensor parent_rows = parent + W * at::arange(N, at::kLong).unsqueeze(1);  // (N, W)
    const at::Tensor over = finished.all(1);
    for (int64_t n : positions(over))
      results[live.index[n].item<int64_t>()] = {seqs[n].clone(), beam_scores[n].clone()};
    const auto kept = live.keep(over);
    if (!kept) break;
    at::Tensor rows = parent_rows;
    if (kept->size(0) != N) {
      seqs = seqs.index_select(0, *kept);
      beam_scores = beam_scores.index_select(0, *kept);
      generated = generated.index_select(0, *kept);
      finished = finished.index_select(0, *kept);
      ended = ended.index_select(0, *kept);
      rows = parent_rows.index_select(0, *kept);
      N = kept->size(0);
    }
    seqs = seqs.view({N * W, t + 1});
    scorer.reorder(rows.view(-1), *kept);
    scores = scorer.step(seqs.select(1, -1).contiguous());
  }
  return results;
}

}  // namespace quorlin
