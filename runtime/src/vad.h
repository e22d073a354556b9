// Voice activity detection: which 10 ms frames of a 16 kHz stream hold speech, as
// quorlin.inference.vad finds them.
//
// - SileroVad runs the Silero VAD network (the TorchScript file that the silero-vad package
//   carries, loaded with LibTorch) over 32 ms chunks, with hysteresis; in runs of speech longer
//   than the longest training utterance only the frames of the voice in front count.
// - EnergyVad compares each frame's energy (its mean removed) with an absolute floor and with
//   the noise floor of the frames around it.
//
// Both answer with a delay, never depend on how the stream was cut into blocks, and hold a
// bounded number of samples. What they call speech must also pass a gate that leaves out long
// stretches well below the level of the recording's loud speech (talkers behind the voice).
#pragma once

#include <ATen/ATen.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace torch::jit {
struct Module;
}

namespace quorlin {

inline constexpr int64_t kVadFrame = 160;  // samples per 10 ms frame
// Frames of non-speech that make a pause; a shorter gap leaves speech on either side one run.
inline constexpr int64_t kMinPause = 10;

class SpeechDetector {
 public:
  virtual ~SpeechDetector() = default;
  // Takes the next samples (m,) and returns the flags (k,) bool of the frames decided since.
  virtual at::Tensor push(const at::Tensor& samples) = 0;
  // The flags of the remaining frames: ceil(samples / 160) flags in all.
  virtual at::Tensor finish() = 0;
};

// at::nanquantile(x.unfold(0, width, 1).narrow(0, start, count), q, 1), value for value: the
// q-quantile of the numbers of x (k,) float, NaNs left out, in each window of `width` numbers
// from start to start + count - 1 on. Every window holds a number.
at::Tensor sliding_nanquantile(const at::Tensor& x, int64_t width, int64_t start, int64_t count, double q);

// The Silero network, loaded once and run by one detector at a time.
class SileroNetwork {
 public:
  // Throws Error naming the file when it is not a TorchScript module.
  explicit SileroNetwork(const std::filesystem::path& file);
  ~SileroNetwork();
  // Speech probabilities (P, C) of P rows of C chunks of 512 samples (P, C, 512), each row run
  // from a fresh state.
  at::Tensor probabilities(const at::Tensor& chunks) const;

 private:
  std::unique_ptr<torch::jit::Module> module_;
  mutable std::mutex running_;
};

// A fresh detector by its name, "silero" or "energy", gated by level; for silero, runs of speech longer than
// `long_run` frames are looked into for the pauses of the voice in front.
std::unique_ptr<SpeechDetector> speech_detector(const std::string& name, const SileroNetwork& silero,
                                                int64_t long_run);

}  // namespace quorlin
