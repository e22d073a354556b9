// Reading NumPy .npy files (format versions 1.0, 2.0 and 3.0) without Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorlin {

// Paths are byte strings, as the file system stores them.

// A file whose contents are unusable; reaches Python as ValueError, whose
// message starts with the file's path. `message` is UTF-8: whatever it quotes
// from a file goes through quoted().
struct FileFormatError : std::invalid_argument {
    FileFormatError(const std::string &file, const std::string &what)
        : std::invalid_argument(file + ": " + what), path(file), message(what) {}
    std::string path, message;
};

// A failed system call; reaches Python as OSError (FileNotFoundError, ...).
struct SystemError : std::runtime_error {
    SystemError(int code, const std::string &path)
        : std::runtime_error(path), code(code), path(path) {}
    int code;
    std::string path;
};

// Sizes and counts a file may declare: NumPy's limit, the largest ssize_t.
constexpr size_t kMaxSize = PTRDIFF_MAX;

// *out = a + b or a * b; true when that passes kMaxSize.
inline bool add_overflows(size_t a, size_t b, size_t *out) { return __builtin_add_overflow(a, b, out) || *out > kMaxSize; }
inline bool multiply_overflows(size_t a, size_t b, size_t *out) {
    return __builtin_mul_overflow(a, b, out) || *out > kMaxSize;
}

// An open regular file read with positioned reads; closed by the destructor.
class InputFile {
public:
    explicit InputFile(const std::string &path);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    const std::string &path() const { return path_; }
    size_t size() const { return size_; }
    // Reads exactly n bytes at offset; the caller has checked the size.
    void read_at(void *dst, size_t n, size_t offset) const;

private:
    std::string path_;
    int fd_ = -1;
    size_t size_ = 0;
};

// What the header of a .npy file declares.
struct NpyHeader {
    std::string descr;        // as written, e.g. "<f4", "|S1", "|O"
    char kind = 0;            // 'f', 'U', 'S', 'O', 'i', ...; 0 for a dtype this reader does not know
    size_t item_size = 0;     // bytes per element (0 for object arrays)
    bool swap_bytes = false;  // stored in the other byte order than this machine's
    bool fortran_order = false;
    std::vector<size_t> shape;
    size_t num_items = 1;     // product of shape
    size_t data_offset = 0;   // where the array data (or pickle) starts
    size_t data_size = 0;     // num_items * item_size; for object arrays the pickle's size
};

// Parses the header and checks that the file holds all the data it declares.
NpyHeader read_npy_header(const InputFile &file);

// "(80, 1200)" or "(5,)", the way NumPy prints a shape.
std::string shape_str(const std::vector<size_t> &shape);

// Text from a file, in single quotes, with every byte that is not printable
// ASCII written as \xNN.
std::string quoted(const std::string &text);

// Reverses the byte order of each of n items of item_size bytes, in place.
void swap_item_bytes(void *data, size_t n, size_t item_size);

}  // namespace quorlin
