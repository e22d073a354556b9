#include "segmenter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace quorlin {
namespace {

// In 10 ms frames.
constexpr int64_t kLongPause = 100, kMargin = 15, kContext = 30;
// A cut at a pause of d frames earns kPauseReward * log(d / kMinPause): the longer the pause,
// the likelier it ends a sentence.
constexpr double kPauseReward = 0.5;
// Outside the training durations, the cost of a segment grows by one per kTailSeconds.
constexpr double kTailSeconds = 0.25;
constexpr int64_t kSampleRate = 16000;

int64_t rounded(double x) { return static_cast<int64_t>(std::nearbyint(x)); }

// Where the speech that `flags` starts with ends: at the first long pause; none when none is in sight.
std::optional<int64_t> stretch_end(const std::vector<bool>& flags, int64_t horizon) {
  int64_t run = 0;
  const auto n = std::min<int64_t>(horizon, static_cast<int64_t>(flags.size()));
  for (int64_t f = 0; f < n; ++f) {
    run = flags[f] ? 0 : run + 1;
    if (run >= kLongPause) return f + 1 - run;
  }
  return std::nullopt;
}

// Whether any 10 ms frame that [start, end] (seconds) touches is a speech frame of `speech`.
bool on_speech(const std::vector<bool>& speech, double start, double end) {
  const auto frames = static_cast<int64_t>(speech.size());
  const int64_t first = std::max<int64_t>(0, static_cast<int64_t>(std::floor(start * 100)));
  const int64_t last = std::max(first + 1, static_cast<int64_t>(std::ceil(end * 100)));
  return std::any_of(speech.begin() + std::min(first, frames), speech.begin() + std::min(last, frames),
                     [](bool flag) { return flag; });
}

std::vector<bool> to_vector(const at::Tensor& flags) {
  const at::Tensor values = flags.to(at::kBool).contiguous();
  const bool* data = values.data_ptr<bool>();
  return std::vector<bool>(data, data + values.numel());
}

}  // namespace

std::vector<Word> keep_words(const AudioSegment& segment, const std::vector<Word>& words) {
  std::vector<Word> kept;
  for (const Word& word : words) {
    const double middle = (word.start + word.end) / 2;
    if (!(segment.keep_start <= middle && middle < segment.keep_end)) continue;
    if (!segment.speech || on_speech(*segment.speech, word.start - segment.start, word.end - segment.start))
      kept.push_back({std::max(word.start, segment.keep_start), std::min(word.end, segment.keep_end), word.text});
  }
  return kept;
}

SegmentLengths::SegmentLengths(std::vector<double> quantiles, double limit) : limit_(limit) {
  if (quantiles.size() != 21 || !(quantiles[0] > 0) || !std::is_sorted(quantiles.begin(), quantiles.end()))
    throw std::invalid_argument("quantiles must be 21 positive durations in increasing order");
  if (!(limit >= 1.0)) throw std::invalid_argument("limit must be at least 1 s");
  for (double q : quantiles) quantiles_.push_back(std::min(q, limit));
}

double SegmentLengths::cost(double seconds) const {
  if (seconds > limit_) return std::numeric_limits<double>::infinity();
  return std::max({quantiles_[1] - seconds, seconds - longest(), 0.0}) / kTailSeconds;
}

std::vector<std::pair<int64_t, int64_t>> plan_segments(const std::vector<bool>& speech, const SegmentLengths& lengths,
                                                       bool closed) {
  const auto F = static_cast<int64_t>(speech.size());
  // Runs of non-speech (start, end); those between two speech frames are the pauses.
  std::vector<std::pair<int64_t, int64_t>> silent;
  for (int64_t a = 0; a < F;) {
    int64_t b = a + 1;
    while (b < F && speech[b] == speech[a]) ++b;
    if (!speech[a]) silent.emplace_back(a, b);
    a = b;
  }
  const int64_t tail = !silent.empty() && silent.back().second == F ? silent.back().first : F;  // after the last
  std::vector<std::pair<int64_t, int64_t>> pauses;
  for (const auto& [a, b] : silent)
    if (a > 0 && b < F && b - a >= kMinPause) pauses.emplace_back(a, b);
  // Segments meet in the middle of the pauses they are cut at; the last ends kMargin past its speech.
  std::vector<int64_t> nodes{0};
  std::vector<double> cut_costs{0.0};
  for (const auto& [a, b] : pauses) {
    nodes.push_back((a + b) / 2);
    cut_costs.push_back(-kPauseReward * std::log(static_cast<double>(std::min(b - a, kLongPause)) / kMinPause));
  }
  nodes.push_back(std::min(F, tail + kMargin));
  cut_costs.push_back(0.0);
  const int64_t limit = rounded(lengths.limit() * 100);
  std::vector<double> best(nodes.size(), std::numeric_limits<double>::infinity());
  std::vector<size_t> back(nodes.size(), 0);
  best[0] = 0.0;
  for (size_t j = 1; j < nodes.size(); ++j) {
    const bool free = !closed && j == nodes.size() - 1;
    for (size_t i = j; i-- > 0;) {
      const int64_t length = nodes[j] - nodes[i];
      if (length > limit) break;  // earlier starts are longer still
      const double cost = best[i] + (free ? 0.0 : lengths.cost(static_cast<double>(length) / 100)) + cut_costs[j];
      if (cost < best[j]) {
        best[j] = cost;
        back[j] = i;
      }
    }
  }
  if (std::isinf(best.back())) return {};
  std::vector<std::pair<int64_t, int64_t>> cuts;
  for (size_t j = nodes.size() - 1; j > 0; j = back[j]) cuts.emplace_back(nodes[back[j]], nodes[j]);
  std::reverse(cuts.begin(), cuts.end());
  return cuts;
}

