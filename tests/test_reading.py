import os
import resource
import time

import pytest
import yaml

from quorlin._reading import MAX_YAML_VALUES, FileFormatError, excerpt, load_json, load_yaml, read_bytes


def _bomb(levels):
    """Nested anchors: level k is a list of 9 aliases of level k - 1, so the last holds 9 ** levels strings."""
    lines = ["l0: &l0 [" + ", ".join(["lol"] * 9) + "]"]
    lines += [f"l{k}: &l{k} [" + ", ".join([f"*l{k - 1}"] * 9) + "]" for k in range(1, levels)]
    return "\n".join(lines) + "\n"


def _load_yaml_text(tmp_path, text):
    (tmp_path / "x.yaml").write_text(text)
    return load_yaml(tmp_path / "x.yaml")


def _yaml_error(tmp_path, text):
    with pytest.raises(FileFormatError) as error:
        _load_yaml_text(tmp_path, text)
    return str(error.value)


def test_yaml_within_bounds_reads_as_safe_load_does(tmp_path):
    text = "a: &x [1, 2.5, true, null, 2001-12-14]\nb: *x\nc: {d: [[[deep]]]}\n"
    assert _load_yaml_text(tmp_path, text) == yaml.safe_load(text)
    # Aliases are fine as long as what they expand to stays small: 9 ** 5 values of a few bytes.
    assert 9 ** 5 < MAX_YAML_VALUES
    assert len(_load_yaml_text(tmp_path, _bomb(5))["l4"]) == 9


@pytest.mark.parametrize("text", ["a: &a [1, *a]\n",  # a list inside itself: endless
                                  "".join(f"k{i}: &k{i} [*k{i - 1}]\n" if i else "k0: &k0 [1]\n"
                                          for i in range(200_000 // 10))])  # a long chain of aliases
def test_endless_or_long_alias_chains_are_refused(tmp_path, text):
    assert "aliases expand to more than 100000 values" in _yaml_error(tmp_path, text)


def test_an_alias_bomb_is_refused_at_once_without_memory(tmp_path):
    text = _bomb(12)  # 9 ** 12 = 282 billion strings from 600 bytes
    assert len(text) < 700
    start, peak = time.process_time(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    message = _yaml_error(tmp_path, text)
    assert message == f"{tmp_path / 'x.yaml'}: its aliases expand to more than 100000 values; write the values out"
    assert time.process_time() - start < 1
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 50_000  # kB


@pytest.mark.parametrize("text, message", [
    ("a: " + "[" * 40 + "]" * 40, "x.yaml, line 1: nested more than 32 levels deep"),
    ("a: " + "[" * 100_000, "x.yaml, line 1: nested more than 32 levels deep"),
    ("a: [1,\nb: 2\n", "x.yaml is not valid YAML, line 3, column 1: expected ',' or ']', but got '<stream end>'"),
    ("a: 1\n---\nb: 2\n", "x.yaml is not valid YAML, line 2, column 1: but found another document"),
    ("a: b\0c\n", "x.yaml is not valid YAML: it holds the character U+0000, which YAML does not allow (at character 5)"),
    ("a: 2001-02-30\n", "x.yaml is not valid YAML: day is out of range for month"),
    ("a: " + "7" * 5000, "x.yaml is not valid YAML: Exceeds the limit (4300 digits) for integer string conversion: "
                         "value has 5000..."),
    ("a: !!python/object/apply:os.system [ls]\n",
     "x.yaml is not valid YAML, line 1, column 4: could not determine a constructor for the tag "
     "'tag:yaml.org,2002:python/object/apply:os.system'"),
])
def test_bad_yaml_is_one_line_naming_the_file(tmp_path, text, message):
    assert _yaml_error(tmp_path, text) == f"{tmp_path}/{message}"


@pytest.mark.parametrize("text, message", [
    ("[" * 100_000 + "]" * 100_000, "x.json is nested more than 32 levels deep"),  # past Python's recursion limit
    ("[" * 33 + "]" * 33, "x.json is nested more than 32 levels deep"),
    ('{"a": [1, 2', "x.json is not valid JSON: Expecting ',' delimiter: line 1 column 12 (char 11)"),
])
def test_bad_json_is_one_line_naming_the_file(tmp_path, text, message):
    (tmp_path / "x.json").write_text(text)
    with pytest.raises(FileFormatError) as error:
        load_json(tmp_path / "x.json")
    assert str(error.value) == f"{tmp_path}/{message}"
    (tmp_path / "x.json").write_text("[" * 32 + "]" * 32)
    assert load_json(tmp_path / "x.json") is not None


def test_only_regular_files_of_bounded_size_are_read(tmp_path):
    os.mkfifo(tmp_path / "fifo")  # opening it to read would wait for a writer for ever
    (tmp_path / "big").write_bytes(b"x" * 101)
    for name, message in (("fifo", "cannot read {}: not a regular file (a folder, FIFO or device)"),
                          ("nowhere", "cannot read {}: no such file"),
                          ("big", "{} holds 101 bytes, more than the 100 such a file may hold")):
        with pytest.raises(FileFormatError) as error:
            read_bytes(tmp_path / name, 100)
        assert str(error.value) == message.format(tmp_path / name)
    assert read_bytes(tmp_path / "big", 101) == b"x" * 101


def test_excerpts_stay_short_whatever_the_value():
    shared = ["lol"]
    for _ in range(60):
        shared = [shared] * 9  # 9 ** 60 leaves, shared
    assert excerpt(shared) == "[[[[...], [...], [...], [...], ...], [[...], [...], [...], [...], ...], [[......"
    assert excerpt("a" * 1000) == "'" + "a" * 37 + "..." + "a" * 38 + "'"
    assert excerpt(10 ** 5000) == "<an integer of 16610 bits>"
    assert excerpt("tab\there") == "'tab\\there'"
