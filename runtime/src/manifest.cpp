#include "manifest.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "json.h"

namespace quorlin {
namespace {

namespace fs = std::filesystem;

// Reads the keys of one JSON object, each refused by name when missing or of the wrong kind.
class Keys {
 public:
  Keys(const Json& object, std::string where, const fs::path& file) : where_(std::move(where)), file_(file) {
    if (!object.is_object()) fail(where_.empty() ? "the manifest" : where_, "must be an object");
    object_ = &object.object();
  }

  const Json& get(const std::string& key) const {
    const auto found = object_->find(key);
    if (found == object_->end()) fail(name(key), "is missing");
    return found->second;
  }
  bool has(const std::string& key) const { return object_->count(key) > 0; }

  std::string string(const std::string& key) const {
    const Json& value = get(key);
    if (!value.is_string()) fail(name(key), "must be a string");
    return value.string();
  }
  double number(const std::string& key) const {
    const Json& value = get(key);
    if (!value.is_number() || !std::isfinite(value.number())) fail(name(key), "must be a finite number");
    return value.number();
  }
  int integer(const std::string& key, int least) const {
    const double value = number(key);
    if (value != std::floor(value) || value < least || value > 1e9)
      fail(name(key), "must be an integer >= " + std::to_string(least));
    return static_cast<int>(value);
  }
  bool boolean(const std::string& key) const {
    const Json& value = get(key);
    if (!value.is_bool()) fail(name(key), "must be true or false");
    return value.boolean();
  }
  Keys object(const std::string& key) const { return Keys(get(key), name(key), file_); }
  const Json::Object& raw() const { return *object_; }

  std::string name(const std::string& key) const { return where_.empty() ? key : where_ + "." + key; }
  [[noreturn]] void fail(const std::string& key, const std::string& what) const {
    throw Error(file_.string() + ": " + key + " " + what);
  }

