// The runtime's inner steps on their own, for the tests to compare with the Python ones:
//
//     quorlin-probe features FILE NUM_MEL_BINS OUT   filter banks of a file's 16 kHz stream: OUT gets
//                                                    float32 (frames, bins); prints "frames bins"
//     quorlin-probe segments FILE VAD SILERO LIMIT Q0 ... Q20
//                                                    "start end keep_start keep_end samples" per segment of a
//                                                    file's 16 kHz stream, cut where VAD (silero or energy;
//                                                    SILERO the network's file) finds pauses, for training
//                                                    durations of the quantiles Q and a longest segment LIMIT
//     quorlin-probe flags FILE VAD SILERO LONG_RUN   the speech flags of the stream's 10 ms frames, as 0s and 1s
//     quorlin-probe silero CHUNKS P C SILERO         the network's probabilities (P, C) of float32 chunks (P, C, 512)
//     quorlin-probe align LOG_PROBS S V BLANK IDS... the label of every frame of a forced alignment
//     quorlin-probe ctc LOG_PROBS S V BLANK EOS IDS...  CTC prefix scores after the start and each id
//     quorlin-probe quantile VALUES K WIDTH Q        the Q-quantile of every window of WIDTH of K float32 values
//     quorlin-probe letters SAMPLES N WINDOW BLOCK SILERO
//                                                    CtcSpeech's flags, as 0s and 1s, over the energy detector,
//                                                    of N float32 samples pushed in blocks of BLOCK, for a
//                                                    stand-in CTC head that reads a letter in every 10 ms
//                                                    frame with a sample beyond +-0.5
//
// LOG_PROBS is a file of float32 (S, V) values.
#include <ATen/ATen.h>

#include <c10/core/InferenceMode.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "alignment.h"
#include "audio.h"
#include "ctc_speech.h"
#include "filter_banks.h"
#include "scorers.h"
#include "segmenter.h"
#include "vad.h"

namespace {

at::Tensor read_floats(const std::string& path, int64_t rows, int64_t columns) {
  at::Tensor values = at::empty({rows, columns}, at::kFloat);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(values.data_ptr<float>()), static_cast<std::streamsize>(values.nbytes()));
  if (!in) throw std::runtime_error(path + ": too short");
  return values;
}

