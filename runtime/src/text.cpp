#include "text.h"

#include <cstdio>

namespace quorlin {
namespace {

// Length of the UTF-8 sequence at bytes[i], or 0 when it is not valid UTF-8.
size_t sequence_length(const std::string& bytes, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = byte(i);
  size_t n;
  char32_t least;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) n = 2, least = 0x80;
  else if ((lead & 0xF0) == 0xE0) n = 3, least = 0x800;
  else if ((lead & 0xF8) == 0xF0) n = 4, least = 0x10000;
  else return 0;
  if (i + n > bytes.size()) return 0;
  char32_t c = lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::u32string to_code_points(const std::string& utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = sequence_length(utf8, i);
    if (n == 0) {  // not expected: kept as the Latin-1 character of the byte
      out += static_cast<unsigned char>(utf8[i++]);
      continue;
    }
    char32_t c = static_cast<unsigned char>(utf8[i]) & (n == 1 ? 0x7F : 0x7F >> n);
    for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out += c;
    i += n;
  }
  return out;
}

std::string to_utf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

bool is_valid_utf8(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = sequence_length(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::vector<std::string> split_words(const std::string& utf8) {
  std::vector<std::string> words;
  std::u32string word;
  for (char32_t c : to_code_points(utf8) + U" ") {
    if (!is_space(c)) {
      word += c;
    } else if (!word.empty()) {
      words.push_back(to_utf8(word));
      word.clear();
    }
  }
  return words;
}

bool is_blank(const std::string& utf8) {
  for (char32_t c : to_code_points(utf8))
    if (!is_space(c)) return false;
  return true;
}

std::string python_repr(const std::string& utf8) {
  const std::u32string text = to_code_points(utf8);
  const bool single = text.find(U'\'') == std::u32string::npos || text.find(U'"') != std::u32string::npos;
  const char32_t quote = single ? U'\'' : U'"';
  std::string out(1, static_cast<char>(quote));
  for (char32_t c : text) {
    char escape[12];
    if (c == quote || c == U'\\') {
      out += '\\';
      append_utf8(out, c);
    } else if (c == U'\t') {
      out += "\\t";
    } else if (c == U'\n') {
      out += "\\n";
    } else if (c == U'\r') {
      out += "\\r";
    } else if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
      out += escape;
    } else if ((c >= 0x2028 && c <= 0x2029) || (c >= 0xD800 && c <= 0xDFFF)) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      append_utf8(out, c);
    }
  }
  out += static_cast<char>(quote);
  return out;
}

std::string printable(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = sequence_length(bytes, i);
    if (n == 0) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(bytes[i]));
      out += escape;
      ++i;
    } else {
      out.append(bytes, i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace quorlin
