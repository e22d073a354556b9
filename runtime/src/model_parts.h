// The compiled parts of an export (AOTInductor packages), loaded with LibTorch's model-package
// loader, with their inputs checked: a compiled part checks neither the sizes it was compiled
// for nor the layout of its inputs.
#pragma once

#include <ATen/ATen.h>

#include <filesystem>
#include <memory>
#include <string>

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace quorlin {

// The sizes a part was compiled for, from its own metadata.
struct PartSizes {
  int64_t layers = 0, num_heads = 0, head_dim = 0, max_len = 0, vocab_size = 0;
  int64_t num_mel_bins = 0, min_frames = 0, max_frames = 0;  // the encoder's
  int64_t max_segments = 0, max_beams = 0;                    // the decoder's
  int64_t max_rows = 0;                                       // the language model's
};

class ModelPart {
 public:
  // Loads `file` and checks that it is the part `name` of the export `export_id`; throws Error
  // naming the file otherwise.
  ModelPart(const std::filesystem::path& file, const std::string& name, const std::string& export_id);
  ~ModelPart();

  const PartSizes& sizes() const { return sizes_; }
  const std::filesystem::path& file() const { return file_; }

 protected:
  std::vector<at::Tensor> run(const std::vector<at::Tensor>& inputs) const;
  void check_past(const at::Tensor& ancestors, const at::Tensor& past, int64_t rows) const;

 private:
  std::filesystem::path file_;
  std::unique_ptr<torch::inductor::AOTIModelPackageLoader> loader_;
  PartSizes sizes_;
};

// encoder.pt2: normalised filter banks (T, F) -> CTC log-probabilities (S, V) and the decoder's
// cross-attention keys and values (L, 2, h, S, dh) of the segment. An encoder dimension of one
// position cannot stay dynamic in an export: the fewest frames come padded, with their length.
class EncoderPart : public ModelPart {
 public:
  using ModelPart::ModelPart;
  struct Output {
    at::Tensor log_probs, memory;
  };
  Output run(const at::Tensor& feats) const;
};

// decoder.pt2: one step of N segments of W rows (beams) each. tokens (N, W), where each row's t
// earlier positions are kept (N, W, t) in the keys and values before (t, L, 2, P, h, dh), the
// segments' memory padded to the longest (L, 2, N, h, S, dh) and their positions (N,) ->
// next-token log-probabilities (N, W, V) and the new position's keys and values
// (L, 2, N, W, h, dh).
class DecoderPart : public ModelPart {
 public:
  using ModelPart::ModelPart;
  struct Output {
    at::Tensor log_probs, keys_values;
  };
  Output run(const at::Tensor& tokens, const at::Tensor& ancestors, const at::Tensor& past,
             const at::Tensor& memory, const at::Tensor& lengths) const;
};

// lm.pt2: one step of R rows. tokens (R,), where each row's t earlier positions are kept (R, t)
// in the keys and values before (t, L, 2, P, h, dh) -> next-token log-probabilities (R, V) and
// the new position's keys and values (L, 2, R, h, dh).
class LanguageModelPart : public ModelPart {
 public:
  using ModelPart::ModelPart;
  using Output = DecoderPart::Output;
  Output run(const at::Tensor& tokens, const at::Tensor& ancestors, const at::Tensor& past) const;
};

// The self-attention keys and values of the positions a search has decoded. Position p of
// row r is kept in slot ancestors[r][p] of position p, where the row that computed it put it:
// rows that follow other rows take their ancestors, and no key or value is ever moved.
class KeysValuesCache {
 public:
  // Room for `capacity` positions of `rows` rows of a part of these sizes.
  KeysValuesCache(const PartSizes& sizes, int64_t rows, int64_t capacity);

  at::Tensor past() const { return buffer_.narrow(0, 0, length_); }             // (t, L, 2, P, h, dh)
  at::Tensor ancestors() const { return ancestors_.narrow(1, 0, length_).contiguous(); }  // (R, t)
  int64_t length() const { return length_; }
  // The keys and values (L, 2, R, h, dh) of the next position of every row.
  void append(const at::Tensor& keys_values);
  // Row i continues old row rows[i] (R').
  void reorder(const at::Tensor& rows);

 private:
  at::Tensor buffer_;     // (capacity, L, 2, P, h, dh), P the rows at the start
  at::Tensor ancestors_;  // (R, capacity)
  int64_t length_ = 0;
};

}  // namespace quorlin