Segmenter::Segmenter(const SegmentLengths& lengths, std::unique_ptr<SpeechDetector> detector, double duration,
                     bool context)
    : lengths_(lengths), detector_(std::move(detector)), whole_(duration <= lengths.longest()),
      context_(context ? kContext : 0), samples_(at::zeros({0})) {
  const double window = std::max(lengths.longest(), 1.0);
  overlap_ = rounded(std::min(3.0, window / 4) * 100);
  window_ = rounded(window * 100);
  // Speech seen ahead of a decision: enough for two of the longest segments and a long pause.
  horizon_ = std::max(rounded(2 * lengths.longest() * 100) + kLongPause + 2 * kMargin,
                      rounded(lengths.limit() * 100) + kLongPause);
}

std::vector<AudioSegment> Segmenter::push(const at::Tensor& block) {
  const at::Tensor samples = block.to(at::kFloat);
  hold(samples, detector_->push(samples));
  return whole_ ? std::vector<AudioSegment>{} : cut_held(false);
}

std::vector<AudioSegment> Segmenter::finish() {
  hold(at::zeros({0}), detector_->finish());
  if (!whole_) return cut_held(true);
  // Everything held as one segment, when it holds any speech.
  if (std::find(flags_.begin(), flags_.end(), true) == flags_.end()) return {};
  AudioSegment segment = emit(0, static_cast<int64_t>(flags_.size()));
  segment.speech.reset();
  return {segment};
}

void Segmenter::hold(const at::Tensor& samples, const at::Tensor& flags) {
  samples_ = at::cat({samples_, samples});
  const std::vector<bool> more = to_vector(flags);
  flags_.insert(flags_.end(), more.begin(), more.end());
}

std::vector<AudioSegment> Segmenter::cut_held(bool final) {
  std::vector<AudioSegment> segments;
  while (true) {
    const auto n = static_cast<int64_t>(flags_.size());
    const auto first = std::find(flags_.begin(), flags_.end(), true);
    if (first == flags_.end()) {
      drop(final ? n : std::max<int64_t>(0, n - kMargin));
      return segments;
    }
    const int64_t found = first - flags_.begin();
    if (found > kMargin && !keep_from_ && !at_cut_) {
      drop(found - kMargin);
      continue;
    }
    // Each decision reads the first horizon_ frames only, so that it does not depend on how the
    // stream came in blocks.
    std::optional<int64_t> end = stretch_end(flags_, horizon_);
    if (!end && final && n <= horizon_)
      end = static_cast<int64_t>(flags_.rend() - std::find(flags_.rbegin(), flags_.rend(), true));
    if (!end && n < horizon_) return segments;
    for (AudioSegment& segment : cut(end)) segments.push_back(std::move(segment));
  }
}

// Emits the segments of the held speech that ends at `end` (all of them), or, when the speech
// goes on past the horizon (no end), the first one only.
std::vector<AudioSegment> Segmenter::cut(std::optional<int64_t> end) {
  const int64_t stop = end ? std::min(static_cast<int64_t>(flags_.size()), *end + kMargin) : horizon_;
  std::vector<std::pair<int64_t, int64_t>> plan;
  if (!keep_from_)
    plan = plan_segments(std::vector<bool>(flags_.begin(), flags_.begin() + stop), lengths_, end.has_value());
  if (plan.empty()) return {window(stop)};
  if (!end) plan.resize(1);
  // Every segment but the first (or also the first, after a cut) starts at a cut, and every one
  // but the last of speech that ends here ends at one.
  std::vector<AudioSegment> segments;
  for (size_t n = 0; n < plan.size(); ++n) {
    const auto [a, b] = plan[n];
    const auto [before, after] = context(a, b, n > 0 || at_cut_, n + 1 < plan.size() || !end);
    segments.push_back(emit(a, b, std::nullopt, std::nullopt, before, after));
  }
  drop(end ? stop : plan.back().second);
  at_cut_ = !end;
  return segments;
}

