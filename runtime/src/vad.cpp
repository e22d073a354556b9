#include "vad.h"

#include <torch/csrc/jit/api/module.h>
#include <torch/csrc/jit/serialization/import.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "quorlin/recognizer.h"
#include "text.h"

namespace quorlin {
namespace {

constexpr int64_t kSampleRate = 16000;

at::Tensor no_flags() { return at::zeros({0}, at::kBool); }

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

// The levels (k,) in dBFS of the frames of `samples` (k * 160,): each frame's power with its mean
// removed, so that a DC offset counts for nothing.
at::Tensor frame_levels(const at::Tensor& samples) {
  const at::Tensor frames = samples.view({-1, kVadFrame});  // (k * 160,) -> (k, 160)
  const at::Tensor power = (frames - frames.mean(1, true)).square().mean(1);  // (k,)
  return (at::log10(power.to(at::kDouble) + 1e-12) * 10).to(at::kFloat);
}

// Energy against an absolute floor and the local noise floor. A frame's level is the power of
// its samples after their mean is removed, in dB relative to full scale; the local noise floor
// is the 10th percentile of the levels of the frames within 2 s on either side. A frame is
// speech when its level is at least -55 dB and at least 9 dB above the local floor.
class EnergyVad : public SpeechDetector {
 public:
  explicit EnergyVad(double quantile = 0.1) : quantile_(quantile) {}

  at::Tensor push(const at::Tensor& samples) override {
    samples_ = at::cat({samples_, samples.to(at::kFloat)});
    const int64_t whole = samples_.numel() / kVadFrame;
    add_levels(samples_.narrow(0, 0, whole * kVadFrame));
    samples_ = samples_.narrow(0, whole * kVadFrame, samples_.numel() - whole * kVadFrame);
    return decide(first_ + levels_.numel() - kReach);
  }

  at::Tensor finish() override {
    if (samples_.numel()) {
      add_levels(at::constant_pad_nd(samples_, {0, kVadFrame - samples_.numel()}, 0));
      samples_ = at::zeros({0});
    }
    return decide(first_ + levels_.numel());
  }

 protected:
  static constexpr int64_t kReach = 200;  // frames on either side that set the local noise floor

  // Speech flags (k,) of frames of `levels` (k,) dB, each with the quantile of the levels of
  // its window (k,).
  virtual at::Tensor flags(const at::Tensor& levels, const at::Tensor& floor) const {
    return (levels >= -55.0).logical_and(levels >= floor + 9.0);
  }

 private:
  void add_levels(const at::Tensor& samples) { levels_ = at::cat({levels_, frame_levels(samples)}); }

  // Flags of frames decided_ to `end`, each against the floor of the frames held around it.
  at::Tensor decide(int64_t end) {
    if (end <= decided_) return no_flags();
    const int64_t start = decided_ - first_, stop = end - first_;
    const at::Tensor padded = at::constant_pad_nd(levels_, {kReach, kReach}, std::nan(""));
    at::Tensor out = flags(levels_.narrow(0, start, stop - start),
                           sliding_nanquantile(padded, 2 * kReach + 1, start, stop - start, quantile_));
    decided_ = end;
    const int64_t keep_from = std::max<int64_t>(0, decided_ - kReach - first_);
    levels_ = levels_.narrow(0, keep_from, levels_.numel() - keep_from);
    first_ += keep_from;
    return out;
  }

  double quantile_;                       // of the levels around a frame that flags() takes
  at::Tensor samples_ = at::zeros({0});  // not yet a whole frame
  at::Tensor levels_ = at::zeros({0});   // dB of the frames from first_ on
  int64_t first_ = 0, decided_ = 0;
};

// Frames no more than 15 dB below the loud frames around them (the 90th percentile of the
// levels within 2 s): the voice in front, not the talkers or noise well behind it.
class ForegroundGate : public EnergyVad {
 public:
  ForegroundGate() : EnergyVad(0.9) {}

