#include "ctc_speech.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace quorlin {

CtcSpeech::CtcSpeech(std::unique_ptr<SpeechDetector> detector, Letters letters, int64_t window)
    : detector_(std::move(detector)),
      letters_(std::move(letters)),
      window_(window),
      edge_(std::min(kWindowEdge, window / 4)) {
  if (window < 4) throw std::invalid_argument("window must be at least 4 frames, got " + std::to_string(window));
}

at::Tensor CtcSpeech::push(const at::Tensor& samples) {
  samples_ = at::cat({samples_, samples.to(at::kFloat)});
  total_ += samples.numel();
  speech_ = at::cat({speech_, detector_->push(samples)});
  read_windows(decided_ + speech_.numel() - kLetterReach);
  return decide(std::min(kept_to_ - kLetterReach, decided_ + speech_.numel()));
}

at::Tensor CtcSpeech::finish() {
  speech_ = at::cat({speech_, detector_->finish()});
  const int64_t frames = (total_ + kVadFrame - 1) / kVadFrame;
  read_windows(frames);
  if (kept_to_ < frames) read(std::max<int64_t>(0, frames - window_), frames, frames);
  return decide(frames);
}

// Reads the whole windows whose samples are in and whose letters may flag only frames before
// `flagged`: each starts an edge before the letters it keeps (the first at 0).
void CtcSpeech::read_windows(int64_t flagged) {
  for (int64_t start = std::max<int64_t>(0, kept_to_ - edge_);
       start + window_ <= std::min(total_ / kVadFrame, flagged + edge_);
       start = std::max<int64_t>(0, kept_to_ - edge_)) {
    read(start, start + window_, start + window_ - edge_);
    // The next window, or the last, starts there or later.
    samples_ = samples_.narrow(0, (start - origin_) * kVadFrame, samples_.numel() - (start - origin_) * kVadFrame);
    origin_ = start;
  }
}

// Marks the frames around the letters of the window [start, end) from kept_to_ to keep_to,
// unless the detector found no speech they could flag.
void CtcSpeech::read(int64_t start, int64_t end, int64_t keep_to) {
  const int64_t near_from = std::max<int64_t>(0, kept_to_ - kLetterReach - decided_);
  const int64_t near_to = std::min(keep_to + kLetterReach - decided_, speech_.numel());
  if (near_to > near_from && speech_.narrow(0, near_from, near_to - near_from).any().item<bool>()) {
    const int64_t first = (start - origin_) * kVadFrame;
    const int64_t last = std::min((end - origin_) * kVadFrame, samples_.numel());
    const at::Tensor seconds = letters_(samples_.narrow(0, first, last - first)).to(at::kDouble).contiguous();
    const int64_t grow = keep_to + kLetterReach + 1 - decided_ - marks_.numel();
    if (grow > 0) marks_ = at::cat({marks_, at::zeros({grow}, at::kBool)});
    bool* marks = marks_.data_ptr<bool>();
    const double* at_seconds = seconds.data_ptr<double>();
    for (int64_t i = 0; i < seconds.numel(); ++i) {
      const int64_t f = start + static_cast<int64_t>(std::floor(at_seconds[i] * 100));  // its 10 ms frame
      if (f < kept_to_ || f >= keep_to) continue;
      for (int64_t g = std::max(decided_, f - kLetterReach); g <= f + kLetterReach; ++g) marks[g - decided_] = true;
    }
  }
  kept_to_ = keep_to;
}

// The flags of frames decided_ to `end`.
at::Tensor CtcSpeech::decide(int64_t end) {
  if (end <= decided_) return at::zeros({0}, at::kBool);
  const int64_t count = end - decided_;
  if (marks_.numel() < count) marks_ = at::cat({marks_, at::zeros({count - marks_.numel()}, at::kBool)});
  const at::Tensor flags = speech_.narrow(0, 0, count).logical_and(marks_.narrow(0, 0, count));
  speech_ = speech_.narrow(0, count, speech_.numel() - count).contiguous();
  marks_ = marks_.narrow(0, count, marks_.numel() - count).contiguous();
  decided_ = end;
  return flags;
}

}  // namespace quorlin
