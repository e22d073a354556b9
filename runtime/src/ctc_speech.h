// Speech as the recogniser hears it, as quorlin.inference.ctc_speech finds it: a detector's
// speech near what the CTC head reads as letters, so that the pauses of the voice in front show
// under babble and loud noise.
#pragma once

#include <ATen/ATen.h>

#include <functional>
#include <memory>

#include "vad.h"

namespace quorlin {

// Frames on either side of a letter's frame that count as speech.
inline constexpr int64_t kLetterReach = 10;
// Frames at either inner end of a window whose letters its neighbour reads: at most this, and a
// quarter of the window.
inline constexpr int64_t kWindowEdge = 100;

// The frames that `detector` calls speech within kLetterReach of the letters that `letters`
// finds in each window. Windows of `window` frames (at least 4) start every window - 2 * edge
// frames; each keeps the letters whose frame lies between its inner edges (from the stream's
// start for the first). The last window ends with the stream. A window is not read when the
// detector finds no speech its letters could flag. `letters`: the samples (m,) of a window ->
// the positions (n,) double, in seconds from the window's start, of the encoder frames whose
// most likely label is a letter.
class CtcSpeech : public SpeechDetector {
 public:
  using Letters = std::function<at::Tensor(const at::Tensor&)>;
  CtcSpeech(std::unique_ptr<SpeechDetector> detector, Letters letters, int64_t window);

  at::Tensor push(const at::Tensor& samples) override;
  at::Tensor finish() override;

 private:
  void read_windows(int64_t flagged);
  void read(int64_t start, int64_t end, int64_t keep_to);
  at::Tensor decide(int64_t end);

  std::unique_ptr<SpeechDetector> detector_;
  Letters letters_;
  int64_t window_, edge_;
  at::Tensor samples_ = at::zeros({0});  // from frame origin_ on
  int64_t origin_ = 0;
  int64_t kept_to_ = 0;                           // letters before this frame are marked
  at::Tensor speech_ = at::zeros({0}, at::kBool);  // the detector's flags of the frames from decided_ on
  at::Tensor marks_ = at::zeros({0}, at::kBool);   // frames near letters, from decided_ on
  int64_t decided_ = 0;
  int64_t total_ = 0;  // samples pushed
};

}  // namespace quorlin