 protected:
  at::Tensor flags(const at::Tensor& levels, const at::Tensor& loud) const override { return levels >= loud - 15.0; }
};

// Frames outside stretches well below the recording's loud speech. The loud speech's level, for
// each block of 100 frames, is the 95th percentile of the levels of the frames within 30 s of the
// block; a frame is left out when the 30 frames around it (15 before) have a mean power, each
// against its block's loud speech, 15 dB or more below it.
class LevelGate : public SpeechDetector {
 public:
  at::Tensor push(const at::Tensor& samples) override {
    samples_ = at::cat({samples_, samples.to(at::kFloat)});
    const int64_t whole = samples_.numel() / kVadFrame * kVadFrame;
    levels_ = at::cat({levels_, frame_levels(samples_.narrow(0, 0, whole))});
    samples_ = samples_.narrow(0, whole, samples_.numel() - whole);
    const int64_t known = first_ + levels_.numel();
    measure(floor_div(known - kReach, kStep) * kStep, known);
    return decide(measured_ - kQuietRun + 1);
  }

  at::Tensor finish() override {
    const at::Tensor rest = at::constant_pad_nd(samples_, {0, (kVadFrame - samples_.numel() % kVadFrame) % kVadFrame}, 0);
    levels_ = at::cat({levels_, frame_levels(rest)});
    samples_ = at::zeros({0});
    const int64_t known = first_ + levels_.numel();
    measure(known, known);
    return decide(known);
  }

 private:
  static constexpr double kDropDb = 15.0, kLoudQuantile = 0.95;
  static constexpr int64_t kReach = 3000, kStep = 100, kQuietRun = 30;

  // The relative power of frames measured_ to `end`, with the levels of frames up to `known`.
  void measure(int64_t end, int64_t known) {
    for (int64_t block = measured_; block < end; block += kStep) {
      const int64_t stop = std::min(block + kStep, end);
      const int64_t from = std::max<int64_t>(0, block - kReach) - first_, to = std::min(known, stop + kReach) - first_;
      const at::Tensor loud = at::quantile(levels_.narrow(0, from, to - from), kLoudQuantile);
      const at::Tensor relative = at::pow(10.0, (levels_.narrow(0, block - first_, stop - block) - loud) / 10);
      relative_ = at::cat({relative_, relative});
    }
    measured_ = std::max(measured_, end);
    const int64_t keep_from = std::max<int64_t>(0, measured_ - kReach - first_);
    levels_ = levels_.narrow(0, keep_from, levels_.numel() - keep_from);
    first_ += keep_from;
  }

  // Flags of frames decided_ to `end`: those in the middle of no quiet run.
  at::Tensor decide(int64_t end) {
    if (end <= decided_) return no_flags();
    const int64_t held = decided_ - (measured_ - relative_.numel());  // frames held before decided_
    // Frames outside the recording count as silence.
    const at::Tensor padded = at::constant_pad_nd(relative_, {kQuietRun - 1 - held, kQuietRun - 1}, 0);
    const at::Tensor quiet = padded.unfold(0, kQuietRun, 1).mean(1) <= std::pow(10.0, -kDropDb / 10);
    // Frame f is left out when the run from f - kQuietRun / 2 on is quiet.
    const at::Tensor left_out = quiet.narrow(0, kQuietRun - 1 - kQuietRun / 2, end - decided_);
    decided_ = end;
    const int64_t keep = std::min(relative_.numel(), measured_ - end + kQuietRun - 1);
    relative_ = relative_.narrow(0, relative_.numel() - keep, keep);
    return left_out.logical_not();
  }

