// The pipeline of quorlin.inference.Recognizer: blocks, speech detection, segments, filter
// banks, the encoder, searches of batches of segments, the hypotheses, word times, the
// transcripts in input order.
#include "quorlin/recognizer.h"

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <iterator>

#include "alignment.h"
#include "audio.h"
#include "ctc_speech.h"
#include "filter_banks.h"
#include "json.h"
#include "manifest.h"
#include "model_parts.h"
#include "scorers.h"
#include "searches.h"
#include "segmenter.h"
#include "text.h"
#include "vad.h"
#include "vocabulary.h"

namespace quorlin {
namespace {

constexpr double kBlockSeconds = 30.0;
// Segments wait until this many batches' worth are found, and are then searched in batches of
// about the same length: a batch is padded to its longest segment and searched until its last
// row ends. The longest go first, so that the later batches reuse the memory of the first.
constexpr int kPooledBatches = 4;
constexpr int kMaxBeamWidth = 256;
constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();

std::string milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", seconds * 1000);
  return text;
}

std::string join(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += (out.empty() ? "" : " ") + text;
  return out;
}

// One input's progress: its segments as they are recognised.
struct Job {
  Transcript transcript;
  std::vector<std::pair<double, Segment>> segments;  // (where its audio starts, what was recognised)
  int waiting = 0;
  bool read = false;
};

// An input: its id and how to open it.
struct Input {
  std::string id;
  std::function<AudioSource()> open;
};

// What a search recognised in one segment: its labels (special ids dropped).
using Labels = std::vector<int64_t>;

// The labels of a searched row (start id first) up to its end id, without special ids.
Labels labels_of(const at::Tensor& row, const Vocabulary& vocabulary) {
  const at::Tensor values = row.contiguous();
  const int64_t* ids = values.data_ptr<int64_t>();
  Labels labels;
  for (int64_t i = 0; i < values.numel() && ids[i] != vocabulary.eos_id; ++i)
    if (ids[i] != vocabulary.pad_id && ids[i] != vocabulary.sos_id) labels.push_back(ids[i]);
  return labels;
}

bool holds_end(const at::Tensor& row, const Vocabulary& vocabulary) {
  return (row == vocabulary.eos_id).any().item<bool>();
}

// The fewest frames a CTC head needs to read `labels` and the end id after them: one per
// label, and a blank between two equal labels.
int64_t ctc_frames_needed(const Labels& labels) {
  int64_t needed = static_cast<int64_t>(labels.size()) + 1;
  for (size_t i = 1; i < labels.size(); ++i) needed += labels[i] == labels[i - 1];
  return needed;
}

// The labels of the CTC head's most likely frame-by-frame reading (S, V) of one segment: the
// best token of every frame, repeats merged, blanks dropped, up to the end id.
Labels ctc_best_path(const at::Tensor& log_probs, const Vocabulary& vocabulary) {
  const at::Tensor best = log_probs.argmax(-1).contiguous();
  const int64_t* ids = best.data_ptr<int64_t>();
  Labels labels;
  for (int64_t t = 0; t < best.numel(); ++t) {
    if (t > 0 && ids[t] == ids[t - 1]) continue;
    if (ids[t] == vocabulary.eos_id) break;
    if (ids[t] != vocabulary.pad_id && ids[t] != vocabulary.sos_id) labels.push_back(ids[t]);
  }
  return labels;
}

}  // namespace

struct Recognizer::Impl {
  Manifest manifest;
  EncoderPart encoder;
  DecoderPart decoder;
  std::unique_ptr<LanguageModelPart> lm;
  SileroNetwork silero;
  SegmentLengths lengths;
  at::Tensor letters;  // (V,) bool: which ids are letters (not blank, start, end or a space)

