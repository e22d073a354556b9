#include "json.h"

#include "text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace quorlin {
namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  Json document() {
    Json value = parse_value(0);
    skip_space();
    if (at_ < text_.size()) fail("unexpected text after the document");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(what + " at byte " + std::to_string(at_));
  }

  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }

  bool take(char c) {
    skip_space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }

  bool take_word(const char* word) {
    const std::string w(word);
    if (text_.compare(at_, w.size(), w) == 0) {
      at_ += w.size();
      return true;
    }
    return false;
  }

  Json parse_value(int depth) {
    if (depth > 64) fail("nesting too deep");
    skip_space();
    if (at_ >= text_.size()) fail("unexpected end");
    const char c = text_[at_];
    if (c == '{') return parse_object(depth);
    if (c == '[') return parse_array(depth);
    if (c == '"') return Json(parse_string());
    if (take_word("true")) return Json(true);
    if (take_word("false")) return Json(false);
    if (take_word("null")) return Json(nullptr);
    return Json(parse_number());
  }

  Json parse_object(int depth) {
    expect('{');
    Json::Object object;
    if (take('}')) return Json(std::move(object));
    do {
      skip_space();
      if (at_ >= text_.size() || text_[at_] != '"') fail("expected a key");
      std::string key = parse_string();
      expect(':');
      object[key] = parse_value(depth + 1);
    } while (take(','));
    expect('}');
    return Json(std::move(object));
  }

  Json parse_array(int depth) {
    expect('[');
    Json::Array array;
    if (take(']')) return Json(std::move(array));
    do {
      array.push_back(parse_value(depth + 1));
    } while (take(','));
    expect(']');
    return Json(std::move(array));
  }

  unsigned hex4() {
    if (at_ + 4 > text_.size()) fail("bad \\u escape");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[at_++];
      value <<= 4;
      if (h >= '0' && h <= '9') value |= h - '0';
      else if (h >= 'a' && h <= 'f') value |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F') value |= h - 'A' + 10;
      else fail("bad \\u escape");
    }
    return value;
  }

  std::string parse_string() {
    ++at_;  // the opening quote
    std::string out;
    while (true) {
      if (at_ >= text_.size()) fail("unterminated string");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) fail("unterminated string");
      const char e = text_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          char32_t code = hex4();
          if (code >= 0xD800 && code <= 0xDBFF && text_.compare(at_, 2, "\\u") == 0) {
            const size_t back = at_;
            at_ += 2;
            const unsigned low = hex4();
            if (low >= 0xDC00 && low <= 0xDFFF) code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            else at_ = back;
          }
          append_utf8(out, code);
          break;
        }
        default: fail("bad escape");
      }
    }
  }

  double parse_number() {
    const size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    while (at_ < text_.size() && std::string("0123456789.eE+-").find(text_[at_]) != std::string::npos) ++at_;
    if (at_ == start) fail("unexpected character");
    const std::string number = text_.substr(start, at_ - start);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size()) fail("bad number");
    return value;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

Json parse_json(const std::string& text) { return Parser(text).document(); }

std::string json_string(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buffer[64];
  const double magnitude = std::fabs(value);
  // Python's repr switches to an exponent below 1e-4 and from 1e16 on.
  const bool exponent = magnitude != 0 && (magnitude < 1e-4 || magnitude >= 1e16);
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    exponent ? std::chars_format::scientific : std::chars_format::fixed);
  std::string text(buffer, result.ptr);
  if (exponent) {
    // "1e-05" as Python writes it: a signed exponent of at least two digits.
    const size_t e = text.find('e');
    std::string mantissa = text.substr(0, e), power = text.substr(e + 1);
    const char sign = power[0] == '-' ? '-' : '+';
    if (power[0] == '-' || power[0] == '+') power.erase(0, 1);
    if (power.size() < 2) power.insert(0, "0");
    return mantissa + "e" + sign + power;
  }
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace quorlin
