#include "filter_banks.h"

#include <cmath>

namespace quorlin {
namespace {

constexpr double kPreemphasis = 0.97;
constexpr double kLowFrequency = 20.0;
constexpr int kPaddedWindow = 512;  // the frame length rounded up to a power of two

double mel_scale(double frequency) { return 1127.0 * std::log(1.0 + frequency / 700.0); }

// The triangular mel filters (num_bins, kPaddedWindow / 2 + 1) over the FFT bins.
at::Tensor mel_banks(int64_t num_bins) {
  const double nyquist = 0.5 * kSampleRate;
  const double fft_bin_width = static_cast<double>(kSampleRate) / kPaddedWindow;
  const double mel_low = mel_scale(kLowFrequency), mel_high = mel_scale(nyquist);
  const double mel_delta = (mel_high - mel_low) / static_cast<double>(num_bins + 1);
  const at::Tensor bin = at::arange(num_bins, at::kLong).unsqueeze(1);
  const at::Tensor left = bin * mel_delta + mel_low;            // (num_bins, 1)
  const at::Tensor center = (bin + 1.0) * mel_delta + mel_low;
  const at::Tensor right = (bin + 2.0) * mel_delta + mel_low;
  const at::Tensor frequency = at::arange(static_cast<double>(kPaddedWindow / 2), at::kFloat) * fft_bin_width;
  const at::Tensor mel = ((frequency / 700.0 + 1.0).log() * 1127.0).unsqueeze(0);  // (1, 256)
  const at::Tensor up = (mel - left) / (center - left);
  const at::Tensor down = (right - mel) / (right - center);
  const at::Tensor banks = at::max(at::zeros({1}), at::min(up, down));
  return at::constant_pad_nd(banks, {0, 1}, 0);  // (num_bins, 257)
}

}  // namespace

at::Tensor filter_banks(const at::Tensor& samples, int64_t num_mel_bins) {
  const at::Tensor waveform = samples.to(at::kFloat).contiguous();
  const int64_t frames = 1 + (waveform.size(0) - kFrameLength) / kFrameShift;
  at::Tensor strided = waveform.as_strided({frames, kFrameLength}, {kFrameShift, 1});
  strided = strided - at::mean(strided, 1).unsqueeze(1);  // remove each frame's DC offset
  const at::Tensor previous = at::cat({strided.narrow(1, 0, 1), strided.narrow(1, 0, kFrameLength - 1)}, 1);
  strided = strided - previous * kPreemphasis;
  const at::Tensor window = at::hann_window(kFrameLength, /*periodic=*/false, at::kFloat).pow(0.85);  // Povey
  strided = at::constant_pad_nd(strided * window.unsqueeze(0), {0, kPaddedWindow - kFrameLength}, 0);
  const at::Tensor spectrum = at::fft_rfft(strided).abs().pow(2.0);  // (frames, 257)
  const at::Tensor energies = at::mm(spectrum, mel_banks(num_mel_bins).t());
  const at::Tensor epsilon = at::scalar_tensor(std::numeric_limits<float>::epsilon(), at::kFloat);
  return at::max(energies, epsilon).log();
}

at::Tensor normalised(const at::Tensor& feats, const FeatureSettings& settings) {
  // As the training set's features were normalised: on (F, T), each bin over time.
  const at::Tensor by_bin = feats.t().contiguous();  // (T, F) -> (F, T)
  at::Tensor out = by_bin;
  if (settings.norm == "global_mvn") {
    const at::Tensor mean = at::tensor(settings.mean, at::kFloat).unsqueeze(1);
    const at::Tensor std = at::tensor(settings.std, at::kFloat).unsqueeze(1);
    out = (by_bin - mean) / (std + 1e-8);
  } else if (settings.norm == "cepstral") {
    out = (by_bin - by_bin.mean(1, true)) / (by_bin.std(1, /*unbiased=*/true, true) + 1e-8);
  }
  return out.t().contiguous();  // (F, T) -> (T, F)
}

}  // namespace quorlin
