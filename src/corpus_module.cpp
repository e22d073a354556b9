// Python bindings of the corpus reader: quorlin.data._ext.
#include <cerrno>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "feature_reader.h"
#include "npy_file.h"
#include "text_reader.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Paths given as str, bytes or os.PathLike, as the bytes the file system uses
// (os.fsencode), so that any file name can be read.
std::vector<std::string> fs_paths(nb::handle paths) {
    if (PyUnicode_Check(paths.ptr()) || PyBytes_Check(paths.ptr()))
        throw nb::type_error("paths must be a sequence of paths, not a single one");
    std::vector<std::string> out;
    for (nb::handle path : nb::iter(paths)) {
        PyObject *encoded = nullptr;
        if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw nb::python_error();
        const nb::bytes bytes = nb::steal<nb::bytes>(encoded);
        out.emplace_back(bytes.c_str(), bytes.size());
    }
    return out;
}

// The arrays of a chunk are views of its buffer; the capsule they share
// unmaps it when the last of them is gone.
nb::list read_features(quorlin::FeatureReader &reader, nb::handle path_list) {
    const std::vector<std::string> paths = fs_paths(path_list);
    quorlin::FeatureChunk chunk;
    {
        nb::gil_scoped_release release;
        chunk = reader.read(paths);
    }
    quorlin::MappedBuffer *memory = chunk.memory.get();
    nb::capsule owner(memory, [](void *p) noexcept { delete static_cast<quorlin::MappedBuffer *>(p); });
    chunk.memory.release();  // now the capsule's
    nb::list out;
    for (const quorlin::FeatureMatrix &m : chunk.matrices) {
        const size_t shape[2] = {m.rows, m.frames};
        const nb::dlpack::dtype dtype{uint8_t(nb::dlpack::dtype_code::Float), uint8_t(8 * m.item_size), 1};
        out.append(nb::ndarray<nb::numpy>(memory->data() + m.offset, 2, shape, owner, nullptr, dtype,
                                          nb::device::cpu::value, 0, m.fortran_order ? 'F' : 'C')
                       .cast());
    }
    return out;
}

nb::object to_numpy(const std::vector<double> &values) {
    auto *copy = new std::vector<double>(values);
    nb::capsule owner(copy, [](void *p) noexcept { delete static_cast<std::vector<double> *>(p); });
    const size_t shape[1] = {copy->size()};
    return nb::ndarray<nb::numpy, double>(copy->data(), 1, shape, owner).cast();
}

nb::list read_text_arrays(nb::handle path_list, size_t num_threads) {
    const std::vector<std::string> paths = fs_paths(path_list);
    std::vector<quorlin::TextArray> texts;
    {
        nb::gil_scoped_release release;
        texts = quorlin::read_text_arrays(paths, num_threads);
    }
    nb::list out;
    for (size_t i = 0; i < texts.size(); ++i) {
        const quorlin::TextArray &t = texts[i];
        PyObject *obj = nullptr;
        switch (t.kind) {
            case quorlin::TextArray::Kind::Pickle:
                out.append(nb::bytes(t.bytes.data(), t.bytes.size()));
                continue;
            case quorlin::TextArray::Kind::Bytes:
                obj = PyUnicode_DecodeUTF8(t.bytes.data(), Py_ssize_t(t.bytes.size()), "strict");
                break;
            case quorlin::TextArray::Kind::Unicode:
                obj = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.unicode.data(), Py_ssize_t(t.unicode.size()));
                break;
        }
        if (!obj) {
            const nb::python_error err;  // the decoding error, replaced by one that names the file
            throw quorlin::FileFormatError(paths[i], "transcript is not valid text: " +
                                                         std::string(nb::str(err.value()).c_str()));
        }
        out.append(nb::steal(obj));
    }
    return out;
}

}  // namespace

NB_MODULE(_ext, m) {
    m.doc() = "Native reading of .npy feature and transcript files.";

    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const quorlin::FileFormatError &e) {
            // The path as os.fsdecode gives it back, whatever its bytes.
            const nb::object path = nb::steal(PyUnicode_DecodeFSDefaultAndSize(e.path.data(), Py_ssize_t(e.path.size())));
            const nb::object message =
                nb::steal(PyUnicode_DecodeUTF8(e.message.data(), Py_ssize_t(e.message.size()), "backslashreplace"));
            if (path.is_valid() && message.is_valid()) {
                const nb::object text = nb::steal(PyUnicode_FromFormat("%U: %U", path.ptr(), message.ptr()));
                if (text.is_valid()) PyErr_SetObject(PyExc_ValueError, text.ptr());
            }
        } catch (const quorlin::SystemError &e) {
            errno = e.code;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, e.path.c_str());
        }
    });

    nb::class_<quorlin::FeatureReader>(m, "FeatureReader",
                                       "Reads (dimensions, frames) float .npy files, keeping the first num_feats "
                                       "rows, on num_threads threads; with compute_stats, it also keeps the "
                                       "per-dimension frame count, mean and M2 of everything read so far.")
        .def(nb::init<size_t, bool, size_t>(), "num_feats"_a, "compute_stats"_a, "num_threads"_a)
        .def("read", &read_features, "paths"_a,
             "Reads the files (str, bytes or os.PathLike paths) in order; returns one (num_feats, frames) "
             "array per file. The arrays of one call share one buffer, freed when the last of them is.")
        .def_prop_ro("num_feats", &quorlin::FeatureReader::num_feats)
        .def_prop_ro("count", &quorlin::FeatureReader::count, "Frames merged so far.")
        .def_prop_ro("mean", [](const quorlin::FeatureReader &r) { return to_numpy(r.mean()); },
                     "Per-dimension mean, float64.")
        .def_prop_ro("m2", [](const quorlin::FeatureReader &r) { return to_numpy(r.m2()); },
                     "Per-dimension sum of squared deviations from the mean, float64.");

    m.def("read_text_arrays", &read_text_arrays, "paths"_a, "num_threads"_a,
          "Reads transcript files (str, bytes or os.PathLike paths): the joined str of each string "
          "array, or, for an object array, its pickle as bytes, not unpickled.");
}
