#include "npy_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlin {

namespace {

// NumPy refuses longer headers too: a header is parsed before the data is trusted.
constexpr size_t kMaxHeaderChars = 10000;
// Python's limit on brackets open at once in an expression.
constexpr size_t kMaxNesting = 200;
constexpr char kMagic[] = "\x93NUMPY";
constexpr size_t kMagicSize = 6;

bool host_is_little_endian() {
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A character of a Python name (non-ASCII letters included).
bool is_name_char(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// The number of characters of UTF-8 text, or std::string::npos if it is not
// UTF-8 (as Python decodes it: no overlong forms, surrogates or values past U+10FFFF).
size_t utf8_length(const std::string &s) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++chars) {
        const unsigned char c = s[i];
        size_t len = 1;
        unsigned char low = 0x80, high = 0xbf;  // range of the second byte
        if (c >= 0xc2 && c <= 0xdf) len = 2;
        else if (c >= 0xe0 && c <= 0xef) len = 3, low = c == 0xe0 ? 0xa0 : 0x80, high = c == 0xed ? 0x9f : 0xbf;
        else if (c >= 0xf0 && c <= 0xf4) len = 4, low = c == 0xf0 ? 0x90 : 0x80, high = c == 0xf4 ? 0x8f : 0xbf;
        else if (c >= 0x80) return std::string::npos;
        if (s.size() - i < len) return std::string::npos;
        for (size_t k = 1; k < len; ++k) {
            const unsigned char b = s[i + k];
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xbf)) return std::string::npos;
        }
        i += len;
    }
    return chars;
}

// A value of the header, which is a Python literal: the kinds a header can use.
struct Value {
    enum Kind { Str, Bool, Int, Tuple, Dict } kind;
    explicit Value(Kind kind) : kind(kind) {}
    std::string str;                // Str
    size_t number = 0;              // Int (a dimension, 0 ... kMaxSize) and Bool (0 or 1)
    bool has_sign = false;          // Int written with a unary + or -
    std::vector<Value> items;       // Tuple: its items; Dict: its values
    std::vector<std::string> keys;  // Dict: its keys, all strings
};

// The header is a Python dict literal such as
//   {'descr': '<f4', 'fortran_order': False, 'shape': (80, 1200), }
// followed by spaces and a newline. This reads what NumPy reads, which is
// anything Python's ast.literal_eval takes for such a dict: any spacing,
// comments and line continuations, keys in any order (the last of repeated
// ones counts), integers in any base and with underscores (and, in files of
// format 1.0 and 2.0, with Python 2's "L" suffix), values in parentheses.
// Not read: escape sequences in strings, and bytes literals.
class HeaderParser {
public:
    HeaderParser(const std::string &text, const std::string &path, bool python2_longs)
        : s_(text), path_(path), python2_longs_(python2_longs) {}

