// libFuzzer target for the corpus reader; scripts/fuzz.sh builds and runs it.
//
// Each input is written to a file and read as feature files (three paths to
// it in one chunk, so that sizes add up) and as a transcript, twice: as it is,
// and extended by a hole to 2^63 - 1 bytes (a sparse file), so that headers
// may claim gigantic sizes without the input holding the data. Every read must
// end in data or in a FileFormatError with a UTF-8 message: a crash, a hang,
// an out-of-bounds access, an unexpected exception or an array that does not
// lie inside its chunk's buffer is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "../src/feature_reader.h"
#include "../src/npy_file.h"
#include "../src/text_reader.h"

using namespace quorlin;

namespace {

constexpr off_t kSparseSize = std::numeric_limits<off_t>::max();
// A claim between these is one the reader would really allocate and read:
// legitimate, only slow, so it is skipped. Larger claims cannot be allocated.
constexpr size_t kMaxRead = size_t(1) << 20;
constexpr size_t kUnallocatable = size_t(1) << 56;

bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        const size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
        i += len;
    }
    return true;
}

void check_message(const FileFormatError &e) {
    if (!valid_utf8(e.what())) std::abort();
}

void check_chunk(const FeatureChunk &chunk) {
    unsigned __int128 end = 0;
    for (const FeatureMatrix &m : chunk.matrices) {
        const unsigned __int128 bytes = (unsigned __int128)m.rows * m.frames * m.item_size;
        if (m.offset < end || m.offset + bytes > chunk.memory->size()) std::abort();
        end = m.offset + bytes;
    }
}

void read_all(const std::string &path) {
    try {
        const NpyHeader h = read_npy_header(InputFile(path));
        if (h.data_size > kMaxRead && h.data_size < kUnallocatable) return;
    } catch (const FileFormatError &e) {
        check_message(e);
    }
    for (const size_t num_feats : {1, 2}) {
        try {
            FeatureReader reader(num_feats, true, 1);
            check_chunk(reader.read({path, path, path}));
        } catch (const FileFormatError &e) {
            check_message(e);
        } catch (const std::bad_alloc &) {
        }
    }
    try {
        read_text_arrays({path}, 1);
    } catch (const FileFormatError &e) {
        check_message(e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int fd = memfd_create("input.npy", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0) std::abort();
    for (const bool sparse : {false, true}) {
        if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) std::abort();
        if (sparse && ftruncate(fd, kSparseSize) != 0) std::abort();
        read_all(path);
    }
    return 0;
}
