// quorlin-transcribe: audio files and folders through an export folder (quorlin export), to
// "<id><TAB><text>" lines, JSON, plain text, SubRip/WebVTT subtitles or all of them; the C++
// counterpart of `quorlin transcribe`, with its options, outputs, exit status and error lines.
//
//     quorlin-transcribe EXPORT_DIR [files or folders...] [--format tsv|json|txt|srt|vtt|all]
//                        [-o FILE|DIR/] [--beam-width N] [--ctc-weight W] [--lm-weight W]
//                        [--batch-size N] [--vad silero|energy] [--threads N]
//
// Every file is transcribed on its own: one that cannot be read gets its error line on
// standard error and the others go on; the exit status is 1 when any failed. Where the output
// goes is checked before any work.
#include <ATen/Parallel.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "quorlin/formats.h"
#include "quorlin/recognizer.h"
#include "text.h"

namespace fs = std::filesystem;
using quorlin::Error;

namespace {

// The formats of quorlin.inference.formats.WRITERS, and whether each writes a file per input.
const std::vector<std::pair<std::string, bool>> kWriters{
    {"tsv", false}, {"json", false}, {"txt", true}, {"srt", true}, {"vtt", true}};
// The extensions of quorlin.prep.sources.AUDIO_EXTENSIONS: what libsndfile reads.
const std::vector<std::string> kAudioExtensions{".flac", ".wav", ".ogg", ".opus", ".mp3", ".aiff",
                                                ".aif",  ".au",  ".caf", ".w64",  ".rf64"};
constexpr int kMaxBeamWidth = 256;
const char* kUsage =
    "usage: quorlin-transcribe [-h] [--format {tsv,json,txt,srt,vtt,all}] [-o OUTPUT] [--beam-width BEAM_WIDTH]\n"
    "                          [--ctc-weight CTC_WEIGHT] [--lm-weight LM_WEIGHT] [--batch-size BATCH_SIZE]\n"
    "                          [--vad VAD] [--threads THREADS]\n"
    "                          export inputs [inputs ...]\n";
const char* kHelp =
    "\nTranscribe audio files or folders with an export folder (quorlin export), without Python.\n\n"
    "positional arguments:\n"
    "  export                the export folder written by `quorlin export`\n"
    "  inputs                audio files (.flac, .wav, .ogg, .mp3, ...) or folders of them\n\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --format {tsv,json,txt,srt,vtt,all}\n"
    "                        id<TAB>text lines (default), JSON with timed segments, plain text, SubRip or WebVTT\n"
    "                        subtitles, or all of them (one file each per input, into -o FOLDER)\n"
    "  -o, --output OUTPUT   a file, or a folder (existing, or ending in /) for one file per input\n"
    "  --beam-width BEAM_WIDTH\n"
    "                        1 is greedy search, at most 256 (default: the export's search)\n"
    "  --ctc-weight CTC_WEIGHT\n"
    "                        weight in [0, 1] of the CTC head's scores (default: the export's search)\n"
    "  --lm-weight LM_WEIGHT\n"
    "                        weight of the LM's scores, with an LM in the export (default: the export's search)\n"
    "  --batch-size BATCH_SIZE\n"
    "                        segments per batch (default 16)\n"
    "  --vad VAD             what finds the speech: silero (default: a small neural network that holds in\n"
    "                        noise) or energy (frame energies against the noise floor)\n"
    "  --threads THREADS     CPU threads (default: one per core)\n";

// An error in the arguments: reported after the usage, exit status 2.
struct UsageError {
  std::string message;
};

struct Arguments {
  std::string export_folder;
  std::vector<std::string> inputs;
  std::string format = "tsv";
  std::optional<std::string> output;
  std::optional<int> beam_width, threads;
  quorlin::Options options;
  std::optional<double> ctc_weight, lm_weight;
};

int positive_int(const std::string& option, const std::string& text) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size())
    throw UsageError{"argument " + option + ": must be an integer >= 1, got " + quorlin::python_repr(text)};
  if (value < 1 || value > 1000000000)
    throw UsageError{"argument " + option + ": must be an integer >= 1, got " + text};
  return static_cast<int>(value);
}