    NpyHeader parse() {
        skip_leading_lines();
        const Value dict = parse_value(0);
        skip_space();
        if (i_ != s_.size()) fail("text after the header dictionary at " + rest());
        if (dict.kind != Value::Dict) fail("the header is not a dictionary");
        const Value *descr = nullptr, *order = nullptr, *shape = nullptr;
        for (size_t k = 0; k < dict.keys.size(); ++k) {
            const std::string &key = dict.keys[k];
            const Value *value = &dict.items[k];
            if (key == "descr") descr = value;
            else if (key == "fortran_order") order = value;
            else if (key == "shape") shape = value;
            else fail("unexpected key " + quoted(key));
        }
        if (!(descr && order && shape)) fail("header lacks 'descr', 'fortran_order' or 'shape'");
        if (descr->kind != Value::Str) fail("only simple dtypes are supported: 'descr' is not a string");
        if (order->kind != Value::Bool) fail("'fortran_order' is not True or False");
        if (shape->kind != Value::Tuple) fail("'shape' is not a tuple");
        NpyHeader h;
        h.descr = descr->str;
        h.fortran_order = order->number;
        for (const Value &dim : shape->items) {
            if (dim.kind != Value::Int) fail("'shape' holds something other than integers");
            h.shape.push_back(dim.number);
        }
        return h;
    }

private:
    [[noreturn]] void fail(const std::string &what) const {
        throw FileFormatError(path_, "malformed .npy header: " + what);
    }
    char peek(size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
    std::string rest(size_t from) const { return quoted(s_.substr(from, 20)); }
    std::string rest() const { return rest(i_); }

    // Spaces, newlines, comments and line continuations, which may stand
    // between any two tokens inside brackets.
    void skip_space() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n') ++i_;
            else if (c == '#') while (i_ < s_.size() && s_[i_] != '\n' && s_[i_] != '\r') ++i_;
            else if (c == '\\' && (peek(1) == '\n' || peek(1) == '\r')) i_ += 2;
            else break;
        }
    }
    // Before the dictionary: spaces and tabs (literal_eval strips them), then
    // blank or comment lines; the line of the dictionary is not indented.
    void skip_leading_lines() {
        while (peek() == ' ' || peek() == '\t') ++i_;
        while (true) {
            size_t j = i_, indent_start = i_;
            for (; j < s_.size() && (s_[j] == ' ' || s_[j] == '\t' || s_[j] == '\f'); ++j)
                if (s_[j] == '\f') indent_start = j + 1;  // a form feed resets the indentation
            if (j < s_.size() && s_[j] == '#')
                while (j < s_.size() && s_[j] != '\n' && s_[j] != '\r') ++j;
            if (j < s_.size() && (s_[j] == '\n' || s_[j] == '\r')) {
                i_ = j + 1;
                continue;
            }
            if (j > indent_start) fail("unexpected indentation before the header dictionary");
            i_ = j;
            return;
        }
    }
    void expect(char c) {
        skip_space();
        if (peek() != c) fail(std::string("expected '") + c + "' at " + rest());
        ++i_;
    }
    bool at_string() const {
        const char c = peek(), next = peek(1);
        return c == '\'' || c == '"' || ((c == 'u' || c == 'U' || c == 'r' || c == 'R') && (next == '\'' || next == '"'));
    }

    Value parse_value(size_t depth) {
        skip_space();
        const char c = peek();
        if (c == '(' || c == '{') {
            if (depth == kMaxNesting) fail("brackets nested too deeply");
            ++i_;
            return c == '(' ? parse_parenthesized(depth + 1) : parse_dict(depth + 1);
        }
        if (c == '+' || c == '-') return parse_signed(depth);
        if (is_digit(c)) return parse_int();
        if (at_string()) return parse_strings();
        if (is_name_char(c)) {
            const size_t start = i_;
            while (is_name_char(peek())) ++i_;
            const std::string name = s_.substr(start, i_ - start);
            if (name != "True" && name != "False") fail("expected True or False at " + rest(start));
            Value v{Value::Bool};
            v.number = name == "True";
            return v;
        }
        fail("expected a value at " + rest());
    }

    // After '(': the empty tuple, a value in parentheses, or a tuple.
    Value parse_parenthesized(size_t depth) {
        skip_space();
        Value tuple{Value::Tuple};
        if (peek() == ')') {
            ++i_;
            return tuple;
        }
        Value first = parse_value(depth);
        skip_space();
        if (peek() == ')') {
            ++i_;
            return first;
        }
        tuple.items.push_back(std::move(first));
        while (peek() != ')') {
            if (peek() != ',') fail("expected ',' or ')' at " + rest());
            ++i_;
            skip_space();
            if (peek() == ')') break;
            tuple.items.push_back(parse_value(depth));
            skip_space();
        }
        ++i_;
        return tuple;
    }

    // After '{'.
    Value parse_dict(size_t depth) {
        Value dict{Value::Dict};
        skip_space();
        while (peek() != '}') {
            const Value key = parse_value(depth);
            if (key.kind != Value::Str) fail("a key is not a string");
            expect(':');
            dict.keys.push_back(key.str);
            dict.items.push_back(parse_value(depth));
            skip_space();
            if (peek() == ',') {
                ++i_;
                skip_space();
            } else if (peek() != '}') {
                fail("expected ',' or '}' at " + rest());
            }
        }
        ++i_;
        return dict;
    }

    // One unary sign before a number; -0 is the only negative dimension there is.
    Value parse_signed(size_t depth) {
        const size_t start = i_;
        const bool minus = s_[i_++] == '-';
        skip_space();
        if (peek() == '+' || peek() == '-') fail("expected a number at " + rest());
        Value v = parse_value(depth);
        if (v.kind != Value::Int || v.has_sign) fail("expected a number after the sign at " + rest(start));
        if (minus && v.number != 0) fail("negative dimension at " + rest(start));
        v.has_sign = true;
        return v;
    }

    // A Python integer literal: 1_200, 0, 00, 0x4b0, 0o2260, 0b1.
    Value parse_int() {
        const size_t start = i_;
        size_t base = 10;
        const char prefix = peek(1) | 0x20;  // lower case
        if (peek() == '0' && (prefix == 'x' || prefix == 'o' || prefix == 'b')) {
            base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : 2;
            i_ += 2;
        }
        Value v{Value::Int};
        bool too_large = false;
        size_t digits = 0;
        while (true) {
            const size_t at = peek() == '_' && (digits > 0 || base != 10) ? i_ + 1 : i_;  // one '_' between digits
            const char c = at < s_.size() ? s_[at] : '\0';
            const char lower = c | 0x20;
            const size_t d = is_digit(c) ? size_t(c - '0') : lower >= 'a' && lower <= 'f' ? size_t(lower - 'a' + 10) : 99;
            if (d >= base) break;
            too_large |= multiply_overflows(v.number, base, &v.number) || add_overflows(v.number, d, &v.number);
            ++digits;
            i_ = at + 1;
        }
        // Decimal literals other than zeros have no leading zero.
        if (digits == 0 || (base == 10 && s_[start] == '0' && v.number != 0)) fail("expected an integer at " + rest(start));
        if (python2_longs_ && peek() == 'L' && !is_name_char(peek(1))) ++i_;
        if (peek() == '.' || is_name_char(peek())) fail("expected an integer at " + rest(start));
        if (too_large) fail("dimension " + s_.substr(start, i_ - start) + " is too large");
        return v;
    }

    // Adjacent string literals, which Python joins.
    Value parse_strings() {
        Value v{Value::Str};
        while (at_string()) {
            if (peek() != '\'' && peek() != '"') ++i_;  // u or r: the same text without escapes
            const char quote = peek();
            const bool triple = peek(1) == quote && peek(2) == quote;
            i_ += triple ? 3 : 1;
            while (true) {
                if (i_ == s_.size()) fail("unterminated string");
                const char c = s_[i_];
                if (c == '\\') fail("escape sequences in strings are not supported, at " + rest());
                if (!triple && (c == '\n' || c == '\r')) fail("unterminated string");
                if (c == quote && (!triple || (peek(1) == quote && peek(2) == quote))) break;
                v.str += c;
                ++i_;
            }
            i_ += triple ? 3 : 1;
            skip_space();
        }
        return v;
    }

    const std::string &s_;
    const std::string &path_;
    const bool python2_longs_;
    size_t i_ = 0;
};

