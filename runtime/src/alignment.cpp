#include "alignment.h"

#include <limits>
#include <stdexcept>

#include "text.h"
#include "vocabulary.h"

namespace quorlin {
namespace {

struct WordSpan {
  std::string text;
  size_t first, last;  // indices of its first and last token
};

// (word, first token, last token) of each word of the text of `ids`: token k holds the
// characters from the end of the text of ids[:k] to the end of ids[:k + 1].
std::vector<WordSpan> word_token_spans(const std::vector<int64_t>& ids, const Vocabulary& vocabulary) {
  const std::u32string text = decode(vocabulary, ids);
  std::vector<size_t> owner;
  size_t end = 0;
  for (size_t k = 0; k < ids.size(); ++k) {
    const std::vector<int64_t> prefix(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k) + 1);
    end = std::min(std::max(end, decode(vocabulary, prefix).size()), text.size());
    owner.resize(end, k);
  }
  std::vector<WordSpan> spans;
  for (size_t i = 0; i < text.size();) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && !is_space(text[j])) ++j;
    spans.push_back({to_utf8(text.substr(i, j - i)), owner[i], owner[j - 1]});
    i = j;
  }
  return spans;
}

}  // namespace

std::vector<int64_t> forced_align(const at::Tensor& log_probs, const std::vector<int64_t>& targets, int64_t blank) {
  const at::Tensor lp = log_probs.to(at::kFloat).contiguous();
  const auto y = lp.accessor<float, 2>();
  const int64_t T = lp.size(0), L = static_cast<int64_t>(targets.size()), S = 2 * L + 1;
  constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();
  int64_t R = 0;
  for (int64_t i = 1; i < L; ++i) R += targets[i] == targets[i - 1];
  if (T < L + R) throw std::logic_error("too few frames for the targets");
  std::vector<float> alphas(2 * S, kMinusInfinity);
  std::vector<int8_t> back(static_cast<size_t>(T * S), -1);
  const auto label = [&](int64_t i) { return i % 2 == 0 ? blank : targets[i / 2]; };
  int64_t start = T - (L + R) > 0 ? 0 : 1, end = S == 1 ? 1 : 2;
  for (int64_t i = start; i < end; ++i) alphas[i] = y[0][label(i)];
  for (int64_t t = 1; t < T; ++t) {
    if (T - t <= L + R) {
      if (start % 2 == 1 && targets[start / 2] != targets[start / 2 + 1]) ++start;
      ++start;
    }
    if (t <= L + R) {
      if (end % 2 == 0 && end < 2 * L && targets[end / 2 - 1] != targets[end / 2]) ++end;
      ++end;
    }
    float* current = &alphas[(t % 2) * S];
    const float* previous = &alphas[((t - 1) % 2) * S];
    std::fill(current, current + S, kMinusInfinity);
    int64_t from = start;
    if (start == 0) {
      current[0] = previous[0] + y[t][blank];
      back[t * S] = 0;
      from = 1;
    }
    for (int64_t i = from; i < end; ++i) {
      const float x0 = previous[i], x1 = previous[i - 1];
      float x2 = kMinusInfinity;
      if (i % 2 != 0 && i != 1 && targets[i / 2] != targets[i / 2 - 1]) x2 = previous[i - 2];
      float best;
      if (x2 > x1 && x2 > x0) {
        best = x2;
        back[t * S + i] = 2;
      } else if (x1 > x0 && x1 > x2) {
        best = x1;
        back[t * S + i] = 1;
      } else {
        best = x0;
        back[t * S + i] = 0;
      }
      current[i] = best + y[t][label(i)];
    }
  }
  const float* last = &alphas[((T - 1) % 2) * S];
  int64_t state = S == 1 || last[S - 1] > last[S - 2] ? S - 1 : S - 2;
  std::vector<int64_t> path(static_cast<size_t>(T));
  for (int64_t t = T - 1; t >= 0; --t) {
    path[t] = label(state);
    state -= back[t * S + state];
  }
  return path;
}

std::vector<Word> align_words(const at::Tensor& log_probs, const std::vector<int64_t>& token_ids,
                              const Vocabulary& vocabulary, double position_seconds, double offset) {
  std::vector<int64_t> ids;
  for (int64_t id : token_ids)
    if (id != vocabulary.pad_id && id != vocabulary.sos_id && id != vocabulary.eos_id) ids.push_back(id);
  const std::vector<WordSpan> spans = word_token_spans(ids, vocabulary);
  if (spans.empty()) return {};
  const int64_t frames = log_probs.size(0);
  std::vector<int64_t> targets = ids;
  targets.push_back(vocabulary.eos_id);
  // CTC needs a blank between repeated labels.
  int64_t needed = static_cast<int64_t>(targets.size());
  for (size_t i = 1; i < targets.size(); ++i) needed += targets[i] == targets[i - 1];
  // The aligner's path is not valid when every path scores -inf: a floor on the scores keeps
  // some path finite without changing which one is best otherwise.
  const at::Tensor floored = log_probs.to(at::kFloat).clamp_min(-1e6);
  if (needed > frames || floored.isnan().any().item<bool>()) {
    std::vector<std::string> texts;
    for (const WordSpan& span : spans) texts.push_back(span.text);
    return spread_words(texts, offset, offset + static_cast<double>(frames) * position_seconds);
  }
  // Runs of one label in the path, blanks left out: the frames of each target.
  const std::vector<int64_t> path = forced_align(floored, targets, vocabulary.pad_id);
  std::vector<std::pair<int64_t, int64_t>> token_frames;
  for (int64_t t = 0; t < frames;) {
    int64_t u = t;
    while (u < frames && path[u] == path[t]) ++u;
    if (path[t] != vocabulary.pad_id) token_frames.emplace_back(t, u);
    t = u;
  }
  std::vector<Word> words;
  for (const WordSpan& span : spans)
    words.push_back({offset + static_cast<double>(token_frames.at(span.first).first) * position_seconds,
                     offset + static_cast<double>(token_frames.at(span.last).second) * position_seconds, span.text});
  return words;
}

std::vector<Word> spread_words(const std::vector<std::string>& texts, double start, double end) {
  size_t total = 0;
  for (const std::string& text : texts) total += to_code_points(text).size();
  std::vector<Word> words;
  size_t done = 0;
  for (const std::string& text : texts) {
    const double first = start + (end - start) * static_cast<double>(done) / static_cast<double>(total);
    done += to_code_points(text).size();
    words.push_back({first, start + (end - start) * static_cast<double>(done) / static_cast<double>(total), text});
  }
  return words;
}

}  // namespace quorlin
