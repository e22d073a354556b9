// Bulk reading of per-utterance feature matrices, with running statistics.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace quorlin {

// Anonymous memory for the matrices of one chunk; unmapped by the destructor.
class MappedBuffer {
public:
    explicit MappedBuffer(size_t bytes);
    ~MappedBuffer();
    MappedBuffer(const MappedBuffer &) = delete;
    MappedBuffer &operator=(const MappedBuffer &) = delete;
    unsigned char *data() const { return static_cast<unsigned char *>(addr_); }
    size_t size() const { return size_; }
    // Makes the pages of [offset, offset + bytes) present in one call, which
    // is cheaper than taking a page fault for each while a file is read in.
    void prefault(size_t offset, size_t bytes) const;

private:
    void *addr_;
    size_t size_;
};

// The first `rows` rows of a (dimensions, frames) matrix, in the file's float
// width and memory order, converted to this machine's byte order.
struct FeatureMatrix {
    size_t offset = 0;  // in the chunk's memory
    size_t bytes = 0;   // rows * frames * item_size, from offset on
    size_t rows = 0;
    size_t frames = 0;
    size_t item_size = 0;  // 2, 4 or 8 bytes
    bool fortran_order = false;
};

// The matrices of one read() call, side by side in one buffer.
struct FeatureChunk {
    std::unique_ptr<MappedBuffer> memory;
    std::vector<FeatureMatrix> matrices;
};

// Reads feature files in parallel and, when asked, keeps the per-dimension
// count, mean and M2 (sum of squared deviations) over all frames read so far.
// Utterances are merged in file order, one Welford step per utterance; values
// enter the statistics as float32, the precision the features are used in.
class FeatureReader {
public:
    FeatureReader(size_t num_feats, bool compute_stats, size_t num_threads);

    // Reads the files, in order, and merges their statistics. Throws
    // FileFormatError for a malformed or truncated file, one that is not a
    // 2-D float16/32/64 array, has fewer than num_feats rows, or holds a
    // value that is not finite in float32, and for the file with which the
    // chunk would pass kMaxSize bytes; SystemError when a file cannot be read;
    // std::bad_alloc when the chunk's memory cannot be had.
    FeatureChunk read(const std::vector<std::string> &paths);

    size_t num_feats() const { return num_feats_; }
    size_t count() const { return count_; }
    const std::vector<double> &mean() const { return mean_; }
    const std::vector<double> &m2() const { return m2_; }

private:
    size_t num_feats_;
    bool compute_stats_;
    size_t num_threads_;
    size_t count_ = 0;
    std::vector<double> mean_, m2_;
};

}  // namespace quorlin
