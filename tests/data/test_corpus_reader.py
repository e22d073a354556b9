import gc
import os
import pickle

import numpy as np
import pytest

from quorlin.data import FeatureReader, read_text_arrays
from quorlin.data.corpus import load_transcripts


def save_npy(path, array, version=None):
    with open(path, "wb") as f:
        np.lib.format.write_array(f, array, version=version, allow_pickle=True)
    return str(path)


def reference_stats(paths, num_feats):
    """Mean and sample variance over all frames, of the values as float32."""
    frames = np.concatenate([np.load(p)[:num_feats].astype(np.float32) for p in paths], axis=1)
    frames = frames.astype(np.float64)  # (num_feats, total frames)
    return frames.shape[1], frames.mean(axis=1), frames.var(axis=1, ddof=1)


@pytest.mark.parametrize("version", [(1, 0), (2, 0), (3, 0)])
@pytest.mark.parametrize("dtype", ["<f2", ">f2", "<f4", ">f4", "<f8", ">f8"])
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("num_feats", [3, 5])
def test_features_read_as_numpy_loads_them(tmp_path, version, dtype, order, num_feats):
    rng = np.random.default_rng(7)
    arrays = [np.asarray(rng.standard_normal((5, t)) * 10, dtype=dtype, order=order) for t in (1, 6, 13)]
    paths = [save_npy(tmp_path / f"{i}.npy", a, version) for i, a in enumerate(arrays)]

    reader = FeatureReader(num_feats, True, 2)
    got = reader.read(paths)

    for path, array in zip(paths, got):
        expected = np.load(path)[:num_feats]
        assert array.dtype == expected.dtype.newbyteorder("=")  # same width, this machine's byte order
        assert array.shape == expected.shape
        assert np.array_equal(array, expected)
        assert array.flags.f_contiguous == (order == "F") or array.shape[1] == 1
    count, mean, variance = reference_stats(paths, num_feats)
    assert reader.count == count
    np.testing.assert_allclose(reader.mean, mean, rtol=1e-9, atol=0)
    np.testing.assert_allclose(reader.m2 / (reader.count - 1), variance, rtol=1e-9, atol=0)


def test_statistics_merge_across_calls_in_file_order(tmp_path):
    rng = np.random.default_rng(3)
    # Offsets far from zero make a naive sum-of-squares variance visibly wrong.
    paths = [save_npy(tmp_path / f"{i:02d}.npy", (1e4 + rng.standard_normal((4, t))).astype(np.float32))
             for i, t in enumerate(rng.integers(1, 40, size=20))]
    whole = FeatureReader(4, True, 3)
    whole.read(paths)
    chunked = FeatureReader(4, True, 1)
    for start in range(0, len(paths), 6):
        chunked.read(paths[start:start + 6])
    count, mean, variance = reference_stats(paths, 4)
    for reader in (whole, chunked):
        assert reader.count == count
        np.testing.assert_allclose(reader.mean, mean, rtol=1e-12)
        np.testing.assert_allclose(reader.m2 / (count - 1), variance, rtol=1e-9)


def test_float16_subnormals_and_extremes_enter_statistics_exactly(tmp_path):
    values = np.array([[6e-8, -6e-8, 1e-5, 65504.0, -65504.0, 0.0, -0.0, 1.0]], dtype=np.float16)
    path = save_npy(tmp_path / "half.npy", values)
    reader = FeatureReader(1, True, 1)
    reader.read([path])
    np.testing.assert_allclose(reader.mean, values.astype(np.float64).mean(axis=1), rtol=1e-12)
    np.testing.assert_allclose(reader.m2 / 7, values.astype(np.float64).var(axis=1, ddof=1), rtol=1e-12)