// "<f4" -> kind 'f', 4 bytes; "<U12" -> 'U', 48 bytes; "|O" -> 'O'. Sizes are
// NumPy's for bool, integers, floats and complex numbers; anything else
// (structured, datetime, ...) leaves kind 0.
void parse_descr(NpyHeader &h) {
    const std::string &d = h.descr;
    if (d.size() < 2 || !std::strchr("<>|=", d[0]) || !std::strchr("biufcSUVO", d[1])) return;
    const char kind = d[1];
    const std::string digits = d.substr(2);
    if (!std::all_of(digits.begin(), digits.end(), is_digit)) return;
    if (kind == 'O') {
        if (!digits.empty() && digits != "8") return;
    } else {
        if (digits.empty() || digits.size() > 9) return;
        const size_t n = std::stoul(digits);
        const bool valid = kind == 'b'                 ? n == 1
                           : kind == 'i' || kind == 'u' ? n == 1 || n == 2 || n == 4 || n == 8
                           : kind == 'f'                ? n == 2 || n == 4 || n == 8 || n == 16
                           : kind == 'c'                ? n == 8 || n == 16 || n == 32
                                                        : true;
        if (!valid) return;
        h.item_size = kind == 'U' ? 4 * n : n;
    }
    h.kind = kind;
    const bool little = host_is_little_endian();
    h.swap_bytes = (d[0] == '<' && !little) || (d[0] == '>' && little);
}

}  // namespace

InputFile::InputFile(const std::string &path) : path_(path) {
    // Non-blocking, so that opening a FIFO returns at once and is refused below.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) throw SystemError(errno, path);
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        const int code = errno;
        ::close(fd_);
        throw SystemError(code, path);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw FileFormatError(path, "not a regular file");
    }
    size_ = static_cast<size_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

void InputFile::read_at(void *dst, size_t n, size_t offset) const {
    char *out = static_cast<char *>(dst);
    while (n > 0) {
        const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw SystemError(errno, path_);
        }
        if (got == 0) throw FileFormatError(path_, "truncated .npy file (it shrank while being read)");
        out += got;
        offset += static_cast<size_t>(got);
        n -= static_cast<size_t>(got);
    }
}

