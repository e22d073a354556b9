#include "feature_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "npy_file.h"
#include "parallel_for.h"

namespace quorlin {

namespace {

// Matrices start at multiples of this in a chunk's memory.
constexpr size_t kAlignment = 64;
// The most read at once when only some rows of Fortran-ordered frames are kept.
constexpr size_t kBlockBytes = size_t(1) << 20;

float half_to_float(uint16_t h) {
    const uint32_t sign = uint32_t(h & 0x8000u) << 16;
    uint32_t exponent = (h >> 10) & 0x1fu;
    uint32_t mantissa = h & 0x3ffu;
    uint32_t bits;
    if (exponent == 0x1fu) {  // inf or nan
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else if (exponent != 0) {  // normal
        bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {  // signed zero
        bits = sign;
    } else {  // subnormal: shift the leading one into the implicit bit
        exponent = 127 - 15 + 1;
        while (!(mantissa & 0x400u)) {
            mantissa <<= 1;
            --exponent;
        }
        bits = sign | (exponent << 23) | ((mantissa & 0x3ffu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// A stored value as the float32 number the model will see.
inline double value(float x) { return x; }
inline double value(double x) { return static_cast<float>(x); }
inline double value(uint16_t x) { return half_to_float(x); }

[[noreturn]] void non_finite(const std::string &path, size_t row, size_t frame) {
    throw FileFormatError(path, "feature value at row " + std::to_string(row) + ", frame " + std::to_string(frame) +
                                    " is not a finite float32 number");
}

// Sums over lanes of independent accumulators, which the compiler turns
// into vector instructions without reordering any one sum.
constexpr size_t kLanes = 8;

template <typename T>
double row_sum(const T *row, size_t n) {
    double acc[kLanes] = {};
    size_t t = 0;
    for (; t + kLanes <= n; t += kLanes)
        for (size_t k = 0; k < kLanes; ++k) acc[k] += value(row[t + k]);
    double sum = 0;
    for (; t < n; ++t) sum += value(row[t]);
    for (double a : acc) sum += a;
    return sum;
}

template <typename T>
double row_m2(const T *row, size_t n, double mean) {
    double acc[kLanes] = {};
    size_t t = 0;
    for (; t + kLanes <= n; t += kLanes)
        for (size_t k = 0; k < kLanes; ++k) {
            const double d = value(row[t + k]) - mean;
            acc[k] += d * d;
        }
    double sum = 0;
    for (; t < n; ++t) {
        const double d = value(row[t]) - mean;
        sum += d * d;
    }
    for (double a : acc) sum += a;
    return sum;
}

// Per-row mean and M2 of a (rows, frames) matrix. A row sum of finite
// float32 values cannot overflow a double, so a non-finite sum is how a
// non-finite value is found.
template <typename T>
void utterance_stats(const T *x, size_t rows, size_t frames, bool fortran_order, bool with_m2,
                     const std::string &path, double *mean, double *m2) {
    if (frames == 0) return;
    if (!fortran_order) {  // row r is x[r * frames ... + frames)
        for (size_t r = 0; r < rows; ++r) {
            const T *row = x + r * frames;
            const double sum = row_sum(row, frames);
            if (!std::isfinite(sum))
                for (size_t t = 0; t < frames; ++t)
                    if (!std::isfinite(value(row[t]))) non_finite(path, r, t);
            mean[r] = sum / double(frames);
            if (with_m2) m2[r] = row_m2(row, frames, mean[r]);
        }
        return;
    }
    // Fortran order: frame t is x[t * rows ... + rows).
    std::vector<double> sum(rows, 0.0);
    for (size_t t = 0; t < frames; ++t)
        for (size_t r = 0; r < rows; ++r) sum[r] += value(x[t * rows + r]);
    for (size_t r = 0; r < rows; ++r) {
        if (!std::isfinite(sum[r]))
            for (size_t t = 0; t < frames; ++t)
                if (!std::isfinite(value(x[t * rows + r]))) non_finite(path, r, t);
        mean[r] = sum[r] / double(frames);
    }
    if (!with_m2) return;
    std::fill(m2, m2 + rows, 0.0);
    for (size_t t = 0; t < frames; ++t)
        for (size_t r = 0; r < rows; ++r) {
            const double d = value(x[t * rows + r]) - mean[r];
            m2[r] += d * d;
        }
}

// A feature file whose header has been checked, still open.
struct OpenFeatures {
    std::unique_ptr<InputFile> file;
    NpyHeader header;
};

OpenFeatures open_features(const std::string &path, size_t num_feats) {
    OpenFeatures f{std::make_unique<InputFile>(path), {}};
    const NpyHeader &h = f.header = read_npy_header(*f.file);
    if (h.kind != 'f' || (h.item_size != 2 && h.item_size != 4 && h.item_size != 8))
        throw FileFormatError(path, "unsupported feature dtype " + quoted(h.descr) + " (float16, float32 or float64 expected)");
    if (h.shape.size() != 2)
        throw FileFormatError(path, "feature array must be 2-D (dimensions, frames), got shape " + shape_str(h.shape));
    if (h.shape[0] < num_feats)
        throw FileFormatError(path, "feature array has " + std::to_string(h.shape[0]) + " rows, fewer than num_feats=" +
                                        std::to_string(num_feats));
    return f;
}

// Reads matrix m (the first m.rows rows) into out, which holds m.bytes, and
// computes the per-row statistics. Every offset and size here is at most the
// file's data size, which read_npy_header has checked.
void load_features(const OpenFeatures &f, const FeatureMatrix &m, unsigned char *out, bool with_m2, double *mean,
                   double *m2) {
    if (m.frames == 0) return;
    const NpyHeader &h = f.header;
    const std::string &path = f.file->path();
    const size_t dims = h.shape[0];
    if (!h.fortran_order || dims == m.rows) {
        // The kept rows are a prefix of the data in C order (or all of it).
        f.file->read_at(out, m.bytes, h.data_offset);
    } else {
        // Fortran order: every frame holds all dims; keep its first rows,
        // reading whole frames a block at a time, or, when frames are large,
        // just the kept part of each.
        const size_t frame_in = dims * h.item_size, frame_out = m.rows * h.item_size;
        const size_t per_block = std::max<size_t>(1, kBlockBytes / frame_in);
        std::vector<unsigned char> block(per_block > 1 ? per_block * frame_in : 0);
        for (size_t t = 0; t < m.frames; t += per_block) {
            const size_t n = std::min(per_block, m.frames - t);
            if (per_block == 1) {
                f.file->read_at(out + t * frame_out, frame_out, h.data_offset + t * frame_in);
                continue;
            }
            f.file->read_at(block.data(), n * frame_in, h.data_offset + t * frame_in);
            for (size_t k = 0; k < n; ++k) std::memcpy(out + (t + k) * frame_out, block.data() + k * frame_in, frame_out);
        }
    }
    const size_t kept = m.rows * m.frames;
    if (h.swap_bytes) swap_item_bytes(out, kept, h.item_size);

    switch (h.item_size) {
        case 2: utterance_stats(reinterpret_cast<const uint16_t *>(out), m.rows, m.frames, h.fortran_order, with_m2, path, mean, m2); break;
        case 4: utterance_stats(reinterpret_cast<const float *>(out), m.rows, m.frames, h.fortran_order, with_m2, path, mean, m2); break;
        default: utterance_stats(reinterpret_cast<const double *>(out), m.rows, m.frames, h.fortran_order, with_m2, path, mean, m2);
    }
}

}  // namespace

FeatureReader::FeatureReader(size_t num_feats, bool compute_stats, size_t num_threads)
    : num_feats_(num_feats), compute_stats_(compute_stats), num_threads_(num_threads ? num_threads : 1),
      mean_(num_feats, 0.0), m2_(num_feats, 0.0) {}

MappedBuffer::MappedBuffer(size_t bytes) : size_(bytes ? bytes : 1) {
    addr_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (addr_ == MAP_FAILED) throw std::bad_alloc();
}

void MappedBuffer::prefault(size_t offset, size_t bytes) const {
#ifdef MADV_POPULATE_WRITE
    static const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    const size_t begin = offset / page * page;
    // Without kernel support (before Linux 5.14) this fails and reading faults the pages in.
    if (bytes) ::madvise(data() + begin, offset + bytes - begin, MADV_POPULATE_WRITE);
#else
    (void)offset, (void)bytes;
#endif
}

MappedBuffer::~MappedBuffer() { ::munmap(addr_, size_); }

FeatureChunk FeatureReader::read(const std::vector<std::string> &paths) {
    const size_t n = paths.size(), nf = num_feats_;
    // Check every header first, to size one buffer for the whole chunk.
    std::vector<OpenFeatures> files(n);
    parallel_for(n, num_threads_, [&](size_t i) { files[i] = open_features(paths[i], nf); });
    FeatureChunk chunk;
    chunk.matrices.resize(n);
    size_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        const NpyHeader &h = files[i].header;
        FeatureMatrix &m = chunk.matrices[i];
        m = {total, 0, nf, h.shape[1], h.item_size, h.fortran_order};
        size_t padded;
        if (multiply_overflows(nf, h.item_size, &m.bytes) || multiply_overflows(m.bytes, m.frames, &m.bytes) ||
            add_overflows(m.bytes, kAlignment - 1, &padded) || add_overflows(total, padded / kAlignment * kAlignment, &total))
            throw FileFormatError(paths[i], "with the files before it in the chunk, more than " + std::to_string(kMaxSize) +
                                                " bytes of features");
    }
    chunk.memory = std::make_unique<MappedBuffer>(total);

    std::vector<double> means(n * nf, 0.0), m2s(n * nf, 0.0);  // per utterance
    parallel_for(n, num_threads_, [&](size_t i) {
        const FeatureMatrix &m = chunk.matrices[i];
        chunk.memory->prefault(m.offset, m.bytes);
        load_features(files[i], m, chunk.memory->data() + m.offset, compute_stats_, &means[i * nf], &m2s[i * nf]);
        files[i].file.reset();  // close it
    });
    if (!compute_stats_) return chunk;
    // Merge utterance by utterance, in file order (Chan et al.'s pairwise update):
    // the same result as updating the running mean with every frame's deviation.
    for (size_t i = 0; i < n; ++i) {
        const size_t frames = chunk.matrices[i].frames;
        if (frames == 0) continue;
        const size_t total = count_ + frames;
        const double weight = double(frames) / double(total);
        const double cross = double(count_) * double(frames) / double(total);
        for (size_t r = 0; r < nf; ++r) {
            const double delta = means[i * nf + r] - mean_[r];
            mean_[r] += delta * weight;
            m2_[r] += m2s[i * nf + r] + delta * delta * cross;
        }
        count_ = total;
    }
    return chunk;
}

}  // namespace quorlin
