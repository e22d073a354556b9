#include "scorers.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorlin {
namespace {

constexpr double kImpossible = -1e30;  // log 0, kept finite so that differences stay defined
constexpr double kLeastLogProb = -1e4;

// e^x, without the call where it underflows to 0: the terms of impossible prefixes.
double exp_of(double x) { return x < -746.0 ? 0.0 : std::exp(x); }

// log(e^a + e^b), as at::logaddexp computes it. The larger alone where the other term vanishes
// next to it, and log 0 where both are.
double log_add(double a, double b) {
  if (a == b && std::isinf(a)) return a;
  const double m = std::max(a, b);
  if (m <= kImpossible) return m;  // m + log 2 rounds to m
  return m + std::log1p(exp_of(-std::abs(a - b)));
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
    : blank_id_(blank_id), eos_id_(eos_id), log_probs_(log_probs.contiguous()), lengths_(lengths.contiguous()) {
  const int64_t S = log_probs_.size(0), N = log_probs_.size(1), V = log_probs_.size(2);
  const at::Tensor valid = at::arange(S, at::kLong) < lengths.unsqueeze(1);  // (N, S)
  // Padding frames read as certain blanks: the forward variables carry through them unchanged.
  at::Tensor y_blank = log_probs_.select(2, blank_id).t().to(at::kDouble).clamp_min(kLeastLogProb);  // (N, S)
  y_blank = y_blank.masked_fill(valid.logical_not(), 0.0);
  y_blank_ = y_blank.contiguous();
  blank_sums_ = y_blank.cumsum(1);
  at::Tensor y = at::empty({N, S, V}, at::kDouble);
  y.copy_(log_probs_.transpose(0, 1)).clamp_min_(kLeastLogProb);  // (N, S, V)
  endings_ = endings(y.select(2, eos_id).masked_fill(valid.logical_not(), 0.0), y_blank, lengths);
  // Every label's probabilities, each divided by its largest in the utterance.
  y.masked_fill_(valid.logical_not().unsqueeze(-1), -std::numeric_limits<double>::infinity());
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

at::Tensor CtcPrefixScorer::step(const at::Tensor& next) {
  // The forward variables of each row's prefix with tokens[r] appended, frame by frame:
  //   r_n(t) = logaddexp(r_n(t - 1), phi(t - 1)) + log y_t(c)    (the label on frame t)
  //   r_b(t) = logaddexp(r_b(t - 1), r_n(t - 1)) + log y_t(blank) (a blank on frame t)
  // with phi(t) = r_b(t) for a label that repeats the last one, else r_n(t) + r_b(t) in log
  // space. One pass over the frames, where the tensor form takes about thirty whole-array steps.
  const at::Tensor tokens = next.contiguous();
  const int64_t R = tokens.size(0), S = label_probs_.size(1), N = log_probs_.size(1), V = log_probs_.size(2);
  const at::Tensor r_n = at::empty({R, S}, at::kDouble), r_b = at::empty({R, S}, at::kDouble);
  const float* y = log_probs_.const_data_ptr<float>();                // (S, N, V)
  const double* y_blank = y_blank_.const_data_ptr<double>();         // (N, S)
  const int64_t* length = lengths_.const_data_ptr<int64_t>();        // (N,)
  const int64_t* token = tokens.const_data_ptr<int64_t>();
  const int64_t* utterance = utterance_.const_data_ptr<int64_t>();
  const int64_t* last = last_.const_data_ptr<int64_t>();
  const double start = phi_start();
  for (int64_t r = 0; r < R; ++r) {
    const int64_t u = utterance[r], c = token[r];
    const double* phi = (c == last[r] ? r_b_ : r_total_).const_data_ptr<double>() + r * S;
    double* n = r_n.mutable_data_ptr<double>() + r * S;
    double* b = r_b.mutable_data_ptr<double>() + r * S;
    double n_run = start, b_run = kImpossible, n_kept = kImpossible;  // frame t - 1's
    for (int64_t t = 0; t < S; ++t) {
      b_run = (t == 0 ? kImpossible : log_add(b_run, n_kept)) + y_blank[u * S + t];
      if (t < length[u]) {
        const double y_c = std::max<double>(y[(t * N + u) * V + c], kLeastLogProb);
        n_run = (t == 0 ? start : log_add(n_run, phi[t - 1])) + y_c;
        n_kept = n_run;
      } else {  // a padding frame: the label cannot be on it
        n_kept = kImpossible;
      }
      n[t] = std::max(n_kept, kImpossible);
      b[t] = std::max(b_run, kImpossible);
    }
  }
  r_n_ = r_n;
  r_b_ = r_b;
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
  // Row by row, with phi(t) = logaddexp(r_n(t), r_b(t)), or r_b(t) alone before a repeated label:
  //   psi(c)   = sum over t of phi(t - 1) y_t(c)        (every label, one matrix product below)
  //   psi(end) = sum over t of phi(t - 1) A(t)          (the head ends the prefix after frame t)
  // each sum taken against its largest term, as the probabilities are far below e^-700.
  const int64_t R = r_n_.size(0), S = r_n_.size(1), N = label_probs_.size(0), V = label_probs_.size(2);
  r_total_ = at::empty({R, S}, at::kDouble);
  const at::Tensor weights = at::zeros({N, width_, S}, at::kDouble);  // (N, W, S): e^(phi(t - 1) - M) of each row
  const at::Tensor largest = at::empty({R}, at::kDouble);            // M
  std::vector<double> end_scores(R), repeat_scores(R);
  const double* r_n = r_n_.const_data_ptr<double>();
  const double* r_b = r_b_.const_data_ptr<double>();
  const double* ending = endings_.const_data_ptr<double>();         // (N, S)
  const double* label_probs = label_probs_.const_data_ptr<double>();  // (N, S, V)
  const double* label_shift = label_shift_.const_data_ptr<double>();  // (N, V)
  const int64_t* utterance = utterance_.const_data_ptr<int64_t>();
  const int64_t* slot = slot_.const_data_ptr<int64_t>();
  const int64_t* last = last_.const_data_ptr<int64_t>();
  double* total = r_total_.mutable_data_ptr<double>();
  double* m = largest.mutable_data_ptr<double>();
  double* w = weights.mutable_data_ptr<double>();
  const double start = phi_start();
  std::vector<double> phi(S);
  for (int64_t r = 0; r < R; ++r) {
    const int64_t u = utterance[r];
    const double *n = r_n + r * S, *b = r_b + r * S;
    for (int64_t t = 0; t < S; ++t) total[r * S + t] = log_add(n[t], b[t]);
    phi[0] = start;
    std::copy(total + r * S, total + r * S + S - 1, phi.begin() + 1);
    m[r] = *std::max_element(phi.begin(), phi.end());
    double* row_weights = w + (u * width_ + slot[r]) * S;
    for (int64_t t = 0; t < S; ++t) row_weights[t] = exp_of(phi[t] - m[r]);
    // Ending: log-sum-exp of phi(t - 1) + log A(t).
    double top = -std::numeric_limits<double>::infinity(), sum = 0.0;
    for (int64_t t = 0; t < S; ++t) top = std::max(top, phi[t] + ending[u * S + t]);
    for (int64_t t = 0; t < S; ++t) sum += exp_of(phi[t] + ending[u * S + t] - top);
    end_scores[r] = std::log(sum) + top;
    if (last[r] >= 0) {  // a repeated label needs a blank between its two copies: phi(t) = r_b(t)
      const int64_t c = last[r];
      double top_b = kImpossible, repeat = 0.0;
      for (int64_t t = 0; t + 1 < S; ++t) top_b = std::max(top_b, b[t]);
      for (int64_t t = 0; t < S; ++t)
        repeat += exp_of((t == 0 ? kImpossible : b[t - 1]) - top_b) * label_probs[(u * S + t) * V + c];
      repeat_scores[r] = std::log(repeat) + top_b + label_shift[u * V + c];
    }
  }
  const at::Tensor sums = at::bmm(weights, label_probs_).index({utterance_, slot_});  // (N, W, V) -> (R, V)
  const at::Tensor psi = (sums.log() + largest.unsqueeze(1) + label_shift_.index({utterance_})).contiguous();
  double* p = psi.mutable_data_ptr<double>();
  for (int64_t r = 0; r < R; ++r) {
    if (last[r] >= 0) p[r * V + last[r]] = repeat_scores[r];
    p[r * V + eos_id_] = end_scores[r];
    p[r * V + blank_id_] = kImpossible;
  }
  next_psi_ = psi.clamp_min(kImpossible);
  // What the head cannot read scores -inf, so that no search ever extends it.
  return (next_psi_ - psi_.unsqueeze(1)).to(at::kFloat).masked_fill(next_psi_ <= kImpossible,
                                                                     -std::numeric_limits<float>::infinity());
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