NpyHeader read_npy_header(const InputFile &file) {
    const std::string &path = file.path();
    // Magic string, version, and the header length (2 bytes in 1.0, 4 after).
    unsigned char prefix[kMagicSize + 2 + 4] = {};
    if (file.size() < kMagicSize + 2)
        throw FileFormatError(path, "not a .npy file (only " + std::to_string(file.size()) + " bytes)");
    file.read_at(prefix, std::min(sizeof prefix, file.size()), 0);
    if (std::memcmp(prefix, kMagic, kMagicSize) != 0) throw FileFormatError(path, "not a .npy file (bad magic string)");
    const unsigned major = prefix[kMagicSize], minor = prefix[kMagicSize + 1];
    if (major < 1 || major > 3 || minor != 0)
        throw FileFormatError(path, "unsupported .npy format version " + std::to_string(major) + "." + std::to_string(minor));
    const size_t len_size = major == 1 ? 2 : 4;
    const size_t header_start = kMagicSize + 2 + len_size;
    if (file.size() < header_start) throw FileFormatError(path, "truncated .npy file (no header length)");
    size_t header_len = 0;
    for (size_t b = 0; b < len_size; ++b) header_len |= size_t(prefix[kMagicSize + 2 + b]) << (8 * b);
    // Format 3.0 headers are UTF-8, the older ones Latin-1 (a character per byte).
    const bool utf8 = major == 3;
    const auto too_long = [&](size_t chars) {
        return FileFormatError(path, "malformed .npy header: " + std::to_string(chars) + " characters is too long");
    };
    if (header_len > (utf8 ? 4 : 1) * kMaxHeaderChars) throw too_long(header_len);
    if (file.size() < header_start + header_len)
        throw FileFormatError(path, "truncated .npy file (the header needs " + std::to_string(header_start + header_len) +
                                        " bytes, the file has " + std::to_string(file.size()) + ")");
    std::string text(header_len, '\0');
    file.read_at(text.data(), header_len, header_start);
    if (text.find('\0') != std::string::npos) throw FileFormatError(path, "malformed .npy header: it holds a NUL byte");
    if (utf8) {
        const size_t chars = utf8_length(text);
        if (chars == std::string::npos) throw FileFormatError(path, "malformed .npy header: it is not UTF-8");
        if (chars > kMaxHeaderChars) throw too_long(chars);
    }

    NpyHeader h = HeaderParser(text, path, major < 3).parse();
    parse_descr(h);
    h.data_offset = header_start + header_len;
    // As NumPy: the element count, and the byte size of items that have one,
    // fit in an ssize_t, except that a dimension of 0 makes any array empty
    // whose items have no size.
    size_t product = 1, bytes = 0;
    bool empty = false, too_large = false;
    for (const size_t dim : h.shape) {
        if (dim == 0) empty = true;
        else too_large |= multiply_overflows(product, dim, &product);
    }
    if (h.item_size) too_large |= multiply_overflows(product, h.item_size, &bytes);
    else if (empty) too_large = false;
    if (too_large) throw FileFormatError(path, "malformed .npy header: shape " + shape_str(h.shape) + " is too large");
    h.num_items = empty ? 0 : product;
    const size_t available = file.size() - h.data_offset;
    if (h.kind == 'O') {
        h.data_size = available;
    } else {
        h.data_size = h.num_items * h.item_size;
        if (available < h.data_size)
            throw FileFormatError(path, "truncated .npy file (shape " + shape_str(h.shape) + " of " + quoted(h.descr) +
                                            " needs " + std::to_string(h.data_size) + " data bytes, the file has " +
                                            std::to_string(available) + ")");
    }
    return h;
}

std::string shape_str(const std::vector<size_t> &shape) {
    std::string out = "(";
    for (size_t k = 0; k < shape.size(); ++k) out += (k ? ", " : "") + std::to_string(shape[k]);
    return out + (shape.size() == 1 ? ",)" : ")");
}

std::string quoted(const std::string &text) {
    std::string out = "'";
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out + "'";
}

void swap_item_bytes(void *data, size_t n, size_t item_size) {
    unsigned char *p = static_cast<unsigned char *>(data);
    for (size_t i = 0; i < n; ++i, p += item_size) std::reverse(p, p + item_size);
}

}  // namespace quorlin
