import gc
import os
import pathlib
import pickle
import shutil
import warnings

import numpy as np
import pytest
from numpy._core.multiarray import _reconstruct

from quorlin.data import FeatureReader, read_text_arrays
from quorlin.data.corpus import MAX_TRANSCRIPT_CHARS, load_transcripts

FUZZ_FINDINGS = sorted((pathlib.Path(__file__).parent / "fuzz_findings").iterdir())


def save_npy(path, array, version=None):
    with open(path, "wb") as f:
        np.lib.format.write_array(f, array, version=version, allow_pickle=True)
    return str(path)


def write_npy(path, text, data=b"", version=(1, 0)):
    """A .npy file with the given header text (str or bytes), padded as NumPy pads it."""
    if isinstance(text, str):
        text = text.encode("utf8" if version == (3, 0) else "latin1")
    length_size = 2 if version == (1, 0) else 4
    text += b" " * (-(8 + length_size + len(text) + 1) % 64) + b"\n"
    with open(path, "wb") as f:
        f.write(b"\x93NUMPY" + bytes(version) + len(text).to_bytes(length_size, "little") + text + data)
    return path


def header(descr, shape):
    return f"{{'descr': '{descr}', 'fortran_order': False, 'shape': {shape}, }}"


def extend_sparse(path, size):
    """Makes the file `size` bytes long with a hole, or skips where the file system cannot."""
    try:
        os.truncate(path, size)
    except OSError as err:
        pytest.skip(f"no sparse file of {size} bytes on this file system: {err}")


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
    (np.array([np.str_("NUM"), "PY ", np.str_(""), np.str_("STR")], dtype=object), "NUMPY STR"),
    (np.array(list("")), ""),  # how an empty transcript is usually saved: float64, shape (0,)
    (np.zeros((0, 3), np.int32), ""),
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


@pytest.mark.parametrize("shape", [
    "(2, 3)", "(2,3,)", "( 2 ,\t3 )", "(0x2, 0o3)", "(0b10, 0_3)", "(2, 1_0)", "(2, 00)", "(2, 0_0)", "(+2, 3)",
    "(2, - 0)", "((2), (3))", "((2, 3))", "(2, # a comment\n 3)", "(2, \\\n 3)", "(2L, 3L)", "(0x2L, 3)",
    "(2)", "(01, 02)", "(2,,)", "(,)", "(2 3)", "(True, 3)", "(2.0, 3)", "(2e0, 3)", "(2j, 3)", "(2, -1)",
    "(--2, 3)", "(-(-2), 3)", "[2, 3]", "(2l, 3)", "(1__0, 3)", "(2_, 3)", "(0x, 3)", "(2, (3,))",
    "(2, 9223372036854775807)", "(0, 9223372036854775808)", "(3037000500, 3037000500)",
])
@pytest.mark.parametrize("version", [(1, 0), (3, 0)])
def test_shapes_are_read_as_numpy_reads_them(tmp_path, shape, version):
    check_read_as_numpy(tmp_path, header("<f4", shape), version)


@pytest.mark.parametrize("text, version", [
    ("{'descr': '<f8', 'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)}", (1, 0)),  # the last counts
    ('{"descr": u"<f4", "fortran_order": (True), "shape": (2, 3)}', (1, 0)),
    ("{'''descr''': '<' 'f4', 'fortran_order': False, 'shape': (2, 3)}", (1, 0)),
    ("\n# a comment line\n{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} # and one after", (1, 0)),
    ("\t {'descr': '<f4', 'fortran_order': False,\f'shape': (2, 3)}\r\n", (1, 0)),
    ("\n {'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)}", (1, 0)),
    ("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), 'x': 1}", (1, 0)),
    ("{'descr': '<f4', 'fortran_order': 0, 'shape': (2, 3)}", (1, 0)),
    ("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} 5", (1, 0)),
    ("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)}\\", (1, 0)),
    ("({'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)})", (1, 0)),
    ("{'descr': '<f4', 'fortran_order': False,\v'shape': (2, 3)}", (1, 0)),
    (b"{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} #\x00", (1, 0)),
    (b"{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} # caf\xe9", (1, 0)),  # Latin-1 before 3.0
    (b"{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} # caf\xe9", (3, 0)),
    ("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} # caf\u00e9", (3, 0)),
])
def test_headers_are_read_as_numpy_reads_them(tmp_path, text, version):
    check_read_as_numpy(tmp_path, text, version)


