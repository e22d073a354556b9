#include "resampler.h"

#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

namespace quorlin {
namespace {

constexpr int64_t kLowpassFilterWidth = 6;
constexpr double kRolloff = 0.99;
constexpr int64_t kChunk = 16384;  // outputs gathered together: bounds the (outputs, taps) gather
// The most cells of a period's weight matrix (the inputs a period reads, by its outputs).
constexpr int64_t kPeriodCells = int64_t{1} << 20;
// The most cells of the (periods, span) inputs of one matrix product.
constexpr int64_t kProductCells = int64_t{1} << 18;
// The fewest outputs of a period computed as one matrix product.
constexpr int64_t kPeriodOutputs = 64;

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
  const int64_t repeat = (kPeriodOutputs * gcd + new_rate - 1) / new_rate;  // periods of fewer outputs go together
  orig_ = orig_rate / gcd * repeat;
  new_ = new_rate / gcd * repeat;
  identity_ = orig_rate == new_rate;
  // s: filter time units per input sample.
  const double scale = static_cast<double>(std::min(orig_rate, new_rate)) * kRolloff / static_cast<double>(orig_rate);
  reach_ = static_cast<double>(kLowpassFilterWidth) / scale;
  taps_ = static_cast<int64_t>(std::floor(2 * reach_)) + 2;
  weights_ = phase_weights(orig_, new_, scale, reach_, taps_);
  // The inputs of a period of outputs, from the first input of its first output on.
  const at::Tensor firsts = first_input(at::arange(new_, at::kLong));  // (new,)
  span_ = firsts[-1].item<int64_t>() - firsts[0].item<int64_t>() + taps_;
  if (span_ * new_ <= kPeriodCells) {  // phase r's weights in rows firsts[r] - firsts[0] onwards
    period_ = at::zeros({span_, new_});
    const at::Tensor rows = (firsts - firsts[0]).unsqueeze(1) + at::arange(taps_, at::kLong);  // (new, taps)
    period_.index_put_({rows, at::arange(new_, at::kLong).unsqueeze(1)}, weights_);
  }
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
  const at::Tensor out = period_.defined() ? by_periods(end) : gathered(end);
  // The next output's period starts at most a period of inputs earlier.
  const int64_t keep_from = first(period_.defined() ? done_ - done_ % new_ : done_);
  buffer_ = buffer_.narrow(0, keep_from - start_, buffer_.numel() - (keep_from - start_));
  start_ = keep_from;
  return out;
}

at::Tensor StreamingResampler::gathered(int64_t end) {
  const at::Tensor windows = buffer_.unfold(0, taps_, 1);  // (n - taps + 1, taps): a view, no copy
  std::vector<at::Tensor> pieces;
  while (done_ < end) {
    const at::Tensor j = at::arange(done_, std::min(end, done_ + kChunk), at::kLong);  // (J,)
    const at::Tensor rows = windows.index_select(0, first_input(j) - start_);
    pieces.push_back((rows * weights_.index_select(0, j.remainder(new_))).sum(1));  // (J, taps) -> (J,)
    done_ = j[-1].item<int64_t>() + 1;
  }
  return at::cat(pieces);
}

// Output q * new + r is row q of the period matrix product, column r. Outputs of the last
// period beyond `end` read zeros where their inputs are not known yet, and are dropped.
at::Tensor StreamingResampler::by_periods(int64_t end) {
  std::vector<at::Tensor> pieces;
  while (done_ < end) {
    const int64_t first_period = done_ / new_;
    const int64_t periods = std::min((end + new_ - 1) / new_ - first_period, std::max<int64_t>(1, kProductCells / span_));
    const int64_t offset = first(first_period * new_) - start_;
    const int64_t length = (periods - 1) * orig_ + span_;
    at::Tensor inputs = buffer_.narrow(0, offset, std::min(length, buffer_.numel() - offset));
    if (inputs.numel() < length) inputs = at::cat({inputs, at::zeros({length - inputs.numel()})});
    const at::Tensor blocks = inputs.unfold(0, span_, orig_);  // (periods, span): a view, no copy
    const at::Tensor values = at::matmul(blocks, period_).reshape(-1);  // (periods, new) -> outputs in order
    const int64_t stop = std::min(end, (first_period + periods) * new_);
    pieces.push_back(values.narrow(0, done_ - first_period * new_, stop - done_));
    done_ = stop;
  }
  return at::cat(pieces);
}

// The first input of the one output j, in the same integers and doubles as first_input.
int64_t StreamingResampler::first(int64_t j) const {
  const int64_t product = j * orig_;
  return product / new_ + static_cast<int64_t>(
      std::ceil(static_cast<double>(product % new_) / static_cast<double>(new_) - reach_));
}

// The first input each output j reads: ceil(p_j - reach), p_j = j * orig / new exactly.
at::Tensor StreamingResampler::first_input(const at::Tensor& j) const {
  const at::Tensor product = j * orig_;
  const at::Tensor whole = product.div(new_, "floor"), phase = product.remainder(new_);
  return whole + at::ceil(phase.to(at::kDouble) / static_cast<double>(new_) - reach_).to(at::kLong);
}

}  // namespace quorlin
