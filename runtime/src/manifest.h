// The manifest of an export folder (quorlin-export.json): everything a recogniser needs beside
// its compiled parts. Its keys are documented in docs/cpp-runtime.md.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "quorlin/recognizer.h"

namespace quorlin {

inline constexpr const char* kManifestFile = "quorlin-export.json";
inline constexpr const char* kManifestFormat = "quorlin-export";
inline constexpr int kManifestVersion = 2;

struct Vocabulary {
  std::vector<std::string> pieces;  // the text of every id, "" for the special ids
  bool escaped = false;             // whether decoding undoes the tokenizer's escapes
  int pad_id = 0, sos_id = 1, eos_id = 2;
};

struct FeatureSettings {
  int num_mel_bins = 0;
  std::string norm;                      // "global_mvn", "cepstral" or "none"
  std::vector<float> mean, std;          // per bin, for "global_mvn"
};

struct SegmentSettings {
  std::vector<double> train_durations;  // the 0 %, 5 %, ..., 100 % quantiles of the training utterances' seconds
  double max_seconds = 0;               // the longest segment
  double min_seconds = 0;               // the shortest audio the encoder takes
};

// Encoder frame j of a segment spans [j, j + 1) * frame_seconds + shift_seconds from its start.
struct WordTimes {
  double frame_seconds = 0, shift_seconds = 0;
};

struct Manifest {
  std::filesystem::path file;
  std::string export_id;
  std::map<std::string, std::filesystem::path> parts;  // "encoder", "decoder", optionally "lm"
  std::filesystem::path silero;                        // the Silero VAD network (TorchScript)
  Vocabulary vocabulary;
  FeatureSettings features;
  SegmentSettings segments;
  WordTimes word_times;
  bool ctc_trained = false;
  Search search;
};

// Reads and checks the manifest of an export folder; throws Error naming the folder, the file
// or the key that is wrong.
Manifest read_manifest(const std::filesystem::path& folder);

}  // namespace quorlin