  at::Tensor samples_ = at::zeros({0});   // not yet a whole frame
  at::Tensor levels_ = at::zeros({0});    // dB of the frames from first_ on
  at::Tensor relative_ = at::zeros({0});  // power against the loud speech, from decided_ - kQuietRun + 1 on
  int64_t first_ = 0, measured_ = 0, decided_ = 0;
};

// The frames that both a detector and a LevelGate call speech.
class Gated : public SpeechDetector {
 public:
  explicit Gated(std::unique_ptr<SpeechDetector> detector) : detector_(std::move(detector)) {}

  at::Tensor push(const at::Tensor& samples) override {
    return both(detector_->push(samples), gate_.push(samples));
  }

  at::Tensor finish() override { return both(detector_->finish(), gate_.finish()); }

 private:
  at::Tensor both(const at::Tensor& speech, const at::Tensor& loud) {
    waiting_[0] = at::cat({waiting_[0], speech});
    waiting_[1] = at::cat({waiting_[1], loud});
    const int64_t decided = std::min(waiting_[0].numel(), waiting_[1].numel());
    const at::Tensor out = waiting_[0].narrow(0, 0, decided).logical_and(waiting_[1].narrow(0, 0, decided));
    for (at::Tensor& w : waiting_) w = w.narrow(0, decided, w.numel() - decided);
    return out;
  }

  std::unique_ptr<SpeechDetector> detector_;
  LevelGate gate_;
  at::Tensor waiting_[2] = {no_flags(), no_flags()};  // decided by one only
};

// The Silero VAD's speech probabilities with hysteresis: a run of speech starts at a chunk of
// probability 0.5 or more and lasts while the probability stays at 0.35 or more. The stream is
// read in pieces of 128 chunks at fixed positions, each after 16 chunks of the audio before it
// with the network's state reset, 16 pieces at a time; pieces whose every sample lies below
// -80 dBFS are not run.
class SileroVad : public SpeechDetector {
 public:
  SileroVad(const SileroNetwork& network, int64_t long_run) : network_(network), long_run_(long_run) {}

  at::Tensor push(const at::Tensor& samples) override {
    const at::Tensor x = samples.to(at::kFloat);
    samples_ = at::cat({samples_, x});
    total_ += x.numel();
    while (samples_.numel() - kWarmUp * kChunk >= kPiece * kBatch * kChunk) run(kBatch);
    // Frame f is read by the chunk that holds its middle sample.
    const at::Tensor network = frames(floor_div(done_ * kChunk - kVadFrame / 2 - 1, kVadFrame) + 1);
    return both(network, gate_.push(x), false);
  }

  at::Tensor finish() override {
    const int64_t left = samples_.numel() - kWarmUp * kChunk;
    const int64_t frame_count = ceil_div(total_, kVadFrame);
    // The middle sample of a last, partial frame may lie past the last sample: its chunk is run too.
    const int64_t needed = floor_div((frame_count - 1) * kVadFrame + kVadFrame / 2, kChunk) + 1 - done_;
    const int64_t pieces = std::max(ceil_div(left, kPiece * kChunk), ceil_div(needed, kPiece));
    if (pieces > 0) {
      samples_ = at::constant_pad_nd(samples_, {0, pieces * kPiece * kChunk - left}, 0);
      run(pieces);
    }
    const at::Tensor network = frames(frame_count);
    return both(network, gate_.finish(), true);
  }

 private:
  static constexpr double kThreshold = 0.5;
  static constexpr int64_t kChunk = 512, kPiece = 128, kWarmUp = 16, kBatch = 16;
  static constexpr double kSilent = 1e-4;  // -80 dBFS

