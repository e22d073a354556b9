#include "audio.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "quorlin/recognizer.h"
#include "filter_banks.h"
#include "resampler.h"
#include "text.h"

// The part of libsndfile's C interface that reading needs (its ABI is stable since 1.0).
extern "C" {
typedef int64_t sf_count_t;
struct SF_INFO {
  sf_count_t frames;
  int samplerate, channels, format, sections, seekable;
};
struct SNDFILE_tag;
SNDFILE_tag* sf_open(const char* path, int mode, SF_INFO* info);
int sf_close(SNDFILE_tag* file);
sf_count_t sf_readf_float(SNDFILE_tag* file, float* frames, sf_count_t count);
int sf_error(SNDFILE_tag* file);
const char* sf_error_number(int error);
}

namespace quorlin {
namespace {

constexpr int kReadMode = 0x10;  // SFM_READ
constexpr double kWindowSeconds = 0.025;
constexpr int kMinRate = 1000, kMaxRate = 384000;
// Float samples may overshoot full scale a little (a resampled or mixed recording); far beyond
// it they are integers in float clothing.
constexpr double kMaxFloatPeak = 2.0;

std::string cannot_read(const std::string& name, const std::string& reason) {
  return name + ": cannot read audio: " + reason;
}

std::string format_seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

class SoundFile {
 public:
  SoundFile(const std::string& path, SF_INFO& info) : file_(sf_open(path.c_str(), kReadMode, &info)) {
    if (!file_)
      throw Error(cannot_read(path, "Error opening " + python_repr(path) + ": " + sf_error_number(sf_error(nullptr))));
  }
  ~SoundFile() { sf_close(file_); }
  SoundFile(const SoundFile&) = delete;
  SoundFile& operator=(const SoundFile&) = delete;
  SNDFILE_tag* get() const { return file_; }

 private:
  SNDFILE_tag* file_;
};

int checked_rate(int rate, const std::string& name) {
  if (rate < kMinRate || rate > kMaxRate)
    throw Error(name + ": a sample rate of " + std::to_string(rate) + " Hz is outside " + std::to_string(kMinRate) +
                " to " + std::to_string(kMaxRate) + " Hz");
  return rate;
}

// Why `path` cannot be read as a file's contents, or "" when it can; a FIFO would block the reader.
std::string regular_file_problem(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return errno == ENOENT ? "no such file" : std::strerror(errno);
  return S_ISREG(info.st_mode) ? "" : "not a regular file (a folder, FIFO or device)";
}

}  // namespace

AudioSource AudioSource::file(const std::filesystem::path& path) {
  AudioSource source;
  source.name_ = source.path_ = path.string();
  if (const std::string problem = regular_file_problem(source.name_); !problem.empty())
    throw Error(cannot_read(source.name_, problem));
  SF_INFO info{};
  SoundFile file(source.name_, info);
  source.sample_rate_ = checked_rate(info.samplerate, source.name_);
  source.num_frames_ = info.frames;
  source.check_length();
  return source;
}

AudioSource AudioSource::samples(const std::vector<float>& samples, int sample_rate, const std::string& id) {
  AudioSource source;
  source.name_ = id;
  source.samples_ = &samples;
  source.sample_rate_ = checked_rate(sample_rate, id);
  source.num_frames_ = static_cast<int64_t>(samples.size());
  double peak = 0;
  for (float sample : samples) {
    if (!std::isfinite(sample)) throw Error(id + ": audio holds NaN or infinite samples");
    peak = std::max(peak, static_cast<double>(std::fabs(sample)));
  }
  if (peak > kMaxFloatPeak) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", peak);
    throw Error(id + ": float samples must lie in [-1, 1], got a peak of " + text + "; divide int16 samples by 32768");
  }
  source.check_length();
  return source;
}

void AudioSource::check_length() const {
  if (num_frames_ == 0) throw Error(name_ + ": audio is empty");
  if (static_cast<double>(num_frames_) < kWindowSeconds * sample_rate_)
    throw Error(name_ + ": audio is shorter than one 25 ms window");
}

void AudioSource::blocks(double block_seconds, const std::function<void(const at::Tensor&)>& consume) const {
  StreamingResampler resampler(sample_rate_, kSampleRate);
  const auto block_frames = std::max<int64_t>(1, static_cast<int64_t>(std::nearbyint(block_seconds * sample_rate_)));
  native_blocks(block_frames, [&](const at::Tensor& chunk) {
    const at::Tensor out = resampler.push(chunk);
    if (out.numel()) consume(out);
  });
  const at::Tensor out = resampler.flush();
  if (out.numel()) consume(out);
}

void AudioSource::native_blocks(int64_t block_frames, const std::function<void(const at::Tensor&)>& consume) const {
  if (samples_) {
    const at::Tensor all = at::from_blob(const_cast<float*>(samples_->data()), {num_frames_}, at::kFloat);
    for (int64_t start = 0; start < num_frames_; start += block_frames)
      consume(all.narrow(0, start, std::min(block_frames, num_frames_ - start)).clone());
    return;
  }
  SF_INFO info{};
  SoundFile file(name_, info);
  const int channels = info.channels;
  std::vector<float> interleaved;
  int64_t total = 0;
  while (true) {
    const int64_t wanted = std::min(block_frames, info.frames - total);
    if (wanted <= 0) break;
    interleaved.resize(static_cast<size_t>(wanted * channels));
    const sf_count_t read = sf_readf_float(file.get(), interleaved.data(), wanted);
    if (const int error = sf_error(file.get())) throw Error(cannot_read(name_, sf_error_number(error)));
    if (read <= 0) break;
    at::Tensor mono = at::empty({read}, at::kFloat);
    float* out = mono.data_ptr<float>();
    for (sf_count_t i = 0; i < read; ++i) {
      float sum = interleaved[static_cast<size_t>(i * channels)];
      for (int c = 1; c < channels; ++c) sum += interleaved[static_cast<size_t>(i * channels + c)];
      out[i] = sum / static_cast<float>(channels);
      if (!std::isfinite(out[i]))
        throw Error(name_ + ": audio holds NaN or infinite samples (at " +
                    format_seconds(static_cast<double>(total + i) / sample_rate_) + " s)");
    }
    total += read;
    consume(mono);
  }
  if (static_cast<double>(total) < kWindowSeconds * sample_rate_)
    throw Error(name_ + ": audio holds " + std::to_string(total) + " samples, fewer than one 25 ms window");
}

}  // namespace quorlin
