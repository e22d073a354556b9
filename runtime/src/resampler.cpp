#include "resampler.h"

#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

namespace quorlin {
namespace {

constexpr int64_t kLowpassFilterWidth = 6;
constexpr double kRolloff = 0.99;
constexpr int64_t kChunk = 16384;  // outputs computed together: bounds the (outputs, taps) gather

// The filter weights (new, taps) of every output phase r = j mod new, tap k reading input
// first_input(j) + k.
at::Tensor phase_weights(int64_t orig, int64_t new_rate, double scale, double reach, int64_t taps) {
  const at::Tensor phase = at::arange(new_rate, at::kDouble).mul(static_cast<double>(orig))
                               .remainder(static_cast<double>(new_rate)) / static_cast<double>(new_rate);  // (new,)
  const at::Tensor first = at::ceil(phase - reach);  // (new,) first tap, relative to floor(p_j)
  at::Tensor t = (first.unsqueeze(1) + at::arange(taps, at::kDouble) - phase.unsqueeze(1)) * scale;  // (new, taps)
  t = t.clamp(-kLowpassFilterWidth, kLowpassFilterWidth);
  const at::Tensor window = at::cos(t * M_PI / kLowpassFilterWidth / 2).pow(2);
  const at::Tensor sinc = at::where(t == 0, at::ones_like(t), at::sin(t * M_PI) / (t * M_PI));
  return (sinc * window * scale).to(at::kFloat);
}

}  // namespace

StreamingResampler::StreamingResampler(int64_t orig_rate, int64_t new_rate) {
  if (orig_rate <= 0 || new_rate <= 0)
    throw std::invalid_argument("rates must be positive, got " + std::to_string(orig_rate) + " and " +
                                std::to_string(new_rate));
  const int64_t gcd = std::gcd(orig_rate, new_rate);
  orig_ = orig_rate / gcd;
  new_ = new_rate / gcd;
  identity_ = orig_ == new_;
  // s: filter time units per input sample.
  const double scale = static_cast<double>(std::min(orig_rate, new_rate)) * kRolloff / static_cast<double>(orig_rate);
  reach_ = static_cast<double>(kLowpassFilterWidth) / scale;
  taps_ = static_cast<int64_t>(std::floor(2 * reach_)) + 2;
  weights_ = phase_weights(orig_, new_, scale, reach_, taps_);
  // The stream is zeros before its start and after its end: the buffer holds enough of them.
  pad_ = taps_ + static_cast<int64_t>(std::ceil(reach_)) + 1;
  buffer_ = at::zeros({pad_});
  start_ = -pad_;
}

at::Tensor StreamingResampler::push(const at::Tensor& samples) {
  const at::Tensor x = samples.to(at::kFloat);
  total_ += x.numel();
  if (identity_) return x;
  buffer_ = at::cat({buffer_, x});
  // Output j reads inputs up to ceil(p_j - reach) + taps - 1 < p_j - reach + taps: the known
  // ones when p_j <= total + reach - taps.
  const auto ready = static_cast<int64_t>(
      std::floor((static_cast<double>(total_) + reach_ - static_cast<double>(taps_)) * static_cast<double>(new_) /
                 static_cast<double>(orig_))) + 1;
  return outputs(std::max(ready, done_));
}

at::Tensor StreamingResampler::flush() {
  if (identity_) return at::zeros({0});
  buffer_ = at::cat({buffer_, at::zeros({pad_})});
  return outputs((total_ * new_ + orig_ - 1) / orig_);
}

at::Tensor StreamingResampler::outputs(int64_t end) {
  if (done_ >= end) return at::zeros({0});
  const at::Tensor windows = buffer_.unfold(0, taps_, 1);  // (n - taps + 1, taps): a view, no copy
  std::vector<at::Tensor> pieces;
  while (done_ < end) {
    const at::Tensor j = at::arange(done_, std::min(end, done_ + kChunk), at::kLong);  // (J,)
    const at::Tensor rows = windows.index_select(0, first_input(j) - start_);
    pieces.push_back((rows * weights_.index_select(0, j.remainder(new_))).sum(1));  // (J, taps) -> (J,)
    done_ = j[-1].item<int64_t>() + 1;
  }
  const int64_t keep_from = first_input(at::full({1}, done_, at::kLong)).item<int64_t>();
  buffer_ = buffer_.narrow(0, keep_from - start_, buffer_.numel() - (keep_from - start_));
  start_ = keep_from;
  return at::cat(pieces);
}

// The first input each output j reads: ceil(p_j - reach), p_j = j * orig / new exactly.
at::Tensor StreamingResampler::first_input(const at::Tensor& j) const {
  const at::Tensor product = j * orig_;
  const at::Tensor whole = product.div(new_, "floor"), phase = product.remainder(new_);
  return whole + at::ceil(phase.to(at::kDouble) / static_cast<double>(new_) - reach_).to(at::kLong);
}

}  // namespace quorlin
