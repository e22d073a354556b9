// The pipeline of quorlin.inference.Recognizer for one recording at a time: blocks, segments,
// filter banks, the encoder, a search per segment, word times, the transcript.
#include "quorlin/recognizer.h"

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <cmath>
#include <cstdio>

#include "alignment.h"
#include "audio.h"
#include "filter_banks.h"
#include "manifest.h"
#include "model_parts.h"
#include "scorers.h"
#include "searches.h"
#include "segmenter.h"
#include "text.h"
#include "vocabulary.h"

namespace quorlin {
namespace {

constexpr double kBlockSeconds = 30.0;

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

}  // namespace

struct Recognizer::Impl {
  Manifest manifest;
  EncoderPart encoder;
  StepPart decoder;
  std::unique_ptr<StepPart> lm;

  explicit Impl(const std::filesystem::path& folder)
      : manifest(read_manifest(folder)),
        encoder(manifest.parts.at("encoder"), "encoder", manifest.export_id),
        decoder(manifest.parts.at("decoder"), "decoder", manifest.export_id) {
    if (manifest.parts.count("lm")) lm = std::make_unique<StepPart>(manifest.parts.at("lm"), "lm", manifest.export_id);
    check_sizes();
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

  // The transcript of the segments of a recording, recognised one at a time.
  Transcript transcribe(const AudioSource& source, const Search& search, const std::string& id) const {
    c10::InferenceMode inference;
    Transcript transcript{id, "", source.duration(), {}, std::nullopt};
    const double min_seconds = manifest.segments.min_seconds;
    if (source.duration() < min_seconds)
      throw Error(source.name() + ": " + milliseconds(source.duration()) + " ms of audio is too short for the " +
                  "recogniser, which needs at least " + milliseconds(min_seconds) + " ms");
    Segmenter segmenter(manifest.segments.max_seconds);
    std::vector<Segment> segments;
    const auto recognise_all = [&](const std::vector<AudioSegment>& cut) {
      for (const AudioSegment& segment : cut) {
        if (segment.end - segment.start < min_seconds) continue;  // a blip between pauses, too short to hold a word
        segments.push_back(recognise(segment, search));
      }
    };
    source.blocks(kBlockSeconds, [&](const at::Tensor& block) { recognise_all(segmenter.push(block)); });
    recognise_all(segmenter.finish());
    std::vector<std::string> texts;
    for (Segment& segment : segments) {
      if (segment.text.empty()) continue;
      texts.push_back(segment.text);
      transcript.segments.push_back(std::move(segment));
    }
    transcript.text = join(texts);
    return transcript;
  }

  Segment recognise(const AudioSegment& segment, const Search& search) const {
    const at::Tensor feats = normalised(filter_banks(segment.samples, manifest.features.num_mel_bins),
                                        manifest.features);  // (T, F)
    const auto encoded = encoder.run(feats);
    const int64_t positions = encoded.log_probs.size(0);
    // Every label needs an encoder position under CTC: the search never needs more.
    const int64_t max_length = std::min(decoder.sizes().max_len, positions + 2);
    const std::vector<int64_t> ids = decode_ids(encoded, search, max_length);
    std::string text = to_utf8(decode(manifest.vocabulary, ids));
    const std::vector<Word> words =
        manifest.ctc_trained
            ? align_words(encoded.log_probs, ids, manifest.vocabulary, manifest.segments.position_seconds, segment.start)
            : spread_words(split_words(text), segment.start, segment.end);
    std::vector<Word> kept = keep_words(segment, words);
    if (kept.size() != words.size()) {
      std::vector<std::string> texts;
      for (const Word& word : kept) texts.push_back(word.text);
      text = join(texts);
    }
    const double start = kept.empty() ? segment.keep_start : kept.front().start;
    const double end = kept.empty() ? segment.keep_end : kept.back().end;
    return {start, end, text, kept};
  }

  // The scorer of one segment (quorlin.decoding.recognition.batch_scorer) and its search.
  std::vector<int64_t> decode_ids(const EncoderPart::Output& encoded, const Search& search, int64_t max_length) const {
    std::unique_ptr<Scorer> scorer = std::make_unique<RecognizerScorer>(decoder, encoded.memory);
    if (search.ctc_weight > 0) {
      std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts;
      parts.emplace_back(std::move(scorer), 1.0 - search.ctc_weight);
      parts.emplace_back(std::make_unique<CtcPrefixScorer>(encoded.log_probs, manifest.vocabulary.pad_id,
                                                           manifest.vocabulary.eos_id),
                         search.ctc_weight);
      scorer = std::make_unique<WeightedSumScorer>(std::move(parts), true);
    }
    if (lm && search.lm_weight != 0) {  // a language model weighted by 0 would run for nothing
      const bool final = scorer->final();
      std::vector<std::pair<std::unique_ptr<Scorer>, double>> parts;
      parts.emplace_back(std::move(scorer), 1.0);
      parts.emplace_back(std::make_unique<LanguageModelScorer>(*lm), search.lm_weight);
      scorer = std::make_unique<WeightedSumScorer>(std::move(parts), final);
    }
    if (search.beam_width > 1) return beam_search(*scorer, manifest.vocabulary, search.beam_width, max_length);
    return greedy_search(*scorer, manifest.vocabulary, max_length);
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
  const auto max_rows = impl_->decoder.sizes().max_rows;
  if (search.beam_width < 1 || search.beam_width > max_rows)
    throw Error("the beam width must be an integer in [1, " + std::to_string(max_rows) + "], got " +
                std::to_string(search.beam_width));
  if (!(search.ctc_weight >= 0 && search.ctc_weight <= 1))
    throw Error("the CTC weight must lie in [0, 1], got " + std::to_string(search.ctc_weight));
  if (!(search.lm_weight >= 0 && std::isfinite(search.lm_weight)))
    throw Error("the LM weight must be a finite number >= 0, got " + std::to_string(search.lm_weight));
  return search;
}

Transcript Recognizer::transcribe_file(const std::filesystem::path& path, const Search& search,
                                       const std::string& id) const {
  return impl_->transcribe(AudioSource::file(path), search, id);
}

Transcript Recognizer::transcribe(const std::vector<float>& samples, int sample_rate, const Search& search,
                                  const std::string& id) const {
  return impl_->transcribe(AudioSource::samples(samples, sample_rate, id), search, id);
}

double Recognizer::max_segment_seconds() const { return impl_->manifest.segments.max_seconds; }
double Recognizer::min_seconds() const { return impl_->manifest.segments.min_seconds; }

}  // namespace quorlin
