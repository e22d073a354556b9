#include "npy_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlin {

namespace {

// NumPy refuses longer headers too: a header is parsed before the data is trusted.
constexpr size_t kMaxHeaderSize = 10000;
constexpr char kMagic[] = "\x93NUMPY";
constexpr size_t kMagicSize = 6;

bool host_is_little_endian() {
    const uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool multiply_overflows(size_t a, size_t b, size_t *out) {
    return __builtin_mul_overflow(a, b, out);
}

// The header is a Python dict literal such as
//   {'descr': '<f4', 'fortran_order': False, 'shape': (80, 1200), }
// followed by spaces and a newline; this reads exactly that grammar.
class HeaderParser {
public:
    HeaderParser(const std::string &text, const std::string &path) : s_(text), path_(path) {}

    NpyHeader parse() {
        NpyHeader h;
        bool seen_descr = false, seen_order = false, seen_shape = false;
        expect('{');
        while (true) {
            skip_space();
            if (peek() == '}') break;
            const std::string key = parse_string();
            expect(':');
            skip_space();
            if (key == "descr" && !seen_descr) {
                if (peek() != '\'' && peek() != '"') fail("only simple dtypes are supported, not " + rest());
                h.descr = parse_string();
                seen_descr = true;
            } else if (key == "fortran_order" && !seen_order) {
                h.fortran_order = parse_bool();
                seen_order = true;
            } else if (key == "shape" && !seen_shape) {
                h.shape = parse_shape();
                seen_shape = true;
            } else {
                fail("unexpected key '" + key + "'");
            }
            skip_space();
            if (peek() == ',') { ++i_; continue; }
            if (peek() != '}') fail("expected ',' or '}' at " + rest());
        }
        ++i_;
        skip_space();
        if (i_ != s_.size()) fail("text after the header dictionary");
        if (!(seen_descr && seen_order && seen_shape)) fail("header lacks 'descr', 'fortran_order' or 'shape'");
        return h;
    }

private:
    [[noreturn]] void fail(const std::string &what) const {
        throw FileFormatError(path_, "malformed .npy header: " + what);
    }
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    std::string rest() const { return "'" + s_.substr(i_, 20) + "'"; }
    void skip_space() {
        while (i_ < s_.size() && is_space(s_[i_])) ++i_;
    }
    void expect(char c) {
        skip_space();
        if (peek() != c) fail(std::string("expected '") + c + "' at " + rest());
        ++i_;
    }
    std::string parse_string() {
        skip_space();
        const char quote = peek();
        if (quote != '\'' && quote != '"') fail("expected a quoted string at " + rest());
        const size_t end = s_.find(quote, i_ + 1);
        if (end == std::string::npos) fail("unterminated string");
        std::string out = s_.substr(i_ + 1, end - i_ - 1);
        i_ = end + 1;
        return out;
    }
    bool parse_bool() {
        if (s_.compare(i_, 4, "True") == 0) { i_ += 4; return true; }
        if (s_.compare(i_, 5, "False") == 0) { i_ += 5; return false; }
        fail("expected True or False at " + rest());
    }
    size_t parse_int() {
        if (!is_digit(peek())) fail("expected an integer at " + rest());
        size_t v = 0;
        while (is_digit(peek())) {
            if (multiply_overflows(v, 10, &v) || __builtin_add_overflow(v, size_t(peek() - '0'), &v))
                fail("dimension too large");
            ++i_;
        }
        return v;
    }
    std::vector<size_t> parse_shape() {
        std::vector<size_t> shape;
        expect('(');
        skip_space();
        while (peek() != ')') {
            shape.push_back(parse_int());
            skip_space();
            if (peek() == ',') { ++i_; skip_space(); }
            else if (peek() != ')') fail("expected ',' or ')' in the shape at " + rest());
        }
        ++i_;
        return shape;
    }

    const std::string &s_;
    const std::string &path_;
    size_t i_ = 0;
};

// "<f4" -> kind 'f', 4 bytes; "<U12" -> 'U', 48 bytes; "|O" -> 'O'.
// Anything else (structured, datetime, ...) leaves kind 0.
void parse_descr(NpyHeader &h) {
    const std::string &d = h.descr;
    if (d.size() < 2 || (d[0] != '<' && d[0] != '>' && d[0] != '|' && d[0] != '=')) return;
    const char kind = d[1];
    const std::string digits = d.substr(2);
    if (!std::all_of(digits.begin(), digits.end(), is_digit)) return;
    if (kind == 'O') {
        if (!digits.empty()) return;
    } else {
        if (digits.empty() || digits.size() > 6) return;
        h.item_size = std::stoul(digits) * (kind == 'U' ? 4 : 1);
    }
    h.kind = kind;
    const bool little = host_is_little_endian();
    h.swap_bytes = (d[0] == '<' && !little) || (d[0] == '>' && little);
}

}  // namespace

InputFile::InputFile(const std::string &path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw SystemError(errno, path);
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        const int code = errno;
        ::close(fd_);
        throw SystemError(code, path);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd_);
        throw SystemError(EISDIR, path);
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
    if (header_len > kMaxHeaderSize)
        throw FileFormatError(path, "malformed .npy header: " + std::to_string(header_len) + " bytes is too long");
    if (file.size() < header_start + header_len)
        throw FileFormatError(path, "truncated .npy file (the header needs " + std::to_string(header_start + header_len) +
                                        " bytes, the file has " + std::to_string(file.size()) + ")");
    std::string text(header_len, '\0');
    file.read_at(text.data(), header_len, header_start);

    NpyHeader h = HeaderParser(text, path).parse();
    parse_descr(h);
    h.data_offset = header_start + header_len;
    for (size_t dim : h.shape)
        if (multiply_overflows(h.num_items, dim, &h.num_items))
            throw FileFormatError(path, "malformed .npy header: shape " + shape_str(h.shape) + " is too large");
    const size_t available = file.size() - h.data_offset;
    if (h.kind == 'O') {
        h.data_size = available;
    } else {
        if (multiply_overflows(h.num_items, h.item_size, &h.data_size))
            throw FileFormatError(path, "malformed .npy header: shape " + shape_str(h.shape) + " is too large");
        if (available < h.data_size)
            throw FileFormatError(path, "truncated .npy file (shape " + shape_str(h.shape) + " of '" + h.descr + "' needs " +
                                            std::to_string(h.data_size) + " data bytes, the file has " +
                                            std::to_string(available) + ")");
    }
    return h;
}

std::string shape_str(const std::vector<size_t> &shape) {
    std::string out = "(";
    for (size_t k = 0; k < shape.size(); ++k) out += (k ? ", " : "") + std::to_string(shape[k]);
    return out + (shape.size() == 1 ? ",)" : ")");
}

void swap_item_bytes(void *data, size_t n, size_t item_size) {
    unsigned char *p = static_cast<unsigned char *>(data);
    for (size_t i = 0; i < n; ++i, p += item_size) std::reverse(p, p + item_size);
}

}  // namespace quorlin