def test_arrays_outlive_the_rest_of_their_chunk(tmp_path):
    arrays = [np.full((4, 100 + i), i, np.float32) for i in range(8)]
    paths = [save_npy(tmp_path / f"{i}.npy", a) for i, a in enumerate(arrays)]
    got = FeatureReader(4, False, 2).read(paths)
    last = got[-1]
    del got
    gc.collect()
    assert np.array_equal(last, arrays[-1])
    last[:] = -1  # writable, and only its own rows change
    assert np.array_equal(np.load(paths[-1]), arrays[-1])


def test_without_statistics_nothing_is_accumulated(tmp_path):
    path = save_npy(tmp_path / "a.npy", np.ones((2, 3), np.float32))
    reader = FeatureReader(2, False, 2)
    (array,) = reader.read([path])
    assert array.shape == (2, 3) and reader.count == 0
    assert np.array_equal(reader.mean, [0, 0]) and np.array_equal(reader.m2, [0, 0])


def _valid_bytes(tmp_path):
    return open(save_npy(tmp_path / "valid.npy", np.ones((5, 10), np.float32)), "rb").read()


@pytest.mark.parametrize("name, make, message", [
    ("truncated_data", lambda b: b[:-3], r"truncated \.npy file \(shape \(5, 10\) of '<f4' needs 200 data bytes, the file has 197\)"),
    ("truncated_header", lambda b: b[:40], r"truncated \.npy file \(the header needs 128 bytes"),
    ("tiny", lambda b: b[:4], r"not a \.npy file \(only 4 bytes\)"),
    ("magic", lambda b: b"\x93NUMPX" + b[6:], r"not a \.npy file \(bad magic string\)"),
    ("version", lambda b: b[:6] + b"\x04\x00" + b[8:], r"unsupported \.npy format version 4\.0"),
    ("header_key", lambda b: b.replace(b"'shape'", b"'shope'"), r"malformed \.npy header: unexpected key 'shope'"),
    ("header_bool", lambda b: b.replace(b"False", b"Nope!"), r"malformed \.npy header: expected True or False"),
    ("header_shape", lambda b: b.replace(b"(5, 10)", b"(5; 10)"), r"malformed \.npy header: expected ',' or '\)'"),
])
def test_malformed_files_raise_value_error_naming_the_file(tmp_path, name, make, message):
    path = tmp_path / f"{name}.npy"
    path.write_bytes(make(_valid_bytes(tmp_path)))
    with pytest.raises(ValueError, match=f"^{path}: {message}"):
        FeatureReader(4, True, 2).read([str(path)])


@pytest.mark.parametrize("array, message", [
    (np.ones((3, 10), np.float32), "feature array has 3 rows, fewer than num_feats=4"),
    (np.ones(10, np.float32), r"feature array must be 2-D \(dimensions, frames\), got shape \(10,\)"),
    (np.ones((4, 2, 2), np.float32), r"feature array must be 2-D .* got shape \(4, 2, 2\)"),
    (np.ones((4, 10), np.int32), r"unsupported feature dtype '<i4'"),
    (np.array([[1.0, np.inf]] * 4, np.float32), "feature value at row 0, frame 1 is not a finite float32 number"),
    (np.array([[1.0]] * 3 + [[np.nan]], np.float16), "feature value at row 3, frame 0 is not a finite"),
    (np.asfortranarray([[1.0, 2.0]] * 3 + [[2.0, -np.inf]]), "feature value at row 3, frame 1 is not a finite"),
    (np.array([[1e300, 1.0]] * 4), "feature value at row 0, frame 0 is not a finite float32 number"),
])
def test_unusable_feature_arrays(tmp_path, array, message):
    path = save_npy(tmp_path / "bad.npy", array)
    with pytest.raises(ValueError, match=f"^{path}: {message}"):
        FeatureReader(4, True, 1).read([path])


def test_first_failing_file_is_reported_and_os_errors_stay_os_errors(tmp_path):
    good = [save_npy(tmp_path / f"{i}.npy", np.ones((4, 3), np.float32)) for i in range(6)]
    bad = [save_npy(tmp_path / f"bad{i}.npy", np.ones((2, 3), np.float32)) for i in range(2)]
    with pytest.raises(ValueError, match=f"^{bad[0]}:"):
        FeatureReader(4, True, 4).read(good[:3] + [bad[0]] + good[3:] + [bad[1]])
    with pytest.raises(FileNotFoundError):
        FeatureReader(4, True, 2).read([str(tmp_path / "missing.npy")])