  explicit Impl(const std::filesystem::path& folder)
      : manifest(read_manifest(folder)),
        encoder(manifest.parts.at("encoder"), "encoder", manifest.export_id),
        decoder(manifest.parts.at("decoder"), "decoder", manifest.export_id),
        silero(manifest.silero),
        lengths(manifest.segments.train_durations, manifest.segments.max_seconds) {
    if (manifest.parts.count("lm"))
      lm = std::make_unique<LanguageModelPart>(manifest.parts.at("lm"), "lm", manifest.export_id);
    check_sizes();
    std::vector<uint8_t> is_letter;
    for (const std::string& piece : manifest.vocabulary.pieces) is_letter.push_back(!is_blank(piece));
    letters = at::tensor(is_letter, at::kByte).to(at::kBool);
  }

  // A fresh detector for a recording of `duration` seconds: the `vad` one, narrowed to the
  // letters the CTC head reads (CtcSpeech) for a recording longer than the longest training
  // utterance when the head was trained.
  std::unique_ptr<SpeechDetector> detector_for(const std::string& vad, double duration) const {
    const auto longest = static_cast<int64_t>(std::nearbyint(lengths.longest() * 100));
    std::unique_ptr<SpeechDetector> detector = speech_detector(vad, silero, longest);
    if (!manifest.ctc_trained || duration <= lengths.longest()) return detector;  // decoded whole
    return std::make_unique<CtcSpeech>(
        std::move(detector), [this](const at::Tensor& samples) { return letter_times(samples); },
        std::max<int64_t>(longest, 100));
  }

  // Where in `samples` (m,) the CTC head reads a letter: the centres (n,) in seconds of the
  // encoder frames whose most likely label is neither blank nor a space.
  at::Tensor letter_times(const at::Tensor& samples) const {
    const EncoderPart::Output encoded =
        encoder.run(normalised(filter_banks(samples, manifest.features.num_mel_bins), manifest.features));
    const at::Tensor frames = at::nonzero(letters.index_select(0, encoded.log_probs.argmax(-1))).flatten();  // (n,)
    const WordTimes& times = manifest.word_times;
    return (frames.to(at::kDouble) + 0.5) * times.frame_seconds + times.shift_seconds;
  }

  // The manifest's vocabulary and features against the sizes the parts were compiled for.
  void check_sizes() const {
    const std::string file = manifest.file.string();
    const auto pieces = static_cast<int64_t>(manifest.vocabulary.pieces.size());
    for (const ModelPart* part : std::initializer_list<const ModelPart*>{&encoder, &decoder, lm.get()}) {
      if (part && part->sizes().vocab_size != pieces)
        throw Error(file + ": the vocabulary has " + std::to_string(pieces) + " tokens, but the model in " +
                    part->file().filename().string() + " has " + std::to_string(part->sizes().vocab_size));
    }
    if (encoder.sizes().num_mel_bins != manifest.features.num_mel_bins)
      throw Error(file + ": features.num_mel_bins is " + std::to_string(manifest.features.num_mel_bins) +
                  ", but the encoder takes " + std::to_string(encoder.sizes().num_mel_bins));
    const PartSizes& e = encoder.sizes();
    const PartSizes& d = decoder.sizes();
    if (e.layers != d.layers || e.num_heads != d.num_heads || e.head_dim != d.head_dim || e.max_len != d.max_len)
      throw Error(decoder.file().string() + " does not fit " + encoder.file().string() + ": their layers differ");
  }

