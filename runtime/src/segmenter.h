// Long recordings cut into segments the model can take, as quorlin.inference.segmentation
// cuts them: at pauses where there are any, in overlapping windows where speech runs on, with
// long silences left out. It reads a stream of 16 kHz blocks and holds at most about one
// segment plus one block.
#pragma once

#include <ATen/ATen.h>

#include <optional>
#include <vector>

#include "quorlin/recognizer.h"

namespace quorlin {

// A stretch of the recording to transcribe on its own; the words whose midpoint lies in
// [keep_start, keep_end) are its share of the transcript (overlapping windows share words).
struct AudioSegment {
  double start, end;  // seconds
  at::Tensor samples;  // (round((end - start) * 16000),)
  double keep_start, keep_end;
};

// The words of `words` that are the segment's share.
std::vector<Word> keep_words(const AudioSegment& segment, const std::vector<Word>& words);

class Segmenter {
 public:
  // Segments of at most `max_seconds` (at least 1), overlapping windows by
  // min(3 s, max_seconds / 4) where speech runs on.
  explicit Segmenter(double max_seconds);

  std::vector<AudioSegment> push(const at::Tensor& block);  // (m,) samples at 16 kHz
  std::vector<AudioSegment> finish();

 private:
  void add_energies(int64_t frames);
  std::vector<bool> speech(int64_t frames);
  std::vector<AudioSegment> cut(bool final);
  AudioSegment emit(int64_t frames, std::optional<int64_t> keep_from, std::optional<int64_t> keep_to) const;
  void drop(int64_t frames);

  int64_t max_frames_, overlap_;
  at::Tensor samples_;   // held samples, from frame origin_ on
  at::Tensor energies_;  // (frames,) dB of each held frame
  int64_t origin_ = 0;
  int64_t counted_ = 0;  // frames before this one are in the histogram
  at::Tensor histogram_;
  std::optional<int64_t> keep_from_;  // keep start of a window that continues the last
};

}  // namespace quorlin