  // The network's flags of the frames both it and the gate have decided, gated in runs of
  // speech longer than long_run_; frames of a run not yet known to be short or long wait.
  at::Tensor both(const at::Tensor& network, const at::Tensor& gate, bool final) {
    waiting_[0] = at::cat({waiting_[0], network});
    waiting_[1] = at::cat({waiting_[1], gate});
    const int64_t decided = std::min(waiting_[0].numel(), waiting_[1].numel());
    for (int k = 0; k < 2; ++k) {
      held_[k] = at::cat({held_[k], waiting_[k].narrow(0, 0, decided)});
      waiting_[k] = waiting_[k].narrow(0, decided, waiting_[k].numel() - decided);
    }
    std::vector<at::Tensor> out;
    while (held_[0].numel()) {
      const at::Tensor speech = held_[0].contiguous();
      const bool* flags = speech.data_ptr<bool>();
      const int64_t n = speech.numel();
      int64_t end = 0;
      if (!flags[0]) {  // non-speech up to the next run
        while (end < n && !flags[end]) ++end;
        quiet_ += end;
        long_run_on_ = long_run_on_ && quiet_ < kMinPause;
        out.push_back(speech.narrow(0, 0, end));
      } else {  // a run of speech, with gaps shorter than a pause in it
        int64_t gap = 0, known = 0;  // known: past the run's last speech frame so far
        for (; end < n && gap < kMinPause; ++end) {
          if (flags[end]) {
            gap = 0;
            known = end + 1;
          } else {
            ++gap;
          }
        }
        const bool open = gap < kMinPause;  // no pause in sight: the run may go on
        if (!open) end = known;  // the pause starts here
        long_run_on_ = long_run_on_ || known > long_run_;
        if (open && !(final || long_run_on_)) break;  // not yet known whether this run is long
        const at::Tensor run = speech.narrow(0, 0, end);
        out.push_back(long_run_on_ ? run.logical_and(held_[1].narrow(0, 0, end)) : run);
        quiet_ = end - known;  // the gap it ends with, if any
      }
      for (at::Tensor& h : held_) h = h.narrow(0, end, h.numel() - end);
    }
    return out.empty() ? no_flags() : at::cat(out);
  }

  // Runs the next `pieces` pieces together and flags their chunks.
  void run(int64_t pieces) {
    const int64_t length = (kWarmUp + kPiece) * kChunk, step = kPiece * kChunk;
    const at::Tensor rows = samples_.unfold(0, length, step).narrow(0, 0, pieces);  // (pieces, length)
    at::Tensor probabilities = at::zeros({pieces, kPiece});
    const at::Tensor loud = rows.narrow(1, kWarmUp * kChunk, kPiece * kChunk).abs().amax(1) >= kSilent;  // (pieces,)
    if (loud.any().item<bool>()) {
      const at::Tensor chunks = rows.index({loud}).view({-1, kWarmUp + kPiece, kChunk});  // (P', 144, 512)
      probabilities.index_put_({loud}, network_.probabilities(chunks).narrow(1, kWarmUp, kPiece));
    }
    const at::Tensor values = probabilities.flatten().contiguous();
    const float* p = values.data_ptr<float>();
    at::Tensor flags = at::empty({values.numel()}, at::kBool);
    bool* f = flags.data_ptr<bool>();
    for (int64_t i = 0; i < values.numel(); ++i) {
      const double probability = p[i];
      speaking_ = probability >= kThreshold || (speaking_ && probability >= kThreshold - 0.15);
      f[i] = speaking_;
    }
    chunk_flags_ = at::cat({chunk_flags_, flags});
    samples_ = samples_.narrow(0, pieces * step, samples_.numel() - pieces * step);
    done_ += pieces * kPiece;
  }

  // Flags of the frames not yet given, up to `end`.
  at::Tensor frames(int64_t end) {
    if (end <= frames_given_) return no_flags();
    const at::Tensor chunk = (at::arange(frames_given_, end, at::kLong) * kVadFrame + kVadFrame / 2).div(kChunk, "floor");
    const at::Tensor flags = chunk_flags_.index_select(0, chunk - flags_from_);
    frames_given_ = end;
    // The chunks no later frame reads are let go.
    const int64_t keep_from =
        std::min(floor_div(end * kVadFrame + kVadFrame / 2, kChunk), flags_from_ + chunk_flags_.numel());
    chunk_flags_ = chunk_flags_.narrow(0, keep_from - flags_from_, chunk_flags_.numel() - (keep_from - flags_from_));
    flags_from_ = keep_from;
    return flags;
  }

