// JSON: a reader for the export's manifest, and the number and string forms of Python's json
// module for the transcripts written out.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quorlin {

class Json {
 public:
  using Array = std::vector<Json>;
  using Object = std::map<std::string, Json>;

  Json() = default;
  explicit Json(std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value)
      : value_(std::move(value)) {}

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(value_); }
  bool is_bool() const { return std::holds_alternative<bool>(value_); }
  bool is_number() const { return std::holds_alternative<double>(value_); }
  bool is_string() const { return std::holds_alternative<std::string>(value_); }
  bool is_array() const { return std::holds_alternative<Array>(value_); }
  bool is_object() const { return std::holds_alternative<Object>(value_); }

  bool boolean() const { return std::get<bool>(value_); }
  double number() const { return std::get<double>(value_); }
  const std::string& string() const { return std::get<std::string>(value_); }
  const Array& array() const { return std::get<Array>(value_); }
  const Object& object() const { return std::get<Object>(value_); }

 private:
  std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value_{nullptr};
};

// Parses a whole JSON text; std::runtime_error says what is wrong and at which byte.
Json parse_json(const std::string& text);

// A string as json.dumps(..., ensure_ascii=False) writes it, quotes included.
std::string json_string(const std::string& utf8);
// A number as Python's repr of a float writes it: the shortest text that reads back the same,
// with ".0" on whole numbers.
std::string json_number(double value);

}  // namespace quorlin
