// Text as Python sees it: code points, its whitespace, its repr of a string, and file names
// that are not UTF-8 shown with escapes.
#pragma once

#include <string>
#include <vector>

namespace quorlin {

std::u32string to_code_points(const std::string& utf8);  // valid UTF-8 expected
std::string to_utf8(const std::u32string& text);
void append_utf8(std::string& out, char32_t c);
bool is_valid_utf8(const std::string& bytes);

// Python's str.isspace() of one code point (what \s and str.split() count as whitespace).
bool is_space(char32_t c);
// str.split(): the runs of non-whitespace characters.
std::vector<std::string> split_words(const std::string& utf8);
// Whether the text holds nothing but whitespace (str.strip() == "").
bool is_blank(const std::string& utf8);

// repr() of a str: quoted, with backslashes, the quote and control characters escaped.
std::string python_repr(const std::string& utf8);
// The bytes of a file name as printable text: bytes that are not UTF-8 as \xNN escapes.
std::string printable(const std::string& bytes);

}  // namespace quorlin
