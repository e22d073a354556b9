// Reading transcript files: arrays of strings whose elements join to the text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorlin {

struct TextArray {
    enum class Kind { Unicode, Bytes, Pickle };
    Kind kind = Kind::Unicode;
    std::u32string unicode;  // Unicode: the joined code points
    std::string bytes;       // Bytes: the joined bytes; Pickle: the object array's pickle, unread
};

// Reads the files in parallel. Elements lose their trailing NUL padding, as
// NumPy's tolist() does, and are joined in order; an array whose first
// dimension is 0 is the empty transcript. Throws FileFormatError for a
// malformed file, one that is not a 0-d or 1-d array of fixed-width unicode or
// byte strings (or of objects, which are left to the caller to vet), and one
// whose strings or pickle take more than 64 MiB.
std::vector<TextArray> read_text_arrays(const std::vector<std::string> &paths, size_t num_threads);

}  // namespace quorlin
