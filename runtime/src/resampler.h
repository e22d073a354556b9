// Resampling between any two rates with a filter of bounded size, whole or as a stream, as
// quorlin.resample computes it: torchaudio's windowed sinc (Hann window, 6 zero crossings,
// cut-off at 0.99 of the lower Nyquist frequency) evaluated at each output's own position, one
// row of weights per output phase. A rate with no common factor with the other (44,101 Hz)
// costs what 44,100 Hz costs. Where the period of the phases is short, a period of outputs is
// one product of its inputs with a matrix of every phase's weights, as in Python.
#pragma once

#include <ATen/ATen.h>

namespace quorlin {

class StreamingResampler {
 public:
  StreamingResampler(int64_t orig_rate, int64_t new_rate);

  // The outputs that the inputs so far determine, (m,) float32.
  at::Tensor push(const at::Tensor& samples);
  // The remaining outputs, up to ceil(total * new / orig) in all; the stream has ended.
  at::Tensor flush();

 private:
  at::Tensor outputs(int64_t end);
  at::Tensor gathered(int64_t end);
  at::Tensor by_periods(int64_t end);
  at::Tensor first_input(const at::Tensor& j) const;
  int64_t first(int64_t j) const;

  int64_t orig_, new_;  // one period of the filter's phases: inputs and outputs
  bool identity_;
  double reach_;        // inputs on either side of an output's position that the filter reads
  int64_t taps_, pad_;
  at::Tensor weights_;  // (new, taps): the filter of every output phase
  int64_t span_;        // the inputs a period of outputs reads
  at::Tensor period_;   // (span, new): a period's weights; undefined where that is too big
  at::Tensor buffer_;   // inputs from absolute index start_ on
  int64_t start_, total_ = 0, done_ = 0;  // inputs pushed, outputs given
};

}  // namespace quorlin
