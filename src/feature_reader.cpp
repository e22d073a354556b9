#include "feature_reader.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "npy_file.h"
#include "parallel_for.h"

namespace quorlin {

namespace {

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
            double a0 = 0, a1 = 0, a2 = 0, a3 = 0;  // independent sums for speed
            size_t t = 0;
            for (; t + 4 <= frames; t += 4) {
                a0 += value(row[t]);
                a1 += value(row[t + 1]);
                a2 += value(row[t + 2]);
                a3 += value(row[t + 3]);
            }
            for (; t < frames; ++t) a0 += value(row[t]);
            const double sum = (a0 + a1) + (a2 + a3);
            if (!std::isfinite(sum))
                for (t = 0; t < frames; ++t)
                    if (!std::isfinite(value(row[t]))) non_finite(path, r, t);
            mean[r] = sum / double(frames);
            if (!with_m2) continue;
            a0 = a1 = a2 = a3 = 0;
            const double mu = mean[r];
            for (t = 0; t + 4 <= frames; t += 4) {
                const double d0 = value(row[t]) - mu, d1 = value(row[t + 1]) - mu;
                const double d2 = value(row[t + 2]) - mu, d3 = value(row[t + 3]) - mu;
                a0 += d0 * d0;
                a1 += d1 * d1;
                a2 += d2 * d2;
                a3 += d3 * d3;
            }
            for (; t < frames; ++t) {
                const double d = value(row[t]) - mu;
                a0 += d * d;
            }
            m2[r] = (a0 + a1) + (a2 + a3);
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

FeatureMatrix read_features(const std::string &path, size_t num_feats, bool with_m2, double *mean, double *m2) {
    InputFile file(path);
    const NpyHeader h = read_npy_header(file);
    if (h.kind != 'f' || (h.item_size != 2 && h.item_size != 4 && h.item_size != 8))
        throw FileFormatError(path, "unsupported feature dtype '" + h.descr + "' (float16, float32 or float64 expected)");
    if (h.shape.size() != 2)
        throw FileFormatError(path, "feature array must be 2-D (dimensions, frames), got shape " + shape_str(h.shape));
    const size_t dims = h.shape[0], frames = h.shape[1];
    if (dims < num_feats)
        throw FileFormatError(path, "feature array has " + std::to_string(dims) + " rows, fewer than num_feats=" +
                                        std::to_string(num_feats));

    FeatureMatrix m;
    m.rows = num_feats;
    m.frames = frames;
    m.item_size = h.item_size;
    m.fortran_order = h.fortran_order;
    const size_t kept = num_feats * frames;
    const size_t kept_bytes = kept * h.item_size;
    m.data.reset(std::malloc(kept_bytes ? kept_bytes : 1));
    if (!m.data) throw std::bad_alloc();
    unsigned char *out = static_cast<unsigned char *>(m.data.get());
    if (!h.fortran_order || dims == num_feats) {
        // The kept rows are a prefix of the data in C order (or all of it).
        file.read_at(out, kept_bytes, h.data_offset);
    } else {
        // Fortran order: every frame holds all dims; keep its first num_feats.
        std::vector<unsigned char> all(h.data_size);
        file.read_at(all.data(), h.data_size, h.data_offset);
        const size_t frame_in = dims * h.item_size, frame_out = num_feats * h.item_size;
        for (size_t t = 0; t < frames; ++t) std::memcpy(out + t * frame_out, all.data() + t * frame_in, frame_out);
    }
    if (h.swap_bytes) swap_item_bytes(out, kept, h.item_size);

    switch (h.item_size) {
        case 2: utterance_stats(reinterpret_cast<const uint16_t *>(out), num_feats, frames, h.fortran_order, with_m2, path, mean, m2); break;
        case 4: utterance_stats(reinterpret_cast<const float *>(out), num_feats, frames, h.fortran_order, with_m2, path, mean, m2); break;
        default: utterance_stats(reinterpret_cast<const double *>(out), num_feats, frames, h.fortran_order, with_m2, path, mean, m2);
    }
    return m;
}

}  // namespace

FeatureReader::FeatureReader(size_t num_feats, bool compute_stats, size_t num_threads)
    : num_feats_(num_feats), compute_stats_(compute_stats), num_threads_(num_threads ? num_threads : 1),
      mean_(num_feats, 0.0), m2_(num_feats, 0.0) {}

std::vector<FeatureMatrix> FeatureReader::read(const std::vector<std::string> &paths) {
    const size_t n = paths.size(), nf = num_feats_;
    std::vector<FeatureMatrix> mats(n);
    std::vector<double> means(n * nf, 0.0), m2s(n * nf, 0.0);  // per utterance
    parallel_for(n, num_threads_, [&](size_t i) {
        mats[i] = read_features(paths[i], nf, compute_stats_, &means[i * nf], &m2s[i * nf]);
    });
    if (!compute_stats_) return mats;
    // Merge utterance by utterance, in file order (Chan et al.'s pairwise update):
    // the same result as updating the running mean with every frame's deviation.
    for (size_t i = 0; i < n; ++i) {
        const size_t frames = mats[i].frames;
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
    return mats;
}

}  // namespace quorlin
