import os

import pytest

from quorlin.errors import QuorlinError
from quorlin.inference.inputs import audio_inputs


def _touch(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")


def test_folders_are_searched_and_files_taken_as_given(tmp_path):
    for name in ("b/two.FLAC", "b/deeper/three.opus", "a/one.wav", "a/notes.txt", "given.dat"):
        _touch(tmp_path / name)
    found, refused = audio_inputs([str(tmp_path / "b"), str(tmp_path / "a"), str(tmp_path / "given.dat")])
    assert found == [("three", str(tmp_path / "b/deeper/three.opus")), ("two", str(tmp_path / "b/two.FLAC")),
                     ("one", str(tmp_path / "a/one.wav")), ("given", str(tmp_path / "given.dat"))]
    assert refused == []


def test_names_no_output_can_hold_are_refused_one_by_one(tmp_path):
    _touch(tmp_path / "good.wav")
    tabbed = tmp_path / "tab\there.wav"
    _touch(tabbed)
    bad_bytes = os.fsdecode(bytes(tmp_path) + b"/caf\xe9.wav")
    open(bad_bytes, "wb").close()
    found, refused = audio_inputs([str(tmp_path)])
    assert found == [("good", str(tmp_path / "good.wav"))]
    assert refused == [f"{tmp_path}/caf\\xe9.wav: the file name is not valid UTF-8; rename the file",
                       f"{str(tabbed)!r}: the file name holds a tab or line break, "
                       "which no transcript format can hold; rename the file"]


@pytest.mark.parametrize("names, given, message", [
    ([], ["missing.wav"], "{tmp}/missing.wav: no such audio file or folder"),
    (["notes.txt"], [""], "no audio files (.flac, .wav, .ogg, .opus, .mp3, .aiff, .aif, .au, .caf, .w64, .rf64) "
                           "in {tmp}"),
    (["a/x.wav", "b/x.flac"], ["a", "b"], "two inputs share an id, the name of their output: {tmp}/b/x.flac and "
                                          "{tmp}/a/x.wav both have the id 'x'"),
])
def test_inputs_that_name_nothing_usable(tmp_path, names, given, message):
    for name in names:
        _touch(tmp_path / name)
    with pytest.raises(QuorlinError) as error:
        audio_inputs([str(tmp_path / g) for g in given])
    assert str(error.value) == message.format(tmp=tmp_path)
