#include "vocabulary.h"

#include "text.h"

namespace quorlin {
namespace {

// The characters a tokenizer's model never sees as they are (quorlin.data.tokenizer): it sees
// the stand-in of each instead, and an escape before a stand-in or the escape itself.
constexpr char32_t kEscape = 0xF0000;
const std::u32string kReserved = U"\n\r" + std::u32string(1, U'\0') + U"\x1f\u2581\u2585<";

std::u32string unescaped(const std::u32string& text) {
  std::u32string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c == kEscape) {
      if (i + 1 < text.size()) out += text[++i];  // a stray escape at the end is dropped
    } else if (c > kEscape && c <= kEscape + kReserved.size()) {
      out += kReserved[c - kEscape - 1];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::u32string decode(const Vocabulary& vocabulary, const std::vector<int64_t>& ids) {
  std::u32string text, run;
  const auto end_run = [&] {
    text += vocabulary.escaped ? unescaped(run) : run;
    run.clear();
  };
  for (int64_t id : ids) {
    if (id == vocabulary.pad_id || id == vocabulary.sos_id || id == vocabulary.eos_id) {
      end_run();
    } else {
      run += to_code_points(vocabulary.pieces.at(static_cast<size_t>(id)));
    }
  }
  end_run();
  return text;
}

}  // namespace quorlin
