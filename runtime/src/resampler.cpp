#include "resampler.h"

#include <cmath>
#include <numeric>

#include "filter_banks.h"

namespace quorlin {
namespace {

constexpr int64_t kLowpassFilterWidth = 6;
constexpr double kRolloff = 0.99;

}  // namespace

StreamingResampler::StreamingResampler(int64_t rate) : identity_(rate == kSampleRate) {
  const int64_t gcd = std::gcd(rate, static_cast<int64_t>(kSampleRate));
  orig_ = rate / gcd;
  new_ = kSampleRate / gcd;
  const double base = static_cast<double>(std::min(orig_, new_)) * kRolloff;
  width_ = static_cast<int64_t>(std::ceil(static_cast<double>(kLowpassFilterWidth * orig_) / base));
  pad_ = (width_ + orig_ - 1) / orig_ * orig_ + orig_;
  if (!identity_) {
    // The sinc kernels of every output phase, computed in float32 as torchaudio's Resample
    // transform computes them for dtype=torch.float32.
    const at::Tensor idx = (at::arange(-width_, width_ + orig_, at::kFloat) / orig_).unsqueeze(0).unsqueeze(0);
    at::Tensor t = at::arange(0, -new_, -1, at::kFloat).unsqueeze(1).unsqueeze(1) / new_ + idx;
    t *= base;
    t = t.clamp_(-kLowpassFilterWidth, kLowpassFilterWidth);
    const at::Tensor window = at::cos(t * M_PI / kLowpassFilterWidth / 2).pow(2);
    t *= M_PI;
    const double scale = base / static_cast<double>(orig_);
    kernel_ = at::where(t == 0, at::scalar_tensor(1.0, at::kFloat), t.sin() / t);
    kernel_ *= window * scale;
  }
  buffer_ = at::zeros({pad_});
}

at::Tensor StreamingResampler::push(const at::Tensor& x) {
  total_ += x.numel();
  if (identity_) return x;
  buffer_ = at::cat({buffer_, x});
  // Steps up to `end` have their right context in the buffer.
  const int64_t end = (done_ + buffer_.numel() - 2 * pad_) / orig_ * orig_;
  if (end <= done_) return at::zeros({0});
  at::Tensor out = resample(buffer_.narrow(0, 0, end - done_ + 2 * pad_), end - done_);
  buffer_ = buffer_.narrow(0, end - done_, buffer_.numel() - (end - done_));
  done_ = end;
  return out;
}

at::Tensor StreamingResampler::flush() {
  if (identity_) return at::zeros({0});
  return resample(at::cat({buffer_, at::zeros({pad_})}), total_ - done_);
}

at::Tensor StreamingResampler::resample(const at::Tensor& piece, int64_t inputs) const {
  // torchaudio's _apply_sinc_resample_kernel: a strided convolution of every output phase.
  const int64_t length = piece.numel();
  const at::Tensor padded = at::constant_pad_nd(piece.view({1, length}), {width_, width_ + orig_}, 0);
  at::Tensor out = at::conv1d(padded.unsqueeze(1), kernel_, {}, orig_);  // (1, new, steps)
  out = out.transpose(1, 2).reshape({1, -1});
  // torchaudio rounds the length to float32 before its ceiling.
  const auto target = static_cast<int64_t>(
      std::ceil(static_cast<float>(static_cast<double>(new_ * length) / static_cast<double>(orig_))));
  out = out.narrow(1, 0, std::min(target, out.size(1)))[0];
  const int64_t first = pad_ / orig_ * new_;
  const int64_t count = (inputs * new_ + orig_ - 1) / orig_;
  return out.narrow(0, std::min(first, out.size(0)), std::max<int64_t>(0, std::min(count, out.size(0) - first)));
}

}  // namespace quorlin