std::vector<int64_t> ids(char** first, char** last) {
  std::vector<int64_t> out;
  for (char** arg = first; arg != last; ++arg) out.push_back(std::stoll(*arg));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  c10::InferenceMode inference;
  try {
    if (command == "features" && argc == 5) {
      std::vector<at::Tensor> blocks;
      quorlin::AudioSource::file(argv[2]).blocks(30.0, [&](const at::Tensor& block) { blocks.push_back(block); });
      const at::Tensor feats = quorlin::filter_banks(at::cat(blocks), std::stoll(argv[3])).contiguous();
      std::ofstream(argv[4], std::ios::binary)
          .write(reinterpret_cast<const char*>(feats.data_ptr<float>()), static_cast<std::streamsize>(feats.nbytes()));
      std::printf("%lld %lld\n", static_cast<long long>(feats.size(0)), static_cast<long long>(feats.size(1)));
    } else if (command == "segments" && argc == 27) {
      const quorlin::SileroNetwork network(argv[4]);
      std::vector<double> quantiles;
      for (int i = 6; i < argc; ++i) quantiles.push_back(std::stod(argv[i]));
      const quorlin::SegmentLengths lengths(quantiles, std::stod(argv[5]));
      const quorlin::AudioSource source = quorlin::AudioSource::file(argv[2]);
      const auto long_run = static_cast<int64_t>(std::nearbyint(lengths.longest() * 100));
      quorlin::Segmenter segmenter(lengths, quorlin::speech_detector(argv[3], network, long_run), source.duration());
      std::vector<quorlin::AudioSegment> segments;
      source.blocks(30.0, [&](const at::Tensor& block) {
        for (auto& segment : segmenter.push(block)) segments.push_back(segment);
      });
      for (auto& segment : segmenter.finish()) segments.push_back(segment);
      for (const auto& s : segments)
        std::printf("%.17g %.17g %.17g %.17g %lld\n", s.start, s.end, s.keep_start, s.keep_end,
                    static_cast<long long>(s.samples.numel()));
    } else if (command == "flags" && argc == 6) {
      const quorlin::SileroNetwork network(argv[4]);
      const auto detector = quorlin::speech_detector(argv[3], network, std::stoll(argv[5]));
      std::vector<at::Tensor> flags;
      quorlin::AudioSource::file(argv[2]).blocks(30.0, [&](const at::Tensor& block) {
        flags.push_back(detector->push(block));
      });
      flags.push_back(detector->finish());
      const at::Tensor all = at::cat(flags).contiguous();
      for (int64_t i = 0; i < all.numel(); ++i) std::putchar(all.data_ptr<bool>()[i] ? '1' : '0');
      std::printf("\n");
    } else if (command == "silero" && argc == 6) {
      const int64_t P = std::stoll(argv[3]), C = std::stoll(argv[4]);
      const at::Tensor chunks = read_floats(argv[2], P * C, 512).view({P, C, 512});
      const at::Tensor probabilities = quorlin::SileroNetwork(argv[5]).probabilities(chunks).contiguous();
      for (int64_t i = 0; i < probabilities.numel(); ++i) std::printf("%.9g ", probabilities.data_ptr<float>()[i]);
      std::printf("\n");
    } else if (command == "align" && argc >= 7) {
      const at::Tensor log_probs = read_floats(argv[2], std::stoll(argv[3]), std::stoll(argv[4]));
      for (int64_t label : quorlin::forced_align(log_probs, ids(argv + 6, argv + argc), std::stoll(argv[5])))
        std::printf("%lld ", static_cast<long long>(label));
      std::printf("\n");
    } else if (command == "ctc" && argc >= 7) {
      const at::Tensor log_probs = read_floats(argv[2], std::stoll(argv[3]), std::stoll(argv[4]));
      quorlin::CtcPrefixScorer scorer(log_probs.unsqueeze(1), at::full({1}, log_probs.size(0), at::kLong),
                                      std::stoll(argv[5]), std::stoll(argv[6]));
      std::vector<at::Tensor> scores{scorer.init(at::full({1, 1}, 1, at::kLong), 0)};
      for (int64_t id : ids(argv + 7, argv + argc)) scores.push_back(scorer.step(at::full({1}, id, at::kLong)));
      for (const at::Tensor& row : scores) {
        for (int64_t v = 0; v < row.size(1); ++v) std::printf("%.9g ", row[0][v].item<float>());
        std::printf("\n");
      }
    } else if (command == "quantile" && argc == 6) {
      const int64_t K = std::stoll(argv[3]), width = std::stoll(argv[4]);
      const at::Tensor values = read_floats(argv[2], 1, K).view({K});
      const at::Tensor q = quorlin::sliding_nanquantile(values, width, 0, K - width + 1, std::stod(argv[5]));
      for (int64_t i = 0; i < q.numel(); ++i) std::printf("%.9g ", q.data_ptr<float>()[i]);
      std::printf("\n");
    } else if (command == "letters" && argc == 7) {
      const int64_t N = std::stoll(argv[3]), block = std::stoll(argv[5]);
      const at::Tensor samples = read_floats(argv[2], 1, N).view({N});
      const quorlin::SileroNetwork network(argv[6]);
      quorlin::CtcSpeech detector(
          quorlin::speech_detector("energy", network, 1000),
          [](const at::Tensor& window) {
            const int64_t frames = window.numel() / quorlin::kVadFrame;
            const at::Tensor loud = window.narrow(0, 0, frames * quorlin::kVadFrame).view({frames, -1}).abs()
                                        .amax(1).gt(0.5);  // (frames,)
            return (at::nonzero(loud).flatten().to(at::kDouble) + 0.5) / 100;
          },
          std::stoll(argv[4]));
      std::vector<at::Tensor> flags;
      for (int64_t i = 0; i < N; i += block) flags.push_back(detector.push(samples.narrow(0, i, std::min(block, N - i))));
      flags.push_back(detector.finish());
      const at::Tensor all = at::cat(flags).contiguous();
      for (int64_t i = 0; i < all.numel(); ++i) std::putchar(all.data_ptr<bool>()[i] ? '1' : '0');
      std::printf("\n");
    } else {
      std::fprintf(stderr, "usage: quorlin-probe features|segments|flags|silero|align|ctc|quantile|letters ...\n");
      return 2;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quorlin-probe: %s\n", error.what());
    return 1;
  }
  return 0;
}