  const SileroNetwork& network_;
  ForegroundGate gate_;
  int64_t long_run_;
  bool long_run_on_ = false;
  int64_t quiet_ = 0;  // frames of non-speech given since the last speech frame
  // Flags of the network and of the gate: decided by one only, and held until a run's length is known.
  at::Tensor waiting_[2] = {no_flags(), no_flags()};
  at::Tensor held_[2] = {no_flags(), no_flags()};
  at::Tensor samples_ = at::zeros({kWarmUp * kChunk});  // from chunk done_ - kWarmUp on
  int64_t done_ = 0, total_ = 0;                         // chunks run, samples pushed
  bool speaking_ = false;
  at::Tensor chunk_flags_ = no_flags();  // of chunks from flags_from_ on
  int64_t flags_from_ = 0, frames_given_ = 0;
};

}  // namespace

// Each window's numbers are kept sorted as it slides, where the tensor form sorts every window
// anew.
at::Tensor sliding_nanquantile(const at::Tensor& x, int64_t width, int64_t start, int64_t count, double q) {
  const at::Tensor values = x.contiguous();
  const float* v = values.const_data_ptr<float>();
  at::Tensor out = at::empty({count}, at::kFloat);
  float* o = out.mutable_data_ptr<float>();
  std::vector<float> sorted;
  const auto add = [&](float a) {
    if (!std::isnan(a)) sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), a), a);
  };
  for (int64_t i = start; i < start + width - 1; ++i) add(v[i]);
  // The rank as PyTorch takes it: q in the tensor's precision, the product in double.
  const double q_held = static_cast<float>(q);
  for (int64_t k = 0; k < count; ++k) {
    add(v[start + k + width - 1]);
    const double rank = q_held * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<size_t>(std::floor(rank)), above = static_cast<size_t>(std::ceil(rank));
    // at::lerp in single precision: the weight and the gap rounded, then one fused multiply-add
    // from the nearer end.
    const float low = sorted[below], high = sorted[above], gap = high - low;
    const auto weight = static_cast<float>(rank - std::floor(rank));
    o[k] = weight < 0.5f ? std::fma(weight, gap, low) : std::fma(-gap, 1.0f - weight, high);
    const float first = v[start + k];
    if (!std::isnan(first)) sorted.erase(std::lower_bound(sorted.begin(), sorted.end(), first));
  }
  return out;
}

SileroNetwork::SileroNetwork(const std::filesystem::path& file) {
  try {
    module_ = std::make_unique<torch::jit::Module>(torch::jit::load(file.string()));
    module_->eval();
  } catch (const std::exception& error) {
    const std::string what = error.what();
    throw Error(file.string() + " is not a readable Silero VAD network: " + what.substr(0, what.find('\n')));
  }
}

SileroNetwork::~SileroNetwork() = default;

at::Tensor SileroNetwork::probabilities(const at::Tensor& chunks) const {
  std::lock_guard<std::mutex> lock(running_);
  module_->run_method("reset_states");
  std::vector<at::Tensor> out;
  for (int64_t c = 0; c < chunks.size(1); ++c)
    out.push_back(module_->forward({chunks.select(1, c), kSampleRate}).toTensor().select(1, 0));
  return at::stack(out, 1);  // (P, C)
}

std::unique_ptr<SpeechDetector> speech_detector(const std::string& name, const SileroNetwork& silero,
                                                int64_t long_run) {
  if (name == "silero") return std::make_unique<Gated>(std::make_unique<SileroVad>(silero, long_run));
  if (name == "energy") return std::make_unique<Gated>(std::make_unique<EnergyVad>());
  throw Error("unknown voice activity detector " + python_repr(name) + ": give one of silero, energy");
}

}  // namespace quorlin
