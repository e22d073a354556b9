#include "scorers.h"

#include <algorithm>
#include <limits>

namespace quorlin {
namespace {

using at::indexing::Slice;

constexpr double kImpossible = -1e30;  // log 0, kept finite so that differences stay defined
constexpr double kLeastLogProb = -1e4;

// x moved one frame later along dim 1, `first` in front: (R, S) -> (R, S).
at::Tensor shifted(const at::Tensor& x, double first) {
  return at::cat({at::full({x.size(0), 1}, first, x.options()), x.narrow(1, 0, x.size(1) - 1)}, 1);
}

// log y_t(end) * A(t + 1) (N, S): the end id on frame t, then only end ids and then only blanks
// up to the last frame; kImpossible on padding frames.
at::Tensor endings(const at::Tensor& y_end, const at::Tensor& y_blank, const at::Tensor& lengths) {
  const int64_t N = y_end.size(0), S = y_end.size(1);
  const at::Tensor zero = at::zeros({N, 1}, y_end.options());
  const at::Tensor E = at::cat({zero, y_end.cumsum(1)}, 1);                       // (N, S + 1)
  const at::Tensor B = at::cat({y_blank.flip(1).cumsum(1).flip(1), zero}, 1);     // (N, S + 1)
  const at::Tensor past_end = at::arange(S + 1, lengths.options()) > lengths.unsqueeze(1);  // (N, S + 1)
  const at::Tensor log_A = (E + B).masked_fill(past_end, kImpossible).flip(1).logcumsumexp(1).flip(1) - E;
  const at::Tensor valid = past_end.narrow(1, 1, S).logical_not();
  return (y_end + log_A.narrow(1, 1, S)).masked_fill(valid.logical_not(), kImpossible);
}

}  // namespace

at::Tensor RecognizerScorer::init(const at::Tensor& x, int64_t max_length) {
  cache_.emplace(decoder_.sizes(), x.size(0), std::min(max_length, decoder_.sizes().max_len));
  return step(x.select(1, 0).contiguous());  // one start token per row
}

at::Tensor RecognizerScorer::step(const at::Tensor& tokens) {
  const int64_t N = lengths_.size(0), W = tokens.size(0) / N;
  const at::Tensor past = cache_->past();  // (t, L, 2, P, h, dh)
  auto out = decoder_.run(tokens.view({N, W}), cache_->ancestors().view({N, W, past.size(0)}), past, memory_,
                          lengths_);
  cache_->append(out.keys_values.flatten(2, 3));  // (L, 2, N, W, h, dh) -> (L, 2, N * W, h, dh)
  return out.log_probs.flatten(0, 1);              // (N, W, V) -> (N * W, V)
}

void RecognizerScorer::reorder(const at::Tensor& rows, const at::Tensor& segments) {
  cache_->reorder(rows);
  if (segments.size(0) != lengths_.size(0)) {
    memory_ = memory_.index_select(2, segments).contiguous();
    lengths_ = lengths_.index_select(0, segments);
  }
}

at::Tensor LanguageModelScorer::init(const at::Tensor& x, int64_t max_length) {
  const int64_t max_len = lm_.sizes().max_len;
  history_ = max_length > max_len ? x : at::Tensor();
  cache_.emplace(lm_.sizes(), x.size(0), std::min(max_length, max_len));
  return run(x.select(1, 0).contiguous());
}

at::Tensor LanguageModelScorer::run(const at::Tensor& tokens) {
  auto out = lm_.run(tokens, cache_->ancestors(), cache_->past());
  cache_->append(out.keys_values);
  return out.log_probs;
}

at::Tensor LanguageModelScorer::step(const at::Tensor& tokens) {
  if (!history_.defined()) return run(tokens);
  const int64_t max_len = lm_.sizes().max_len;
  // Only the first token and the latest ones can enter a window: the rest is let go.
  const int64_t recent = std::max<int64_t>(1, max_len / 2 - 1);
  at::Tensor latest = at::cat({history_.narrow(1, 1, history_.size(1) - 1), tokens.unsqueeze(1)}, 1);
  latest = latest.narrow(1, std::max<int64_t>(0, latest.size(1) - recent), std::min(recent, latest.size(1)));
  history_ = at::cat({history_.narrow(1, 0, 1), latest}, 1);
  if (cache_->length() < max_len) return run(tokens);
  // The window, from a fresh cache, one position at a time.
  cache_.emplace(lm_.sizes(), history_.size(0), max_len);
  at::Tensor scores;
  for (int64_t t = 0; t < history_.size(1); ++t) scores = run(history_.select(1, t).contiguous());
  return scores;
}

void LanguageModelScorer::reorder(const at::Tensor& rows, const at::Tensor&) {
  cache_->reorder(rows);
  if (history_.defined()) history_ = history_.index_select(0, rows);
}

CtcPrefixScorer::CtcPrefixScorer(const at::Tensor& log_probs, const at::Tensor& lengths, int64_t blank_id,
                                 int64_t eos_id)
    : blank_id_(blank_id), eos_id_(eos_id), log_probs_(log_probs) {
  const int64_t S = log_probs_.size(0), N = log_probs_.size(1), V = log_probs_.size(2);
  valid_ = at::arange(S, at::kLong) < lengths.unsqueeze(1);  // (N, S)
  // Padding frames read as certain blanks: the forward variables carry through them unchanged.
  at::Tensor y_blank = log_probs_.select(2, blank_id).t().to(at::kDouble).clamp_min(kLeastLogProb);  // (N, S)
  y_blank = y_blank.masked_fill(valid_.logical_not(), 0.0);
  blank_sums_ = y_blank.cumsum(1);
  at::Tensor y = at::empty({N, S, V}, at::kDouble);
  y.copy_(log_probs_.transpose(0, 1)).clamp_min_(kLeastLogProb);  // (N, S, V)
  endings_ = endings(y.select(2, eos_id).masked_fill(valid_.logical_not(), 0.0), y_blank, lengths);
  // Every label's probabilities, each divided by its largest in the utterance.
  y.masked_fill_(valid_.logical_not().unsqueeze(-1), -std::numeric_limits<double>::infinity());
  label_shift_ = y.amax(1).clamp_min(kLeastLogProb);               // (N, V)
  label_probs_ = y.sub_(label_shift_.unsqueeze(1)).exp_();           // (N, S, V)
}

at::Tensor CtcPrefixScorer::init(const at::Tensor& x, int64_t) {
  const int64_t N = label_probs_.size(0);
  hold(at::arange(N, at::kLong).repeat_interleave(x.size(0) / N));
  const int64_t R = x.size(0), S = label_probs_.size(1);
  // The empty prefix: every frame so far a blank.
  r_n_ = at::full({R, S}, kImpossible, at::kDouble);
  r_b_ = blank_sums_.index({utterance_});
  last_ = at::full({R}, -1, at::kLong);
  psi_ = at::zeros({R}, at::kDouble);
  empty_ = true;
  at::Tensor scores = candidates();
  for (int64_t t = 1; t < x.size(1); ++t) scores = step(x.select(1, t));
  return scores;
}

at::Tensor CtcPrefixScorer::step(const at::Tensor& tokens) {
  // phi(t) for the chosen label: r_b alone where it repeats the last one.
  const at::Tensor phi = at::where((tokens == last_).unsqueeze(1), r_b_, r_total_);  // (R, S)
  const at::Tensor valid = valid_.index({utterance_});                               // (R, S)
  const at::Tensor y_c = log_probs_.index({Slice(), utterance_, tokens}).t().to(at::kDouble).clamp_min(kLeastLogProb);
  const at::Tensor Y = y_c.masked_fill(valid.logical_not(), 0.0).cumsum(1);  // (R, S)
  at::Tensor r_n = Y + at::logcumsumexp(shifted(phi, phi_start()) - shifted(Y, 0.0), 1);
  r_n = r_n.masked_fill(valid.logical_not(), kImpossible);
  const at::Tensor B = blank_sums_.index({utterance_});
  const at::Tensor r_b = B + at::logcumsumexp(shifted(r_n, kImpossible) - shifted(B, 0.0), 1);
  r_n_ = r_n.clamp_min(kImpossible);
  r_b_ = r_b.clamp_min(kImpossible);
  psi_ = next_psi_.gather(1, tokens.unsqueeze(1)).squeeze(1);
  last_ = tokens;
  empty_ = false;
  return candidates();
}

void CtcPrefixScorer::reorder(const at::Tensor& rows, const at::Tensor&) {
  hold(utterance_.index({rows}));
  last_ = last_.index({rows});
  psi_ = psi_.index({rows});
  r_n_ = r_n_.index({rows});
  r_b_ = r_b_.index({rows});
  r_total_ = r_total_.index({rows});
  next_psi_ = next_psi_.index({rows});
}

void CtcPrefixScorer::hold(const at::Tensor& utterance) {
  utterance_ = utterance;
  const at::Tensor one_hot = at::one_hot(utterance, label_probs_.size(0));                  // (R, N)
  slot_ = (one_hot.cumsum(0) - 1).gather(1, utterance.unsqueeze(1)).squeeze(1);          // (R,)
  width_ = utterance.numel() ? one_hot.sum(0).max().item<int64_t>() : 0;
}

at::Tensor CtcPrefixScorer::candidates() {
  r_total_ = at::logaddexp(r_n_, r_b_);                  // (R, S)
  const at::Tensor phi = shifted(r_total_, phi_start());  // (R, S): phi(t - 1)
  at::Tensor psi = extensions(phi);                        // (R, V)
  const at::Tensor repeat = last_ >= 0;
  if (repeat.any().item<bool>()) {  // a repeated label needs a blank between its two copies
    const at::Tensor rows = repeat.nonzero().squeeze(1);
    const at::Tensor utterance = utterance_.index({rows}), last = last_.index({rows});
    const at::Tensor phi_b = shifted(r_b_.index({rows}), kImpossible);  // (R', S)
    const at::Tensor M = phi_b.amax(1, true);  // (R', 1)
    const at::Tensor terms = (phi_b - M).exp() * label_probs_.index({utterance, Slice(), last});
    psi.index_put_({rows, last}, terms.sum(1).log() + M.squeeze(1) + label_shift_.index({utterance, last}));
  }
  // Ending, in log space: far from the utterance's end this is often below e^-700.
  psi.index_put_({Slice(), eos_id_}, at::logsumexp(phi + endings_.index({utterance_}), 1));
  psi.index_put_({Slice(), blank_id_}, kImpossible);
  next_psi_ = psi.clamp_min(kImpossible);
  // What the head cannot read scores -inf, so that no search ever extends it.
  return (next_psi_ - psi_.unsqueeze(1)).to(at::kFloat).masked_fill(next_psi_ <= kImpossible,
                                                                     -std::numeric_limits<float>::infinity());
}

at::Tensor CtcPrefixScorer::extensions(const at::Tensor& phi) const {
  const int64_t N = label_probs_.size(0), S = label_probs_.size(1);
  const at::Tensor M = phi.amax(1, true);  // (R, 1)
  at::Tensor weights = at::zeros({N, width_, S}, phi.options());
  weights.index_put_({utterance_, slot_}, (phi - M).exp());  // (N, W, S): each utterance's rows
  const at::Tensor sums = at::bmm(weights, label_probs_).index({utterance_, slot_});  // (N, W, V) -> (R, V)
  return sums.log() + M + label_shift_.index({utterance_});
}

double CtcPrefixScorer::phi_start() const { return empty_ ? 0.0 : kImpossible; }

at::Tensor WeightedSumScorer::init(const at::Tensor& x, int64_t max_length) {
  at::Tensor sum;
  for (auto& [scorer, weight] : parts_) {
    at::Tensor part = scorer->init(x, max_length) * weight;
    sum = sum.defined() ? sum + part : part;
  }
  return sum;
}

at::Tensor WeightedSumScorer::step(const at::Tensor& tokens) {
  at::Tensor sum;
  for (auto& [scorer, weight] : parts_) {
    at::Tensor part = scorer->step(tokens) * weight;
    sum = sum.defined() ? sum + part : part;
  }
  return sum;
}

void WeightedSumScorer::reorder(const at::Tensor& rows, const at::Tensor& segments) {
  for (auto& [scorer, weight] : parts_) scorer->reorder(rows, segments);
}

}  // namespace quorlin