 private:
  const Json::Object* object_ = nullptr;
  std::string where_;
  fs::path file_;
};

std::vector<double> numbers(const Keys& keys, const std::string& key) {
  const Json& value = keys.get(key);
  std::vector<double> out;
  if (value.is_array()) {
    for (const Json& item : value.array()) {
      if (!item.is_number() || !std::isfinite(item.number())) keys.fail(keys.name(key), "must hold finite numbers");
      out.push_back(item.number());
    }
  }
  if (!value.is_array() || out.empty()) keys.fail(keys.name(key), "must be a list of numbers");
  return out;
}

std::vector<float> floats(const Keys& keys, const std::string& key) {
  const std::vector<double> values = numbers(keys, key);
  return std::vector<float>(values.begin(), values.end());
}

Vocabulary read_vocabulary(const Keys& keys) {
  Vocabulary vocabulary;
  const Json& pieces = keys.get("pieces");
  if (!pieces.is_array() || pieces.array().empty()) keys.fail(keys.name("pieces"), "must be a list of strings");
  for (const Json& piece : pieces.array()) {
    if (!piece.is_string()) keys.fail(keys.name("pieces"), "must be a list of strings");
    vocabulary.pieces.push_back(piece.string());
  }
  vocabulary.escaped = keys.boolean("escaped");
  const int size = static_cast<int>(vocabulary.pieces.size());
  for (auto [key, id] : {std::pair<const char*, int*>{"pad_id", &vocabulary.pad_id}, {"sos_id", &vocabulary.sos_id},
                         {"eos_id", &vocabulary.eos_id}}) {
    *id = keys.integer(key, 0);
    if (*id >= size) keys.fail(keys.name(key), "is outside the vocabulary of " + std::to_string(size) + " pieces");
  }
  return vocabulary;
}

FeatureSettings read_features(const Keys& keys) {
  // The runtime computes the filter banks of preparation: 25 ms windows every 10 ms at 16 kHz.
  if (keys.number("sample_rate") != 16000 || keys.number("frame_length_ms") != 25 ||
      keys.number("frame_shift_ms") != 10)
    keys.fail(keys.name("sample_rate"), "and the frames must be 16000 Hz, 25 ms and 10 ms");
  FeatureSettings features;
  features.num_mel_bins = keys.integer("num_mel_bins", 4);
  features.norm = keys.string("norm");
  if (features.norm == "global_mvn") {
    features.mean = floats(keys, "global_mean");
    features.std = floats(keys, "global_std");
    const size_t bins = static_cast<size_t>(features.num_mel_bins);
    if (features.mean.size() < bins || features.std.size() != features.mean.size())
      keys.fail(keys.name("global_mean"), "and global_std must have a value per bin");
    for (float deviation : features.std)
      if (!(deviation > 0)) keys.fail(keys.name("global_std"), "must hold deviations > 0");
    features.mean.resize(bins);
    features.std.resize(bins);
  } else if (features.norm != "cepstral" && features.norm != "none") {
    keys.fail(keys.name("norm"), "must be \"global_mvn\", \"cepstral\" or \"none\", not \"" + features.norm + "\"");
  }
  return features;
}

}  // namespace

Manifest read_manifest(const fs::path& folder) {
  Manifest manifest;
  manifest.file = folder / kManifestFile;
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw Error(folder.string() + ": no such export folder");
  std::ifstream in(manifest.file, std::ios::binary);
  if (!fs::is_regular_file(manifest.file, error) || !in)
    throw Error(folder.string() + " is not a quorlin export folder: it has no " + kManifestFile);
  std::stringstream text;
  text << in.rdbuf();
  Json document;
  try {
    document = parse_json(text.str());
  } catch (const std::runtime_error& bad) {
    throw Error(manifest.file.string() + " is not readable JSON: " + bad.what());
  }
  const Keys top(document, "", manifest.file);
  if (!top.has("format") || !top.get("format").is_string() || top.string("format") != kManifestFormat)
    throw Error(manifest.file.string() + " is not a quorlin export manifest (its format is not \"" +
                kManifestFormat + "\")");
  const int version = top.integer("version", 1);
  if (version != kManifestVersion)
    throw Error(manifest.file.string() + ": format version " + std::to_string(version) +
                " is not one this runtime reads (" + std::to_string(kManifestVersion) +
                "); export the run folder again with this version of quorlin");
  manifest.export_id = top.string("export");

  const Keys parts = top.object("parts");
  for (const auto& [name, value] : parts.raw()) {
    if (name != "encoder" && name != "decoder" && name != "lm") parts.fail(parts.name(name), "is not a known part");
    const fs::path file = folder / parts.string(name);
    if (!fs::is_regular_file(file, error))
      throw Error(folder.string() + " is not a complete export: its " + name + " part " +
                  parts.string(name) + " is missing");
    manifest.parts[name] = file;
  }
  for (const char* required : {"encoder", "decoder"})
    if (!manifest.parts.count(required)) parts.fail(parts.name(required), "is missing");
  const Keys vad = top.object("vad");
  manifest.silero = folder / vad.string("silero");
  if (!fs::is_regular_file(manifest.silero, error))
    throw Error(folder.string() + " is not a complete export: its Silero VAD network " + vad.string("silero") +
                " is missing");

  manifest.vocabulary = read_vocabulary(top.object("tokenizer"));
  manifest.features = read_features(top.object("features"));
  const Keys segments = top.object("segments");
  manifest.segments = {numbers(segments, "train_durations"), segments.number("max_seconds"),
                       segments.number("min_seconds")};
  const std::vector<double>& durations = manifest.segments.train_durations;
  if (durations.size() != 21 || !(durations.front() > 0) || !std::is_sorted(durations.begin(), durations.end()))
    segments.fail("segments.train_durations", "must be 21 positive durations in increasing order");
  if (!(manifest.segments.max_seconds >= 1) || !(manifest.segments.min_seconds > 0))
    segments.fail("segments", "must hold positive lengths, the longest segment at least 1 s");
  const Keys word_times = top.object("word_times");
  manifest.word_times = {word_times.number("frame_seconds"), word_times.number("shift_seconds")};
  if (!(manifest.word_times.frame_seconds > 0))
    word_times.fail("word_times.frame_seconds", "must be positive");
  manifest.ctc_trained = top.boolean("ctc_trained");
  const Keys search = top.object("search");
  manifest.search = {search.integer("beam_width", 1), search.number("ctc_weight"), search.number("lm_weight")};
  return manifest;
}

}  // namespace quorlin