  // Transcribes the inputs in order (quorlin.inference.Recognizer.transcribe_iter): segments
  // of all inputs wait for four batches' worth, which are searched longest first; a transcript
  // is handed on once its input is read and its segments recognised. An input that cannot be
  // read gets its error, or throws it when `skip_errors` is false.
  void run(const std::vector<Input>& inputs, const Search& search, const Options& options, bool skip_errors,
           const std::function<void(const Transcript&)>& done) const {
    if (options.batch_size < 1)
      throw Error("batch_size must be an integer >= 1, got " + std::to_string(options.batch_size));
    // An unknown detector stops here, before any input is read.
    speech_detector(options.vad, silero, 1);
    c10::InferenceMode inference;
    std::deque<Job> jobs;
    std::vector<std::pair<Job*, AudioSegment>> pending;
    const auto finished = [&] {
      while (!jobs.empty() && jobs.front().read && jobs.front().waiting == 0) {
        Job& job = jobs.front();
        if (!job.transcript.error) {
          std::stable_sort(job.segments.begin(), job.segments.end(),
                           [](const auto& a, const auto& b) { return a.first < b.first; });
          std::vector<std::string> texts;
          for (auto& [audio_start, segment] : job.segments) {
            if (segment.text.empty()) continue;
            texts.push_back(segment.text);
            job.transcript.segments.push_back(std::move(segment));
          }
          job.transcript.text = join(texts);
        }
        done(job.transcript);
        jobs.pop_front();
      }
    };
    const double min_seconds = manifest.segments.min_seconds;
    for (const Input& input : inputs) {
      Job& job = jobs.emplace_back();
      job.transcript.id = input.id;
      try {
        const AudioSource source = input.open();
        job.transcript.duration = source.duration();
        if (source.duration() < min_seconds)
          throw Error(source.name() + ": " + milliseconds(source.duration()) + " ms of audio is too short for the " +
                      "recogniser, which needs at least " + milliseconds(min_seconds) + " ms");
        // The CTC head's word times tell which words are a segment's own in the context of its cuts.
        Segmenter segmenter(lengths, detector_for(options.vad, source.duration()), source.duration(),
                            manifest.ctc_trained);
        const auto take = [&](std::vector<AudioSegment> segments) {
          for (AudioSegment& segment : segments) {
            if (segment.end - segment.start < min_seconds) continue;  // a blip between pauses, too short to hold a word
            pending.emplace_back(&job, std::move(segment));
            ++job.waiting;
            if (static_cast<int>(pending.size()) == options.batch_size * kPooledBatches) {
              recognise_pool(pending, search, options.batch_size);
              pending.clear();
              finished();
            }
          }
        };
        source.blocks(kBlockSeconds, [&](const at::Tensor& block) { take(segmenter.push(block)); });
        take(segmenter.finish());
      } catch (const Error& error) {
        if (!skip_errors) throw;
        job.transcript.error = error.what();
        std::erase_if(pending, [&](const auto& item) { return item.first == &job; });
        job.waiting = 0;
      }
      job.read = true;
      finished();
    }
    recognise_pool(pending, search, options.batch_size);
    finished();
  }