def check_read_as_numpy(tmp_path, text, version):
    """The reader accepts the header exactly when np.load does, with the same shape."""
    path = str(write_npy(tmp_path / "h.npy", text, bytes(4096), version))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NumPy warns of Python 2 headers
            expected = np.load(path).shape
    except Exception:
        expected = None
    try:
        (got,) = FeatureReader(2, False, 1).read([path])
    except ValueError as err:
        assert str(err).startswith(f"{path}: ")
        got = None
    assert (got if got is None else got.shape) == expected


@pytest.mark.parametrize("descr", ["|S0", "<U0"])
def test_zero_width_strings_make_the_empty_transcript_at_once(tmp_path, descr):
    path = str(write_npy(tmp_path / "z.npy", header(descr, "(9223372036854775807,)")))
    assert load_transcripts([path]) == [""]


class _Reduces:
    """Pickles as the given reduce value: how forged payloads are written."""

    def __init__(self, *reduce):
        self.reduce = reduce

    def __reduce__(self):
        return self.reduce


_RAW_ITEMS = (1, (1,), np.dtype("O"), False, b"AAAAAAAA")  # bytes where the list of items belongs
_OBJECTLESS_DTYPE = _Reduces(np.dtype, ("O8", False, True), (3, "|", None, None, None, 8, 8, 0))


@pytest.mark.parametrize("payload, message", [
    # ndarray((1,), dtype('O'), b'AAAAAAAA'): its bytes would be taken for object pointers.
    (_Reduces(np.ndarray, ((1,), np.dtype("O"), b"AAAAAAAA")), "an array may only be rebuilt the way np.save writes it"),
    (_Reduces(_reconstruct, (np.ndarray, (0,), b"b"), _RAW_ITEMS), "not a 0-d or 1-d array of objects"),
    (_Reduces(_reconstruct, (np.ndarray, (0,), b"b"), _RAW_ITEMS[:2] + (_OBJECTLESS_DTYPE,) + _RAW_ITEMS[3:]),
     "not a 0-d or 1-d array of objects"),
    (np.array([np.int64(3)], dtype=object), "it holds a NumPy scalar of dtype 'i8', only str is accepted"),
    (np.array([np.str_("A"), b"B"], dtype=object), "it holds bytes, only str is accepted"),
    (np.array([np.array("A"), "B"], dtype=object), "it holds a NumPy array, only str is accepted"),
])
def test_forged_object_arrays_are_refused(tmp_path, payload, message):
    path = tmp_path / "forged.npy"
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(f, {"descr": "|O", "fortran_order": False, "shape": (1,)})
        pickle.dump(payload, f, protocol=3)
    with pytest.raises(ValueError, match=f"^{path}: object array refused: {message}$"):
        load_transcripts([str(path)])


def test_transcripts_beyond_the_limits_are_refused(tmp_path):
    # A pickle of 64 KiB that expands to 2 MiB of text: one string, referred to 32 times.
    expanding = save_npy(tmp_path / "expanding.npy", np.array(["A" * 2 ** 16] * 32, dtype=object))
    assert os.path.getsize(expanding) < 2 ** 17
    too_long = save_npy(tmp_path / "too_long.npy", np.array("B" * (MAX_TRANSCRIPT_CHARS + 1)))
    for path in (expanding, too_long):
        with pytest.raises(ValueError, match=f"^{path}: transcript holds more than 1048576 characters$"):
            load_transcripts([path])
    longest = save_npy(tmp_path / "longest.npy", np.array("C" * MAX_TRANSCRIPT_CHARS))
    assert load_transcripts([longest]) == ["C" * MAX_TRANSCRIPT_CHARS]
    # Terabytes claimed in sparse files are refused before anything is allocated.
    for descr in ("<U1", "|O"):
        path = write_npy(tmp_path / "huge.npy", header(descr, "(1099511627776,)"))
        extend_sparse(path, 2 ** 42 + 128)
        with pytest.raises(ValueError, match=f"^{path}: transcript data of \\d+ bytes exceeds the limit of 67108864 bytes$"):
            load_transcripts([str(path)])


