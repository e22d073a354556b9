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

// The row cut after its first end id (kept).
std::vector<int64_t> until_end(const at::Tensor& row, int64_t eos_id) {
  std::vector<int64_t> ids;
  const at::Tensor values = row.contiguous();
  const int64_t* data = values.data_ptr<int64_t>();
  for (int64_t i = 0; i < values.size(0); ++i) {
    ids.push_back(data[i]);
    if (data[i] == eos_id) break;
  }
  return ids;
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

std::vector<std::vector<int64_t>> greedy_search(Scorer& scorer, const Vocabulary& vocabulary,
                                                const std::vector<int64_t>& max_lengths) {
  std::vector<std::vector<int64_t>> results(max_lengths.size());
  Live live(max_lengths);
  at::Tensor x = at::full({static_cast<int64_t>(max_lengths.size()), 1}, int64_t{vocabulary.sos_id}, at::kLong);
  at::Tensor scores = scorer.init(x, longest(max_lengths));
  while (true) {
    const at::Tensor next = next_log_probs(scores, scorer.final(), vocabulary).argmax(-1);  // (N,)
    x = at::cat({x, next.unsqueeze(1)}, 1);
    const at::Tensor ended = (next == vocabulary.eos_id).logical_or(live.max_lengths <= x.size(1));
    for (int64_t n : positions(ended)) results[live.index[n].item<int64_t>()] = until_end(x[n], vocabulary.eos_id);
    const auto kept = live.keep(ended);
    if (!kept) break;
    if (kept->size(0) != x.size(0)) {
      x = x.index_select(0, *kept);
      scorer.reorder(*kept, *kept);
    }
    scores = scorer.step(x.select(1, -1).contiguous());
  }
  return results;
}

std::vector<std::vector<int64_t>> beam_search(Scorer& scorer, const Vocabulary& vocabulary, int64_t beam_width,
                                              const std::vector<int64_t>& max_lengths) {
  const int64_t W = beam_width;
  int64_t N = static_cast<int64_t>(max_lengths.size());
  std::vector<std::vector<int64_t>> results(max_lengths.size());
  Live live(max_lengths);
  at::Tensor seqs = at::full({N * W, 1}, int64_t{vocabulary.sos_id}, at::kLong);
  // Only one copy of each prompt is alive at first, so the beams never duplicate.
  at::Tensor beam_scores = at::full({N, W}, kMinusInfinity);
  beam_scores.index_put_({Slice(), 0}, 0.0);
  at::Tensor finished = at::zeros({N, W}, at::kBool);
  at::Tensor scores = scorer.init(seqs, longest(max_lengths));
  while (true) {
    at::Tensor log_probs = next_log_probs(scores, scorer.final(), vocabulary);  // (N * W, V)
    const int64_t V = log_probs.size(-1);
    // A finished beam continues only with padding, at no cost.
    const at::Tensor done = finished.view({-1, 1});
    log_probs = log_probs.masked_fill(done, kMinusInfinity);
    log_probs.index_put_({Slice(), vocabulary.pad_id},
                         log_probs.index({Slice(), vocabulary.pad_id}).masked_fill(done.squeeze(1), 0.0));
    const at::Tensor candidates = (beam_scores.view({-1, 1}) + log_probs).view({N, W * V});
    auto [top, best] = candidates.topk(W, -1);  // (N, W), best first
    beam_scores = top;
    const at::Tensor parent = best.div(V, "floor"), next_tokens = best.remainder(V);
    const int64_t t = seqs.size(1);
    seqs = seqs.view({N, W, t}).gather(1, parent.unsqueeze(-1).expand({N, W, t}));
    seqs = at::cat({seqs, next_tokens.unsqueeze(-1)}, -1);  // (N, W, t + 1)
    // Beams of -inf (fewer live hypotheses than beams) are dead ends.
    finished = finished.gather(1, parent)
                   .logical_or(next_tokens == vocabulary.eos_id)
                   .logical_or(beam_scores.isneginf());
    const at::Tensor parent_rows = parent + W * at::arange(N, at::kLong).unsqueeze(1);  // (N, W)
    const at::Tensor ended = finished.all(1).logical_or(live.max_lengths <= t + 1);
    for (int64_t n : positions(ended))
      results[live.index[n].item<int64_t>()] = until_end(seqs[n][0], vocabulary.eos_id);
    const auto kept = live.keep(ended);
    if (!kept) break;
    at::Tensor rows = parent_rows;
    if (kept->size(0) != N) {
      seqs = seqs.index_select(0, *kept);
      beam_scores = beam_scores.index_select(0, *kept);
      finished = finished.index_select(0, *kept);
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