double finite_weight(const std::string& option, const std::string& text) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size())
    throw UsageError{"argument " + option + ": must be a number, got " + quorlin::python_repr(text)};
  if (!(value >= 0 && std::isfinite(value)))
    throw UsageError{"argument " + option + ": must be a finite number >= 0, got " + text};
  return value;
}

Arguments parse(int argc, char** argv) {
  Arguments args;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> attached;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      attached = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    const auto value = [&](const std::string& option) -> std::string {
      if (attached) return *attached;
      if (i + 1 >= argc) throw UsageError{"argument " + option + ": expected one argument"};
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage << kHelp;
      std::exit(0);
    } else if (arg == "--format") {
      args.format = value("--format");
      std::string choices;
      bool known = args.format == "all";
      for (const auto& [name, per_input] : kWriters) {
        choices += "'" + name + "', ";
        known = known || args.format == name;
      }
      if (!known)
        throw UsageError{"argument --format: invalid choice: " + quorlin::python_repr(args.format) + " (choose from " +
                         choices + "'all')"};
    } else if (arg == "-o" || arg == "--output") {
      args.output = value("-o/--output");
    } else if (arg == "--beam-width") {
      const std::string text = value("--beam-width");
      args.beam_width = positive_int("--beam-width", text);
      if (*args.beam_width > kMaxBeamWidth)
        throw UsageError{"argument --beam-width: must be an integer in [1, " + std::to_string(kMaxBeamWidth) +
                         "], got " + text};
    } else if (arg == "--batch-size") {
      args.options.batch_size = positive_int("--batch-size", value("--batch-size"));
    } else if (arg == "--vad") {
      args.options.vad = value("--vad");
    } else if (arg == "--threads") {
      args.threads = positive_int("--threads", value("--threads"));
    } else if (arg == "--ctc-weight") {
      const std::string text = value("--ctc-weight");
      args.ctc_weight = finite_weight("--ctc-weight", text);
      if (*args.ctc_weight > 1) throw UsageError{"argument --ctc-weight: must lie in [0, 1], got " + text};
    } else if (arg == "--lm-weight") {
      args.lm_weight = finite_weight("--lm-weight", value("--lm-weight"));
    } else if (arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]))) {
      throw UsageError{"unrecognized arguments: " + arg};
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2) throw UsageError{"the following arguments are required: " +
                                              std::string(positional.empty() ? "export, inputs" : "inputs")};
  args.export_folder = positional[0];
  args.inputs.assign(positional.begin() + 1, positional.end());
  return args;
}

// A path as pathlib prints it: no empty or "." parts, no trailing slash.
std::string path_text(const std::string& path) {
  std::string out = !path.empty() && path[0] == '/' ? "/" : "";
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") out += (out.empty() || out == "/" ? "" : "/") + part;
    start = end + 1;
  }
  return out.empty() ? "." : out;
}

// The id of an audio file: its name without the extension (os.path.splitext).
std::string file_id(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find_first_not_of('.') >= dot) return name;
  return name.substr(0, dot);
}

bool is_audio(const std::string& name) {
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const std::string& extension : kAudioExtensions)
    if (lower.ends_with(extension)) return true;
  return false;
}

std::string realpath(const std::string& path) {
  std::error_code error;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(path), error);
  return error ? path : resolved.string();
}

struct Inputs {
  std::vector<std::pair<std::string, std::string>> found;  // (id, path)
  std::vector<std::string> problems;                      // files refused by name
};

