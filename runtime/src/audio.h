// Audio read a block at a time: mono float32 samples at 16 kHz, however long the recording,
// as quorlin.inference.audio reads it. Files are decoded by libsndfile, the library that the
// soundfile wheel bundles and the Python recogniser reads with (WAV, FLAC, Ogg, Opus, MP3, ...).
#pragma once

#include <ATen/ATen.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quorlin {

class AudioSource {
 public:
  // A file, opened to read its header; throws Error naming it when it is no regular file,
  // cannot be read, has a sample rate outside 1 kHz to 384 kHz, is empty or is shorter than one
  // 25 ms window.
  static AudioSource file(const std::filesystem::path& path);
  // Mono samples in memory, in [-1, 1] (peaks up to 2 pass); errors name `id`.
  static AudioSource samples(const std::vector<float>& samples, int sample_rate, const std::string& id);

  double duration() const { return static_cast<double>(num_frames_) / sample_rate_; }
  const std::string& name() const { return name_; }

  // Hands consecutive mono blocks at 16 kHz, about `block_seconds` each, to `consume`.
  // Throws Error naming the recording when it holds NaN or infinite samples, cannot be read,
  // or holds fewer samples than its header says and less than one window.
  void blocks(double block_seconds, const std::function<void(const at::Tensor&)>& consume) const;

 private:
  AudioSource() = default;
  void check_length() const;
  void native_blocks(int64_t block_frames, const std::function<void(const at::Tensor&)>& consume) const;

  std::string name_;            // what errors call it: the file's path, or the id
  std::filesystem::path path_;  // empty for samples in memory
  const std::vector<float>* samples_ = nullptr;
  int sample_rate_ = 0;
  int64_t num_frames_ = 0;
};

}  // namespace quorlin
