// Resampling to 16 kHz as a stream: the outputs of the pieces equal those of resampling the
// whole stream at once with torchaudio.functional.resample's defaults (a Hann-windowed sinc
// filter of 6 zero crossings, roll-off 0.99), which resampled the training features.
#pragma once

#include <ATen/ATen.h>

namespace quorlin {

class StreamingResampler {
 public:
  explicit StreamingResampler(int64_t rate);

  // The outputs that the inputs so far determine.
  at::Tensor push(const at::Tensor& x);
  // The remaining outputs, up to ceil(total * 16000 / rate) in all.
  at::Tensor flush();

 private:
  at::Tensor resample(const at::Tensor& piece, int64_t inputs) const;

  bool identity_;
  int64_t orig_, new_;  // the rates divided by their greatest common divisor
  int64_t width_ = 0, pad_ = 0;
  at::Tensor kernel_;   // (new, 1, 2 * width + orig)
  at::Tensor buffer_;   // inputs from index done - pad on
  int64_t done_ = 0;    // input index up to which outputs were given
  int64_t total_ = 0;   // inputs pushed
};

}  // namespace quorlin
