// Recordings cut into segments the model reads well, as quorlin.inference.segmentation cuts
// them: as long as the utterances it learnt from, cut at pauses that a voice activity detector
// finds (each segment cut at a short pause carrying 0.3 s of the audio beyond the cut), with
// long silences left out; a recording no longer than the longest training
// utterance is one segment; speech with no pause for longer than the model takes is cut into
// overlapping windows as long as the longest training utterance.
#pragma once

#include <ATen/ATen.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "quorlin/recognizer.h"
#include "vad.h"

namespace quorlin {

// A stretch of the recording to transcribe on its own; the words whose midpoint lies in
// [keep_start, keep_end) are its share of the transcript (overlapping windows share words).
struct AudioSegment {
  double start, end;   // seconds
  at::Tensor samples;  // (round((end - start) * 16000),)
  double keep_start, keep_end;
  // The detector's flags of its 10 ms frames; none for a recording decoded whole, which keeps
  // all its words, as quorlin evaluate's decoding of it does.
  std::optional<std::vector<bool>> speech;
};

// The words of `words` that are the segment's share: their midpoint lies in [keep_start,
// keep_end), and in a segment cut from a longer recording they touch a frame the detector
// called speech (what the recogniser reads into the noise of a pause is left out); their times
// held within [keep_start, keep_end].
std::vector<Word> keep_words(const AudioSegment& segment, const std::vector<Word>& words);

// The segment durations a recogniser reads well: those of its training utterances.
class SegmentLengths {
 public:
  // quantiles: the 0 %, 5 %, ..., 100 % quantiles of the training durations in seconds (21,
  // positive, not decreasing); limit: the longest segment the model takes, at least 1 s.
  SegmentLengths(std::vector<double> quantiles, double limit);
  // How unlike the training durations `seconds` is: 0 from their 5 % quantile to the longest,
  // growing by one every 0.25 s outside; infinite beyond the limit.
  double cost(double seconds) const;
  double longest() const { return quantiles_.back(); }
  double limit() const { return limit_; }

 private:
  std::vector<double> quantiles_;
  double limit_;
};

// The segments (start, end) in frames that best cut the stretch `speech` of 10 ms frames, which
// holds some speech; they meet in the middle of the pauses they are cut at, the first starts
// with the stretch and the last ends 15 frames past its speech. `closed` is false when the
// speech goes on after it (the last segment is then free). Empty when speech longer than the
// limit has no pause.
std::vector<std::pair<int64_t, int64_t>> plan_segments(const std::vector<bool>& speech, const SegmentLengths& lengths,
                                                       bool closed);

// Cuts a stream of 16 kHz blocks into segments: push each block, then finish; the segments
// come out as soon as they are decided. A stream of `duration` no longer than the longest
// training utterance is one segment, whole (none when no speech is found in it). With `context`,
// a segment cut at a short pause carries 0.3 s of the audio beyond the cut: for a recogniser
// whose word times tell which words are its own.
class Segmenter {
 public:
  Segmenter(const SegmentLengths& lengths, std::unique_ptr<SpeechDetector> detector, double duration,
            bool context = true);

  std::vector<AudioSegment> push(const at::Tensor& block);  // (m,) samples at 16 kHz
  std::vector<AudioSegment> finish();

 private:
  void hold(const at::Tensor& samples, const at::Tensor& flags);
  std::vector<AudioSegment> cut_held(bool final);
  std::vector<AudioSegment> cut(std::optional<int64_t> end);
  AudioSegment window(int64_t stop);
  std::pair<int64_t, int64_t> context(int64_t a, int64_t b, bool cut_before, bool cut_after) const;
  AudioSegment emit(int64_t a, int64_t b, std::optional<int64_t> keep_from = std::nullopt,
                    std::optional<int64_t> keep_to = std::nullopt, int64_t before = 0, int64_t after = 0) const;
  void drop(int64_t frames);

  const SegmentLengths& lengths_;
  std::unique_ptr<SpeechDetector> detector_;
  bool whole_;
  int64_t context_;  // frames of context beyond a cut
  int64_t overlap_, window_, horizon_;
  at::Tensor samples_;  // held samples, from frame origin_ on
  std::vector<bool> flags_;  // speech flags of held frames
  // The last frames let go (at most the context): the context ahead of a segment that starts the held frames.
  at::Tensor past_samples_ = at::zeros({0});
  std::vector<bool> past_flags_;
  int64_t origin_ = 0;
  std::optional<int64_t> keep_from_;  // keep start of a window that continues the last
  bool at_cut_ = false;  // whether the held frames start where the last segment was cut from them
};

}  // namespace quorlin
