// The recogniser's input features: Kaldi-style log-mel filter banks of 16 kHz samples (25 ms
// windows every 10 ms, as torchaudio.compliance.kaldi.fbank computes them for preparation),
// normalised as the run's training features were.
#pragma once

#include <ATen/ATen.h>

#include "manifest.h"

namespace quorlin {

inline constexpr int kSampleRate = 16000;
inline constexpr int kFrameLength = 400;  // samples: 25 ms
inline constexpr int kFrameShift = 160;   // samples: 10 ms

// Log-mel filter banks (frames, num_mel_bins) of samples (n,) at 16 kHz, n >= 400.
at::Tensor filter_banks(const at::Tensor& samples, int64_t num_mel_bins);

// Filter banks (T, F) normalised: by the training statistics ("global_mvn"), by their own
// ("cepstral"), or left as they are ("none").
at::Tensor normalised(const at::Tensor& feats, const FeatureSettings& settings);

}  // namespace quorlin