  // Recognises the pending segments in batches of `batch_size`, longest first.
  void recognise_pool(std::vector<std::pair<Job*, AudioSegment>>& pending, const Search& search,
                      int batch_size) const {
    std::stable_sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) {
      return a.second.samples.numel() > b.second.samples.numel();
    });
    for (auto first = pending.begin(); first != pending.end();) {
      const auto last = first + std::min<std::ptrdiff_t>(batch_size, pending.end() - first);
      // Moved out: `pending` is cleared after the pool.
      recognise({std::make_move_iterator(first), std::make_move_iterator(last)}, search);
      first = last;
    }
  }

  // Recognises the pending segments as one batch and files each one's words with its input.
  void recognise(const std::vector<std::pair<Job*, AudioSegment>>& pending, const Search& search) const {
    std::vector<EncoderPart::Output> encoded;
    for (const auto& [job, segment] : pending)
      encoded.push_back(encoder.run(normalised(filter_banks(segment.samples, manifest.features.num_mel_bins),
                                               manifest.features)));  // (T, F) -> (S, V), (L, 2, h, S, dh)
    const std::vector<Labels> labels = decode_labels(encoded, search);
    const WordTimes& times = manifest.word_times;
    for (size_t i = 0; i < pending.size(); ++i) {
      auto& [job, segment] = pending[i];
      std::string text = to_utf8(decode(manifest.vocabulary, labels[i]));
      std::vector<Word> words;
      if (manifest.ctc_trained) {
        for (Word& word : align_words(encoded[i].log_probs, labels[i], manifest.vocabulary, times.frame_seconds,
                                      segment.start + times.shift_seconds))
          words.push_back({std::max(word.start, segment.start), std::min(word.end, segment.end), word.text});
      } else {
        words = spread_words(split_words(text), segment.start, segment.end);
      }
      std::vector<Word> kept = keep_words(segment, words);
      if (kept.size() != words.size()) {
        std::vector<std::string> texts;
        for (const Word& word : kept) texts.push_back(word.text);
        text = join(texts);
      }
      const double start = kept.empty() ? segment.keep_start : kept.front().start;
      const double end = kept.empty() ? segment.keep_end : kept.back().end;
      job->segments.push_back({segment.start, {start, end, text, std::move(kept)}});
      --job->waiting;
    }
  }

  // The search of a batch of segments (quorlin.decoding.recognition.recognize_batch): each
  // segment is searched for at most its positions + 2 tokens, as every label needs a position
  // under CTC. The first of its beams that ended with a finite score and, with a trained CTC
  // head, that the head can align is its hypothesis; else the head's best path (or, without
  // one, the best beam).
  std::vector<Labels> decode_labels(const std::vector<EncoderPart::Output>& encoded, const Search& search) const {
    const auto N = static_cast<int64_t>(encoded.size());
    int64_t longest = 0;
    std::vector<int64_t> positions, max_lengths;
    for (const auto& segment : encoded) {
      positions.push_back(segment.log_probs.size(0));
      max_lengths.push_back(std::max<int64_t>(2, std::min(decoder.sizes().max_len, positions.back() + 2)));
      longest = std::max(longest, positions.back());
    }
    // The segments padded to the longest, as the Python recogniser pads a batch.
    const at::Tensor& first = encoded.front().memory;  // (L, 2, h, S, dh)
    at::Tensor memory = at::zeros({first.size(0), 2, N, first.size(2), longest, first.size(4)});
    at::Tensor log_probs = at::zeros({longest, N, encoded.front().log_probs.size(1)});
    for (int64_t n = 0; n < N; ++n) {
      memory.select(2, n).narrow(3, 0, positions[n]).copy_(encoded[n].memory);
      log_probs.select(1, n).narrow(0, 0, positions[n]).copy_(encoded[n].log_probs);
    }
    const at::Tensor lengths_tensor = at::tensor(positions, at::kLong);
    std::unique_ptr<Scorer> scorer = std::make_unique<RecognizerScorer>(decoder, memory, lengths_tensor);
    if (search.ctc_weight > 0) {
      std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts;
      parts.emplace_back(std::move(scorer), 1.0 - search.ctc_weight);
      parts.emplace_back(std::make_unique<CtcPrefixScorer>(log_probs, lengths_tensor, manifest.vocabulary.pad_id,
                                                           manifest.vocabulary.eos_id),
                         search.ctc_weight);
      scorer = std::make_unique<WeightedSumScorer>(std::move(parts), true);
    }
    if (lm && search.lm_weight != 0) {  // a language model weighted by 0 would run for nothing
      // Fusion adds the LM's log-probabilities to the recogniser's scores as they are.
      std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts;
      parts.emplace_back(std::move(scorer), 1.0);
      parts.emplace_back(std::make_unique<LanguageModelScorer>(*lm), search.lm_weight);
      scorer = std::make_unique<WeightedSumScorer>(std::move(parts), true);
    }
    const std::vector<Beams> found =
        search.beam_width > 1 ? beam_search(*scorer, manifest.vocabulary, search.beam_width, max_lengths,
                                            search.ctc_weight == 0, true)
                              : greedy_search(*scorer, manifest.vocabulary, max_lengths);
    std::vector<Labels> chosen;
    for (int64_t n = 0; n < N; ++n) {
      const Beams& beams = found[static_cast<size_t>(n)];
      std::optional<Labels> sound;
      for (int64_t w = 0; w < beams.ids.size(0) && !sound; ++w) {
        const at::Tensor row = beams.ids[w];
        if (!holds_end(row, manifest.vocabulary) || beams.scores[w].item<float>() == kMinusInfinity) continue;
        Labels labels = labels_of(row, manifest.vocabulary);
        if (!manifest.ctc_trained || ctc_frames_needed(labels) <= positions[n]) sound = std::move(labels);
      }
      if (sound) {
        chosen.push_back(std::move(*sound));
      } else if (manifest.ctc_trained) {
        chosen.push_back(ctc_best_path(encoded[n].log_probs, manifest.vocabulary));
      } else {
        chosen.push_back(labels_of(beams.ids[0], manifest.vocabulary));
      }
    }
    return chosen;
  }

  Transcript one(const Input& input, const Search& search, const Options& options) const {
    Transcript transcript;
    run({input}, search, options, false, [&](const Transcript& done) { transcript = done; });
    return transcript;
  }
};