@pytest.mark.parametrize("array, text", [
    (np.array(list("HELLO WORLD")), "HELLO WORLD"),
    (np.array(list("naïve ☃")), "naïve ☃"),
    (np.array(["HE", "L", "LO", ""], dtype=">U3"), "HELLO"),
    (np.array("A WHOLE LINE"), "A WHOLE LINE"),
    (np.array([], dtype="<U1"), ""),
    (np.array([b"AB", b"C", b""]), "ABC"),
    (np.array(list("OBJECTS"), dtype=object), "OBJECTS"),
    (np.array("ONE OBJECT", dtype=object), "ONE OBJECT"),
])
@pytest.mark.parametrize("version", [(1, 0), (3, 0)])
def test_transcripts_join_like_numpy(tmp_path, array, text, version):
    path = save_npy(tmp_path / "t.npy", array, version)
    assert load_transcripts([path]) == [text]
    loaded = np.load(path, allow_pickle=True)
    if loaded.dtype.kind != "S":
        assert "".join(loaded.tolist()) == text


@pytest.mark.parametrize("array, message", [
    (np.array([["A", "B"]]), r"transcript array must be 0-d or 1-d, got shape \(1, 2\)"),
    (np.array([1, 2]), r"unsupported transcript dtype '<i8'"),
    (np.array([b"\xff"]), "transcript is not valid text: 'utf-8' codec can't decode"),
    (np.array(["A", 3], dtype=object), "object array refused: it holds int, only str is accepted"),
    (np.array([["A"]], dtype=object), r"transcript array must be 0-d or 1-d, got shape \(1, 1\)"),
])
def test_unusable_transcripts(tmp_path, array, message):
    path = save_npy(tmp_path / "t.npy", array)
    with pytest.raises(ValueError, match=f"^{path}: {message}"):
        load_transcripts([path])


def test_invalid_code_point_is_refused(tmp_path):
    path = tmp_path / "u.npy"
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(f, {"descr": "<U1", "fortran_order": False, "shape": (2,)})
        f.write(np.array([65, 0x110000], dtype="<u4").tobytes())
    with pytest.raises(ValueError, match=f"^{path}: transcript holds U\\+110000, which is not a Unicode code point"):
        load_transcripts([str(path)])


def test_pickled_object_other_than_an_array_is_refused(tmp_path):
    path = tmp_path / "list.npy"
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(f, {"descr": "|O", "fortran_order": False, "shape": (2,)})
        pickle.dump(["A", "B"], f)
    with pytest.raises(ValueError, match=f"^{path}: object array refused: not a 0-d or 1-d array of objects"):
        load_transcripts([str(path)])


class _Payload:
    """Pickles into a call that creates a marker file when unpickled."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (exec, (f"open({self.marker!r}, 'w').close()",))


def test_malicious_pickle_is_refused_and_not_executed(tmp_path):
    marker = tmp_path / "pwned"
    path = save_npy(tmp_path / "evil.npy", np.array(["A", _Payload(str(marker))], dtype=object))
    with pytest.raises(ValueError, match=f"^{path}: object array refused: builtins.exec is not allowed"):
        load_transcripts([path])
    assert not marker.exists()
    # The payload is real: NumPy's pickle loading runs it.
    np.load(path, allow_pickle=True)
    assert marker.exists()


def test_native_reader_hands_object_arrays_over_unread(tmp_path):
    array = np.array(list("AB"), dtype=object)
    path = save_npy(tmp_path / "o.npy", array)
    (payload,) = read_text_arrays([path], 1)
    assert isinstance(payload, bytes)
    assert np.array_equal(pickle.loads(payload), array)
    assert os.path.getsize(path) > len(payload)