def test_only_regular_files_are_read(tmp_path):
    fifo, folder = tmp_path / "fifo.npy", tmp_path / "folder.npy"
    os.mkfifo(fifo)  # opening it for reading would wait for a writer
    folder.mkdir()
    for path in (str(fifo), str(folder)):
        with pytest.raises(ValueError, match=f"^{path}: not a regular file$"):
            FeatureReader(1, False, 1).read([path])
        with pytest.raises(ValueError, match=f"^{path}: not a regular file$"):
            load_transcripts([path])


def test_any_file_name_and_header_bytes_make_value_errors_naming_the_file(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xe9.npy"  # not UTF-8
    name = os.fsdecode(raw)  # with a surrogate escape, as os.listdir gives it
    array = np.ones((2, 3), np.float32)
    save_npy(raw, array)
    for path in (raw, name, pathlib.Path(name)):
        assert np.array_equal(FeatureReader(2, False, 1).read([path])[0], array)
    for text, version, message in [
        (b"{'descr': '<f4', 'fortran_order': False, 'shap\xe9': (2, 3)}", (1, 0), r"unexpected key 'shap\xe9'"),
        (b"{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3)} # \xe9", (3, 0), "it is not UTF-8"),
        # The quoted snippet (20 bytes) ends inside a character.
        ("{'descr': '<f4', 'fortran_order': " + "\u00e9" * 20 + "}", (3, 0), "expected True or False at '" + r"\xc3\xa9" * 10 + "'"),
    ]:
        write_npy(raw, text, bytes(24), version)
        with pytest.raises(ValueError) as err:
            FeatureReader(2, False, 1).read([raw])
        assert str(err.value) == f"{name}: malformed .npy header: {message}"


def test_chunks_that_would_pass_the_largest_size_are_refused(tmp_path):
    # Three files of (2**64 + 128) / 3 bytes each, which a wrapping sum makes 128.
    frames = (2 ** 64 + 128) // 3 // 8
    paths = [str(write_npy(tmp_path / f"{i}.npy", header("<f8", f"(1, {frames})"))) for i in range(3)]
    for path in paths:
        extend_sparse(path, os.path.getsize(path) + frames * 8)
    with pytest.raises(ValueError, match=f"^{paths[1]}: with the files before it in the chunk, "
                                         f"more than 9223372036854775807 bytes of features$"):
        FeatureReader(1, True, 2).read(paths)
    with pytest.raises(MemoryError):
        FeatureReader(1, True, 1).read(paths[:1])


@pytest.mark.parametrize("finding", FUZZ_FINDINGS, ids=lambda p: p.name)
def test_fuzz_findings_are_refused(tmp_path, finding):
    """Inputs that broke the reader under scripts/fuzz.sh, read as the fuzz target reads
    them: as they are, then followed by a hole that makes the file 2**63 - 1 bytes long."""
    path = str(tmp_path / "input.npy")
    shutil.copy(finding, path)
    for sparse in (False, True):
        if sparse:
            extend_sparse(path, 2 ** 63 - 1)
        for num_feats in (1, 2):
            with pytest.raises((ValueError, MemoryError)):
                FeatureReader(num_feats, True, 1).read([path] * 3)
        try:
            load_transcripts([path])
        except ValueError as err:
            assert str(err).startswith(f"{path}: ")