// Every audio file named or found below a named folder, and the files refused by name.
Inputs audio_inputs(const std::vector<std::string>& items) {
  Inputs inputs;
  for (const std::string& item : items) {
    std::vector<std::string> paths;
    std::error_code error;
    if (fs::is_directory(item, error)) {
      for (auto it = fs::recursive_directory_iterator(item, fs::directory_options::skip_permission_denied, error);
           !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code kind;
        if (!it->is_directory(kind) && is_audio(it->path().filename().string())) paths.push_back(it->path().string());
      }
      std::sort(paths.begin(), paths.end());
    } else if (fs::exists(item, error)) {
      paths.push_back(item);  // a FIFO or device is refused as it is opened, with its own error line
    } else {
      throw Error(quorlin::printable(item) + ": no such audio file or folder");
    }
    for (const std::string& path : paths) {
      const std::string id = file_id(path);
      if (!quorlin::is_valid_utf8(path)) {
        inputs.problems.push_back(quorlin::printable(path) + ": the file name is not valid UTF-8; rename the file");
      } else if (id.find_first_of("\t\n\r") != std::string::npos) {
        inputs.problems.push_back(quorlin::python_repr(path) + ": the file name holds a tab or line break, which no " +
                                  "transcript format can hold; rename the file");
      } else {
        inputs.found.emplace_back(id, path);
      }
    }
  }
  if (inputs.found.empty() && inputs.problems.empty()) {
    std::string named;
    for (const std::string& item : items) named += (named.empty() ? "" : ", ") + quorlin::printable(item);
    std::string extensions;
    for (const std::string& extension : kAudioExtensions) extensions += (extensions.empty() ? "" : ", ") + extension;
    throw Error("no audio files (" + extensions + ") in " + named);
  }
  std::map<std::string, std::string> seen;
  for (const auto& [id, path] : inputs.found) {
    const auto [first, added] = seen.emplace(id, path);
    if (!added && first->second != path)
      throw Error("two inputs share an id, the name of their output: " + path + " and " + first->second +
                  " both have the id " + quorlin::python_repr(id));
  }
  return inputs;
}

struct Target {
  std::optional<std::string> folder, file;  // both empty: standard output
};

bool per_input_format(const std::string& format) {
  for (const auto& [name, per_input] : kWriters)
    if (name == format) return per_input;
  return false;
}

// The run folder that `path` (which need not exist) is or lies in, links resolved: the nearest
// folder holding a configuration, a tokenizer and a checkpoints folder.
std::optional<std::string> enclosing_run_folder(const std::string& path) {
  std::error_code error;
  for (fs::path folder(realpath(path));; folder = folder.parent_path()) {
    if (fs::is_regular_file(folder / "config.yaml", error) && fs::is_regular_file(folder / "tokenizer.json", error) &&
        fs::is_directory(folder / "checkpoints", error))
      return folder.string();
    if (folder == folder.parent_path()) return std::nullopt;
  }
}

// Where the transcripts go, checked before any work.
Target output_target(const std::optional<std::string>& output, const std::vector<std::string>& formats,
                     const std::vector<std::string>& inputs) {
  const bool per_input = formats.size() > 1 || (per_input_format(formats[0]) && inputs.size() != 1);
  if (!output) {
    if (per_input)
      throw Error((formats.size() > 1 ? std::string("every format") : formats[0] + " output") +
                  " is one file per input: give -o FOLDER for " + std::to_string(inputs.size()) + " input(s)");
    return {};
  }
  const std::string path = path_text(*output);
  if (const auto inside = enclosing_run_folder(path))
    throw Error(*output + ": lies in the run folder " + *inside + ", whose files transcripts could replace; " +
                "write them elsewhere");
  std::error_code error;
  const bool as_folder = fs::is_directory(path, error) || output->back() == '/' || per_input;
  std::vector<std::string> targets;
  if (as_folder) {
    for (const std::string& input : inputs)
      for (const std::string& format : formats) targets.push_back(path_text(path + "/" + file_id(input) + "." + format));
  } else {
    targets.push_back(path);
  }
  std::set<std::string> sources;
  for (const std::string& input : inputs) sources.insert(realpath(input));
  for (const std::string& target : targets)
    if (sources.count(realpath(target))) throw Error(target + ": the output would replace an input");
  std::string writable;
  if (as_folder) {
    fs::create_directories(path, error);
    if (error) throw Error(*output + ": cannot make the output folder: " + std::strerror(error.value()));
    writable = path;
  } else {
    writable = path_text(fs::path(path).parent_path().string());
    if (!fs::is_directory(writable, error)) throw Error(*output + ": its folder " + writable + " does not exist");
  }
  if (access(writable.c_str(), W_OK | X_OK) != 0) throw Error(*output + ": cannot write there (permission denied)");
  return as_folder ? Target{path, std::nullopt} : Target{std::nullopt, path};
}

