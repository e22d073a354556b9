#include "model_parts.h"

#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include <stdexcept>

#include "quorlin/recognizer.h"

namespace quorlin {
namespace {

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

void require(bool condition, const std::string& what) {
  if (!condition) throw std::logic_error("model part input: " + what);
}

}  // namespace

ModelPart::ModelPart(const std::filesystem::path& file, const std::string& name, const std::string& export_id)
    : file_(file) {
  try {
    loader_ = std::make_unique<torch::inductor::AOTIModelPackageLoader>(file.string());
  } catch (const std::exception& error) {
    throw Error(file.string() + " is not a readable model part: " + first_line(error.what()));
  }
  auto metadata = loader_->get_metadata();
  const auto value = [&](const std::string& key) -> std::string {
    const auto found = metadata.find("quorlin." + key);
    if (found == metadata.end())
      throw Error(file.string() + " is not a part of a quorlin export (it has no " + key + ")");
    return found->second;
  };
  if (value("part") != name) throw Error(file.string() + " is the " + value("part") + " part, not the " + name);
  if (value("export") != export_id)
    throw Error(file.string() + " belongs to another export (" + value("export") + ") than its manifest (" +
                export_id + ")");
  const auto size = [&](const std::string& key) {
    try {
      return static_cast<int64_t>(std::stoll(value(key)));
    } catch (const std::logic_error&) {
      throw Error(file.string() + ": its size " + key + " is not a number");
    }
  };
  sizes_.layers = size("layers");
  sizes_.num_heads = size("num_heads");
  sizes_.head_dim = size("head_dim");
  sizes_.max_len = size("max_len");
  sizes_.vocab_size = size("vocab_size");
  if (name == "encoder") {
    sizes_.num_mel_bins = size("num_mel_bins");
    sizes_.min_frames = size("min_frames");
    sizes_.max_frames = size("max_frames");
  } else if (name == "decoder") {
    sizes_.max_segments = size("max_segments");
    sizes_.max_beams = size("max_beams");
  } else {
    sizes_.max_rows = size("max_rows");
  }
}

ModelPart::~ModelPart() = default;

std::vector<at::Tensor> ModelPart::run(const std::vector<at::Tensor>& inputs) const {
  std::vector<at::Tensor> contiguous;
  for (const at::Tensor& input : inputs) contiguous.push_back(input.contiguous());
  return loader_->run(contiguous);
}

EncoderPart::Output EncoderPart::run(const at::Tensor& feats) const {
  const PartSizes& s = sizes();
  const int64_t T = feats.size(0);
  require(feats.dim() == 2 && feats.size(1) == s.num_mel_bins && feats.scalar_type() == at::kFloat,
          "the encoder takes (frames, " + std::to_string(s.num_mel_bins) + ") float features");
  require(T >= 1 && T <= s.max_frames, "the encoder takes at most " + std::to_string(s.max_frames) + " frames");
  // Fewer frames than the part was compiled for come padded, their positions masked as in a batch.
  const at::Tensor padded = at::constant_pad_nd(feats, {0, 0, 0, std::max<int64_t>(0, s.min_frames - T)}, 0);
  auto out = ModelPart::run({padded.unsqueeze(0), at::full({1}, T, at::kLong)});  // (T', F) -> (1, T', F)
  const int64_t positions = out.at(2).item<int64_t>();
  return {out.at(0).narrow(0, 0, positions).contiguous(), out.at(1).narrow(3, 0, positions).contiguous()};
}

void ModelPart::check_past(const at::Tensor& ancestors, const at::Tensor& past, int64_t rows) const {
  const PartSizes& s = sizes();
  require(past.dim() == 6 && past.size(0) < s.max_len && past.size(1) == s.layers && past.size(2) == 2 &&
              past.size(3) >= 1 && past.size(4) == s.num_heads && past.size(5) == s.head_dim,
          "past keys and values must be (t, L, 2, P, h, dh) with t below max_len");
  require(ancestors.scalar_type() == at::kLong && ancestors.numel() == rows * past.size(0) &&
              ancestors.size(-1) == past.size(0),
          "the ancestors must be (rows, t)");
}

DecoderPart::Output DecoderPart::run(const at::Tensor& tokens, const at::Tensor& ancestors, const at::Tensor& past,
                                     const at::Tensor& memory, const at::Tensor& lengths) const {
  const PartSizes& s = sizes();
  require(tokens.dim() == 2 && tokens.scalar_type() == at::kLong && tokens.size(0) >= 1 &&
              tokens.size(0) <= s.max_segments && tokens.size(1) >= 1 && tokens.size(1) <= s.max_beams,
          "a decoder step takes 1 to " + std::to_string(s.max_segments) + " segments of 1 to " +
              std::to_string(s.max_beams) + " rows of token ids");
  const int64_t N = tokens.size(0);
  require(ancestors.dim() == 3, "the decoder's ancestors must be (N, W, t)");
  check_past(ancestors, past, tokens.numel());
  require(memory.dim() == 6 && memory.size(0) == s.layers && memory.size(1) == 2 && memory.size(2) == N &&
              memory.size(3) == s.num_heads && memory.size(4) >= 1 && memory.size(4) <= s.max_len &&
              memory.size(5) == s.head_dim,
          "the memory must be (L, 2, N, h, S, dh)");
  require(lengths.dim() == 1 && lengths.size(0) == N && lengths.scalar_type() == at::kLong,
          "the memory's lengths must be (N,)");
  auto out = ModelPart::run({tokens, ancestors, past, memory, lengths});
  return {out.at(0), out.at(1)};
}

LanguageModelPart::Output LanguageModelPart::run(const at::Tensor& tokens, const at::Tensor& ancestors,
                                                 const at::Tensor& past) const {
  const PartSizes& s = sizes();
  require(tokens.dim() == 1 && tokens.scalar_type() == at::kLong && tokens.size(0) >= 1 &&
              tokens.size(0) <= s.max_rows,
          "a language model step takes 1 to " + std::to_string(s.max_rows) + " rows of token ids");
  require(ancestors.dim() == 2, "the language model's ancestors must be (R, t)");
  check_past(ancestors, past, tokens.size(0));
  auto out = ModelPart::run({tokens, ancestors, past});
  return {out.at(0), out.at(1)};
}

KeysValuesCache::KeysValuesCache(const PartSizes& s, int64_t rows, int64_t capacity)
    : buffer_(at::empty({capacity, s.layers, 2, rows, s.num_heads, s.head_dim})),
      ancestors_(at::empty({rows, capacity}, at::kLong)) {}

void KeysValuesCache::append(const at::Tensor& keys_values) {
  if (length_ >= buffer_.size(0))
    throw std::logic_error("the cache holds " + std::to_string(buffer_.size(0)) + " positions per row");
  const int64_t R = keys_values.size(2);
  buffer_.select(0, length_).narrow(2, 0, R).copy_(keys_values);
  ancestors_.select(1, length_).copy_(at::arange(R, at::kLong));
  ++length_;
}

void KeysValuesCache::reorder(const at::Tensor& rows) { ancestors_ = ancestors_.index_select(0, rows); }

}  // namespace quorlin