Recognizer::Recognizer(const std::filesystem::path& export_folder) : impl_(std::make_unique<Impl>(export_folder)) {}
Recognizer::~Recognizer() = default;
Recognizer::Recognizer(Recognizer&&) noexcept = default;
Recognizer& Recognizer::operator=(Recognizer&&) noexcept = default;

Search Recognizer::default_search() const { return impl_->manifest.search; }

Search Recognizer::search(std::optional<int> beam_width, std::optional<double> ctc_weight,
                          std::optional<double> lm_weight) const {
  Search search = default_search();
  if (beam_width) search.beam_width = *beam_width;
  if (ctc_weight) search.ctc_weight = *ctc_weight;
  if (lm_weight) search.lm_weight = *lm_weight;
  const int max_beams = static_cast<int>(std::min<int64_t>(kMaxBeamWidth, impl_->decoder.sizes().max_beams));
  if (search.beam_width < 1 || search.beam_width > max_beams)
    throw Error("the beam width must be an integer in [1, " + std::to_string(max_beams) + "], got " +
                std::to_string(search.beam_width));
  if (!(search.ctc_weight >= 0 && search.ctc_weight <= 1))
    throw Error("the CTC weight must lie in [0, 1], got " + json_number(search.ctc_weight));
  if (search.ctc_weight > 0 && !impl_->manifest.ctc_trained)
    throw Error("the CTC weight must be 0: this recogniser was trained without a CTC head (loss.ctc_weight 0), got " +
                json_number(search.ctc_weight));
  if (!(search.lm_weight >= 0 && std::isfinite(search.lm_weight)))
    throw Error("the LM weight must be a finite number >= 0, got " + json_number(search.lm_weight));
  return search;
}

Transcript Recognizer::transcribe_file(const std::filesystem::path& path, const Search& search, const std::string& id,
                                       const Options& options) const {
  return impl_->one({id, [&] { return AudioSource::file(path); }}, search, options);
}

Transcript Recognizer::transcribe(const std::vector<float>& samples, int sample_rate, const Search& search,
                                  const std::string& id, const Options& options) const {
  return impl_->one({id, [&] { return AudioSource::samples(samples, sample_rate, id); }}, search, options);
}

void Recognizer::transcribe_files(const std::vector<std::pair<std::string, std::filesystem::path>>& inputs,
                                  const Search& search, const Options& options,
                                  const std::function<void(const Transcript&)>& done) const {
  std::vector<Input> opened;
  for (const auto& [id, path] : inputs) opened.push_back({id, [path] { return AudioSource::file(path); }});
  impl_->run(opened, search, options, true, done);
}

double Recognizer::max_segment_seconds() const { return impl_->manifest.segments.max_seconds; }
double Recognizer::longest_training_seconds() const { return impl_->lengths.longest(); }
double Recognizer::min_seconds() const { return impl_->manifest.segments.min_seconds; }

}  // namespace quorlin
