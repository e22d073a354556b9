#include "segmenter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "filter_banks.h"

namespace quorlin {
namespace {

constexpr int64_t kFrame = kSampleRate / 100;  // samples per 10 ms energy frame
constexpr int64_t kMinPause = 30;              // frames of silence that make a pause
constexpr int64_t kMargin = 20;                // frames of silence kept around speech
constexpr int64_t kLookahead = 50;             // frames seen past a window's end before it is cut
// Frame energies in dB relative to full scale: below kSilenceDb a frame is silent whatever the
// recording; above it, a histogram of every frame so far gives the noise floor (a low
// percentile) and the speech level (a high one).
constexpr double kSilenceDb = -80.0, kTopDb = 10.0, kBinDb = 0.5;
constexpr double kFloorQuantile = 0.05, kSpeechQuantile = 0.95;
// With less contrast than this between the two, every frame above kSilenceDb counts as speech.
constexpr double kMinContrastDb = 10.0;

// Where to end a segment that starts at frame 0: inside the first pause that allows a cut in
// (keep_off, max_frames]; none when there is none.
std::optional<int64_t> pause_cut(const std::vector<bool>& speech, int64_t keep_off, int64_t max_frames) {
  const auto n = static_cast<int64_t>(speech.size());
  for (int64_t a = 0; a < n;) {
    int64_t b = a;
    while (b < n && speech[b] == speech[a]) ++b;
    if (!speech[a] && b - a >= kMinPause) {
      const int64_t margin = std::min(kMargin, (b - a) / 2);
      const int64_t cut = std::max(a + margin, keep_off + 1);
      if (cut <= std::min(b - margin, max_frames)) return cut;
    }
    a = b;
  }
  return std::nullopt;
}

}  // namespace

std::vector<Word> keep_words(const AudioSegment& segment, const std::vector<Word>& words) {
  std::vector<Word> kept;
  for (const Word& word : words) {
    const double middle = (word.start + word.end) / 2;
    if (segment.keep_start <= middle && middle < segment.keep_end) kept.push_back(word);
  }
  return kept;
}

Segmenter::Segmenter(double max_seconds)
    : samples_(at::zeros({0})),
      energies_(at::zeros({0})),
      histogram_(at::zeros({static_cast<int64_t>(std::nearbyint((kTopDb - kSilenceDb) / kBinDb))}, at::kLong)) {
  if (!(max_seconds >= 1.0 && std::isfinite(max_seconds)))
    throw std::invalid_argument("max_seconds must be at least 1 and finite");
  const double overlap_seconds = std::min(3.0, max_seconds / 4);
  max_frames_ = static_cast<int64_t>(max_seconds * 100);
  overlap_ = static_cast<int64_t>(std::nearbyint(overlap_seconds * 100));
}

std::vector<AudioSegment> Segmenter::push(const at::Tensor& block) {
  samples_ = at::cat({samples_, block.to(at::kFloat)});
  add_energies(samples_.numel() / kFrame);
  return cut(false);
}

std::vector<AudioSegment> Segmenter::finish() {
  add_energies((samples_.numel() + kFrame - 1) / kFrame);
  return cut(true);
}

void Segmenter::add_energies(int64_t frames) {
  const int64_t done = energies_.numel();
  if (frames <= done) return;
  at::Tensor x = samples_.narrow(0, done * kFrame, std::min(frames * kFrame, samples_.numel()) - done * kFrame);
  at::Tensor counts = at::full({frames - done}, static_cast<float>(kFrame));
  counts[-1] = static_cast<float>(x.numel() - (frames - done - 1) * kFrame);  // the last frame may be partial
  x = at::constant_pad_nd(x, {0, (frames - done) * kFrame - x.numel()}, 0);
  const at::Tensor power = x.view({-1, kFrame}).square().sum(1) / counts;  // (frames,)
  energies_ = at::cat({energies_, (at::log10(power.to(at::kDouble) + 1e-12) * 10).to(at::kFloat)});
}

std::vector<bool> Segmenter::speech(int64_t frames) {
  const int64_t from = std::min(counted_ - origin_, frames);
  const at::Tensor db = energies_.narrow(0, from, frames - from);
  counted_ = std::max(counted_, origin_ + frames);
  const int64_t bins = histogram_.numel();
  const at::Tensor index = ((db.index({db >= kSilenceDb}) - kSilenceDb) / kBinDb).to(at::kLong).clamp_max(bins - 1);
  histogram_ += at::bincount(index, {}, bins);
  double threshold = kSilenceDb;
  const int64_t total = histogram_.sum().item<int64_t>();
  if (total) {
    const at::Tensor cumulative = at::cumsum(histogram_, 0);
    const double floor =
        kSilenceDb + kBinDb * at::searchsorted(cumulative, at::Scalar(kFloorQuantile * total)).item<int64_t>();
    const double level =
        kSilenceDb + kBinDb * at::searchsorted(cumulative, at::Scalar(kSpeechQuantile * total)).item<int64_t>();
    if (level - floor >= kMinContrastDb) threshold = floor + (level - floor) / 3;
  }
  const at::Tensor loud = (energies_.narrow(0, 0, frames) >= threshold).contiguous();
  const bool* values = loud.data_ptr<bool>();
  return std::vector<bool>(values, values + frames);
}

std::vector<AudioSegment> Segmenter::cut(bool final) {
  std::vector<AudioSegment> segments;
  while (energies_.numel()) {
    const int64_t frames = final ? energies_.numel() : max_frames_ + kLookahead;
    if (frames > energies_.numel()) break;
    const std::vector<bool> loud = speech(frames);
    const auto first = std::find(loud.begin(), loud.end(), true);
    const auto last = std::find(loud.rbegin(), loud.rend(), true);
    const bool found = first != loud.end();
    if (!keep_from_) {
      if (!found) {
        // Nothing said yet: hold only the margin before speech that may follow.
        drop(final ? frames : frames - kMargin);
        continue;
      }
      if (first - loud.begin() > kMargin) {
        drop((first - loud.begin()) - kMargin);
        continue;
      }
    }
    const int64_t keep_off = keep_from_ ? *keep_from_ - origin_ : 0;
    int64_t end = found ? static_cast<int64_t>(loud.rend() - last) + kMargin : 0;
    // A window that continues the last covers at least the overlap it shares with it.
    if (keep_from_) end = std::max(end, overlap_);
    if (const auto at = pause_cut(loud, keep_off, max_frames_)) {
      segments.push_back(emit(*at, keep_from_, std::nullopt));
      drop(*at);
      keep_from_.reset();
    } else if (final && std::min(end, frames) <= max_frames_) {
      segments.push_back(emit(std::min(end, frames), keep_from_, std::nullopt));
      drop(frames);
      keep_from_.reset();
      break;
    } else {
      const int64_t keep_end = origin_ + max_frames_ - overlap_ / 2;
      segments.push_back(emit(max_frames_, keep_from_, keep_end));
      drop(max_frames_ - overlap_);
      keep_from_ = keep_end;
    }
  }
  return segments;
}

AudioSegment Segmenter::emit(int64_t frames, std::optional<int64_t> keep_from, std::optional<int64_t> keep_to) const {
  const at::Tensor samples = samples_.narrow(0, 0, std::min(frames * kFrame, samples_.numel())).clone();
  const double start = static_cast<double>(origin_ * kFrame) / kSampleRate;
  const double end = static_cast<double>(origin_ * kFrame + samples.numel()) / kSampleRate;
  return {start, end, samples, keep_from ? static_cast<double>(*keep_from) / 100 : start,
          keep_to ? static_cast<double>(*keep_to) / 100 : end};
}

void Segmenter::drop(int64_t frames) {
  const int64_t samples = std::min(frames * kFrame, samples_.numel());
  samples_ = samples_.narrow(0, samples, samples_.numel() - samples);
  energies_ = energies_.narrow(0, frames, energies_.numel() - frames);
  origin_ += frames;
}

}  // namespace quorlin
