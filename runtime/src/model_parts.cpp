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
    if (found == metadata.end()) throw Error(file.string() + " is not a part of a quorlin export (it has no " + key + ")");
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
  sizes_ = {size("layers"), size("num_heads"), size("head_dim"), size("max_len"), size("vocab_size"), size("max_rows")};
  if (name == "encoder") {
    sizes_.num_mel_bins = size("num_mel_bins");
    sizes_.min_frames = size("min_frames");
    sizes_.max_frames = size("max_frames");
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

StepPart::Output StepPart::run(const at::Tensor& tokens, const at::Tensor& past, const at::Tensor& memory) const {
  const PartSizes& s = sizes();
  const int64_t R = tokens.size(0);
  require(tokens.dim() == 1 && tokens.scalar_type() == at::kLong && R >= 1 && R <= s.max_rows,
          "a step takes 1 to " + std::to_string(s.max_rows) + " rows of token ids");
  require(past.dim() == 6 && past.size(0) < s.max_len &&
              past.sizes().slice(1).vec() == std::vector<int64_t>{s.layers, 2, R, s.num_heads, s.head_dim},
          "past keys and values must be (t, L, 2, R, h, dh) with t below max_len");
  std::vector<at::Tensor> inputs{tokens, past};
  if (memory.defined()) {
    require(memory.dim() == 5 && memory.size(3) >= 1 && memory.size(3) <= s.max_len &&
                memory.size(0) == s.layers && memory.size(1) == 2 && memory.size(2) == s.num_heads &&
                memory.size(4) == s.head_dim,
            "the memory must be (L, 2, h, S, dh)");
    inputs.push_back(memory);
  }
  auto out = ModelPart::run(inputs);
  return {out.at(0), out.at(1)};
}

KeysValuesCache::KeysValuesCache(const PartSizes& s, int64_t rows, int64_t capacity)
    : buffer_(at::empty({capacity, s.layers, 2, rows, s.num_heads, s.head_dim})) {}

void KeysValuesCache::append(const at::Tensor& keys_values) {
  if (length_ >= buffer_.size(0))
    throw std::logic_error("the cache holds " + std::to_string(buffer_.size(0)) + " positions per row");
  buffer_.select(0, length_).copy_(keys_values);
  ++length_;
}

void KeysValuesCache::reorder(const at::Tensor& rows) {
  at::Tensor moved = at::empty({buffer_.size(0), buffer_.size(1), 2, rows.size(0), buffer_.size(4), buffer_.size(5)});
  moved.narrow(0, 0, length_).copy_(past().index_select(3, rows));
  buffer_ = moved;
}

}  // namespace quorlin