// Replaces `path` with `text`, whole or not at all: a temporary file beside it, synced, then
// renamed over it.
void write_text(const std::string& path, const std::string& text) {
  const fs::path target(path);
  std::random_device random;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
  const fs::path temporary = target.parent_path() / ("." + target.filename().string() + "." + suffix + ".tmp");
  const auto fail = [&](int error) {
    unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), path);
  };
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      const int error = errno;
      close(fd);
      fail(error);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) fail(errno);
  if (rename(temporary.c_str(), target.c_str()) != 0) fail(errno);
  const int folder = open(target.parent_path().empty() ? "." : target.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
}

// The text of `transcripts` in `format` (one transcript for the formats written per input).
std::string render(const std::string& format, const std::vector<quorlin::Transcript>& transcripts) {
  if (format == "txt") return quorlin::format_txt(transcripts.at(0));
  if (format == "srt") return quorlin::format_srt(transcripts.at(0));
  if (format == "vtt") return quorlin::format_vtt(transcripts.at(0));
  if (format == "json") return quorlin::format_json(transcripts);
  return quorlin::format_tsv(transcripts);
}

int transcribe(const Arguments& args) {
  const Inputs inputs = audio_inputs(args.inputs);
  std::vector<std::string> formats;
  if (args.format == "all") {
    for (const auto& [name, per_input] : kWriters) formats.push_back(name);
  } else {
    formats.push_back(args.format);
  }
  std::vector<std::string> paths;
  for (const auto& [id, path] : inputs.found) paths.push_back(path);
  const Target target = output_target(args.output, formats, paths);
  const quorlin::Recognizer recognizer(args.export_folder);
  const quorlin::Search search = recognizer.search(args.beam_width, args.ctc_weight, args.lm_weight);
  for (const std::string& problem : inputs.problems) std::cerr << "quorlin: error: " << problem << std::endl;
  size_t failed = inputs.problems.size();
  std::vector<quorlin::Transcript> done;
  std::vector<std::pair<std::string, fs::path>> files(inputs.found.begin(), inputs.found.end());
  recognizer.transcribe_files(files, search, args.options, [&](const quorlin::Transcript& transcript) {
    if (transcript.error) {
      std::cerr << "quorlin: error: " << *transcript.error << std::endl;
      ++failed;
    } else if (target.folder) {
      for (const std::string& format : formats)
        write_text(path_text(*target.folder + "/" + transcript.id + "." + format), render(format, {transcript}));
    } else if (!target.file && args.format == "tsv") {
      std::cout << quorlin::format_tsv({transcript}) << std::flush;
    } else {
      done.push_back(transcript);
    }
  });
  // A format of one transcript per file has nothing to write when its one input failed.
  if (target.file && (!done.empty() || !per_input_format(args.format))) {
    write_text(*target.file, render(args.format, done));
  } else if (!target.folder && !done.empty()) {
    std::cout << render(args.format, done) << std::flush;
  }
  if (target.folder || target.file)
    std::cerr << inputs.found.size() - (failed - inputs.problems.size()) << " transcript(s) written to "
              << (target.folder ? *target.folder : *target.file) << std::endl;
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  try {
    args = parse(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << kUsage << "quorlin-transcribe: error: " << error.message << std::endl;
    return 2;
  }
  if (args.threads) at::set_num_threads(*args.threads);
  try {
    return transcribe(args);
  } catch (const Error& error) {
    std::cerr << "quorlin: error: " << error.what() << std::endl;
  } catch (const std::system_error& error) {
    std::cerr << "quorlin: error: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    const std::string what = error.what();
    std::cerr << "quorlin: error: internal error: " << what.substr(0, what.find('\n')) << std::endl;
  }
  return 1;
}