// A window as long as the longest training utterance from the first held frame, over speech
// with no pause to cut at, overlapping the next by overlap_; the last window ends at `stop`.
AudioSegment Segmenter::window(int64_t stop) {
  at_cut_ = false;
  if (stop <= window_) {
    AudioSegment segment = emit(0, stop, keep_from_, std::nullopt);
    drop(stop);
    keep_from_.reset();
    return segment;
  }
  const int64_t keep_end = origin_ + window_ - overlap_ / 2;
  AudioSegment segment = emit(0, window_, keep_from_, keep_end);
  drop(window_ - overlap_);
  keep_from_ = keep_end;
  return segment;
}

// The frames of context the segment of held frames [a, b) carries before and after it: context_
// beyond each cut, as far as the audio goes and the segment stays within the model's limit.
std::pair<int64_t, int64_t> Segmenter::context(int64_t a, int64_t b, bool cut_before, bool cut_after) const {
  const int64_t spare = std::max<int64_t>(0, rounded(lengths_.limit() * 100) - (b - a)) / 2;
  const auto past = static_cast<int64_t>(past_flags_.size()), held = static_cast<int64_t>(flags_.size());
  return {cut_before ? std::min({context_, spare, a + past}) : 0,
          cut_after ? std::min({context_, spare, held - b}) : 0};
}

// The segment of held frames [a, b), with `before` frames of context ahead of it (from the frames
// let go, when a is 0) and `after` frames after it, whose words it leaves to its neighbours.
AudioSegment Segmenter::emit(int64_t a, int64_t b, std::optional<int64_t> keep_from, std::optional<int64_t> keep_to,
                             int64_t before, int64_t after) const {
  const int64_t early = std::max<int64_t>(0, before - a);  // context frames from those let go
  const int64_t lo = a - before + early;                    // the first held frame of the segment
  const int64_t from = std::min(lo * kVadFrame, samples_.numel());
  const int64_t to = std::min((b + after) * kVadFrame, samples_.numel());
  const int64_t past = std::min(early * kVadFrame, past_samples_.numel());
  // New tensors: the held buffers can go.
  const at::Tensor samples = at::cat({past_samples_.narrow(0, past_samples_.numel() - past, past),
                                      samples_.narrow(0, from, std::max<int64_t>(0, to - from))});
  const int64_t at = (origin_ + a - before) * kVadFrame;  // the audio's first sample in the recording
  const int64_t own = at + before * kVadFrame;            // the first sample of frame a
  const int64_t own_end = origin_ * kVadFrame + std::min(b * kVadFrame, samples_.numel());  // past its last sample
  const auto held = static_cast<int64_t>(flags_.size());
  std::vector<bool> flags(past_flags_.end() - std::min(early, static_cast<int64_t>(past_flags_.size())),
                          past_flags_.end());
  flags.insert(flags.end(), flags_.begin() + std::min(lo, held), flags_.begin() + std::min(b + after, held));
  return {static_cast<double>(at) / kSampleRate, static_cast<double>(at + samples.numel()) / kSampleRate, samples,
          keep_from ? static_cast<double>(*keep_from) / 100 : static_cast<double>(own) / kSampleRate,
          keep_to ? static_cast<double>(*keep_to) / 100 : static_cast<double>(own_end) / kSampleRate,
          std::move(flags)};
}

void Segmenter::drop(int64_t frames) {
  // The last frames let go are kept as the context of a segment that starts where they end.
  const int64_t let_go = std::min(frames * kVadFrame, samples_.numel());
  past_samples_ = at::cat({past_samples_, samples_.narrow(0, 0, let_go)});
  past_samples_ = past_samples_.narrow(0, std::max<int64_t>(0, past_samples_.numel() - context_ * kVadFrame),
                                       std::min(past_samples_.numel(), context_ * kVadFrame)).clone();
  past_flags_.insert(past_flags_.end(), flags_.begin(),
                     flags_.begin() + std::min<int64_t>(frames, static_cast<int64_t>(flags_.size())));
  if (static_cast<int64_t>(past_flags_.size()) > context_)
    past_flags_.erase(past_flags_.begin(), past_flags_.end() - context_);
  const int64_t samples = std::min(frames * kVadFrame, samples_.numel());
  samples_ = samples_.narrow(0, samples, samples_.numel() - samples);
  flags_.erase(flags_.begin(), flags_.begin() + std::min<int64_t>(frames, static_cast<int64_t>(flags_.size())));
  origin_ += frames;
}

}  // namespace quorlin
