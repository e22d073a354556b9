// quorlin's C++ runtime: transcription with a folder written by `quorlin export`, without Python.
//
//     #include <quorlin/recognizer.h>
//
//     quorlin::Recognizer recognizer("demo-export");
//     quorlin::Transcript transcript = recognizer.transcribe_file("talk.flac", recognizer.default_search());
//     for (const quorlin::Segment& segment : transcript.segments)
//         std::printf("%8.2f %8.2f  %s\n", segment.start, segment.end, segment.text.c_str());
//
// A Recognizer computes what the Python recogniser (quorlin.inference.Recognizer) computes: a
// recording no longer than the longest training utterance is one segment; a longer one is read
// in blocks, resampled to 16 kHz and cut where a voice activity detector (the Silero network,
// run by LibTorch, or frame energies) finds pauses, into segments as long as the training
// utterances. Segments are searched in batches (greedy search, or beam search with the CTC
// head's prefix scores and an exported language model fused in), each for as many tokens as
// its own audio allows, so that a transcript never depends on the other segments of its batch;
// words are timed by a forced alignment on the CTC head. Link with libquorlin_runtime.so; this
// header needs C++17 and nothing of LibTorch.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorlin {

// Input that cannot be used as it stands (an export folder, an audio file, a setting); what()
// names the culprit, as the command prints it after "quorlin: error: ".
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One word and where it is spoken, in seconds from the start of the recording.
struct Word {
  double start = 0;
  double end = 0;
  std::string text;  // UTF-8
};

// A stretch of the recording transcribed as one piece; `words` is empty when no word times
// are known.
struct Segment {
  double start = 0;
  double end = 0;
  std::string text;
  std::vector<Word> words;
};

// The transcript of one recording: the texts of its segments joined by spaces. A recording
// that could not be transcribed has an empty text, no segments and its `error`.
struct Transcript {
  std::string id;
  std::string text;
  double duration = 0;  // seconds
  std::vector<Segment> segments;
  std::optional<std::string> error;
};

// A search setting: the beam width (1 is greedy search), the CTC head's weight in the joint
// score, in [0, 1], and the language model's weight in shallow fusion (used only when the
// export holds a language model).
struct Search {
  int beam_width = 1;
  double ctc_weight = 0;
  double lm_weight = 0;
};

// How recordings are transcribed beside the search.
struct Options {
  int batch_size = 16;         // segments searched together
  std::string vad = "silero";  // what finds the speech: "silero" or "energy"
};

class Recognizer {
 public:
  // Loads an export folder; throws Error naming the folder or file when it is not a complete
  // export of this format version, or when its parts disagree with its manifest.
  explicit Recognizer(const std::filesystem::path& export_folder);
  ~Recognizer();
  Recognizer(Recognizer&&) noexcept;
  Recognizer& operator=(Recognizer&&) noexcept;

  // The search the export was made with: the setting chosen on the dev set, else joint
  // CTC/attention beam search (beam 10, CTC weight 0.3) when the CTC head was trained, else
  // greedy search.
  Search default_search() const;

  // The default search with the given values replaced, checked; throws Error for a value out
  // of range, or a CTC weight for a recogniser trained without a CTC head.
  Search search(std::optional<int> beam_width, std::optional<double> ctc_weight,
                std::optional<double> lm_weight) const;

  // Transcribes an audio file (WAV, FLAC, Ogg, MP3, ...: what libsndfile reads, at 1 kHz to
  // 384 kHz; channels are averaged), read a block at a time. `id` is the transcript's id.
  // Throws Error naming the file when it cannot be read, holds NaN or infinite samples, or is
  // too short for the recogniser, and Error for an unknown detector.
  Transcript transcribe_file(const std::filesystem::path& path, const Search& search, const std::string& id,
                             const Options& options = {}) const;

  // Transcribes mono samples in [-1, 1] (peaks up to 2 pass) at `sample_rate` Hz; errors name `id`.
  Transcript transcribe(const std::vector<float>& samples, int sample_rate, const Search& search,
                        const std::string& id, const Options& options = {}) const;

  // Transcribes files one after another, searching the segments of all of them
  // `options.batch_size` at a time, and hands each transcript to `done` in input order as soon
  // as it is complete. A file that cannot be transcribed costs only its own transcript, which
  // carries the error. `inputs` are (id, path) pairs.
  void transcribe_files(const std::vector<std::pair<std::string, std::filesystem::path>>& inputs,
                        const Search& search, const Options& options,
                        const std::function<void(const Transcript&)>& done) const;

  // The longest segment the model takes, the longest training utterance (recordings up to it
  // are decoded whole), and the shortest recording it transcribes, in seconds.
  double max_segment_seconds() const;
  double longest_training_seconds() const;
  double min_seconds() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorlin
