"""Prepared partitions follow their sources: changed transcripts and recordings are prepared again,
files of utterances that are gone are removed, and an interrupted run never leaves a record that
vouches for files it did not write."""
import json
import os

import numpy as np
import pytest
import soundfile
import torch
import torchaudio

import quorlin.prep.layouts as layouts
from quorlin.data.maltrey import Maltrey
from quorlin.data.pellith import Pellith
from quorlin.data.stream_index import read_stream_index
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.prep import PreparationError, Utterance, manifest_utterances, prepare_asr, prepare_lm

CHARS = VaskTokenizer.from_texts(["ABCDEFGHIJKLMNOPQRSTUVWXYZ '"])
CONFIG = {"num_feats": 80, "norm": "cepstral", "specaug": False,
          "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}


def _wav(path, seconds, seed):
    rng = np.random.default_rng(seed)
    soundfile.write(path, (0.1 * rng.standard_normal(int(seconds * 16000))).astype(np.float32), 16000)


def _clips(tmp_path, names, step=0.0):
    """A noise clip ``clips/<name>.wav`` per name, the i-th 0.3 + i * step seconds long."""
    os.makedirs(tmp_path / "clips")
    for seed, name in enumerate(names):
        _wav(tmp_path / "clips" / f"{name}.wav", 0.3 + step * seed, seed)


def _expected_fbank(path):
    samples, rate = soundfile.read(path, dtype="float32")
    return torchaudio.compliance.kaldi.fbank(torch.from_numpy(samples)[None], num_mel_bins=80, frame_length=25.0,
                                             frame_shift=10.0, sample_frequency=rate).T.numpy()


def _manifest(tmp_path, lines):
    (tmp_path / "m.tsv").write_text("".join(f"clips/{name}.wav\t{text}\n" for name, text in lines.items()))
    return manifest_utterances(str(tmp_path / "m.tsv"))


def _stamps(folder):
    return {p.relative_to(folder).as_posix(): p.stat().st_mtime_ns for p in folder.rglob("*.npy")}


def _index(folder):
    """The stream index's names and frame counts, and when it was written."""
    index = read_stream_index(str(folder))
    return dict(zip(index.names.tolist(), index.frames.tolist())), (folder / "stream_index.npz").stat().st_mtime_ns


def _assert_record_holds(folder, audio_of):
    """Everything sources.json vouches for is on disk as it says."""
    record = json.loads((folder / "sources.json").read_text())
    for utt_id, entry in record.items():
        fbank = folder / "fbank" / f"{utt_id}.npy"
        assert fbank.exists()
        stat = os.stat(audio_of[utt_id])
        if (stat.st_size, stat.st_mtime_ns) == (entry["audio_size"], entry["audio_mtime_ns"]):
            np.testing.assert_array_equal(np.load(fbank), _expected_fbank(audio_of[utt_id]))
        if "text" in entry and (folder / "text").exists():
            assert "".join(np.load(folder / "text" / f"{utt_id}.npy")) == entry["text"]


def test_changed_transcripts_and_recordings_are_prepared_again(tmp_path, capsys):
    _clips(tmp_path, "abc", step=0.1)
    out, folder = tmp_path / "data", tmp_path / "data" / "dev-other"
    utterances = _manifest(tmp_path, {"a": "Let there be light.", "b": "And there was light", "c": "God saw it"})
    assert prepare_asr(utterances, str(out), "dev-other", num_workers=1) == {"prepared": 3, "skipped": 0}
    stats = {n: os.stat(tmp_path / "clips" / f"{n}.wav") for n in "abc"}
    texts = {"a": "LET THERE BE LIGHT", "b": "AND THERE WAS LIGHT", "c": "GOD SAW IT"}
    assert json.loads((folder / "sources.json").read_text()) == {
        n: {"audio_size": stats[n].st_size, "audio_mtime_ns": stats[n].st_mtime_ns, "speed": 1.0, "text": texts[n]}
        for n in "abc"}
    assert json.loads((folder / "prep.json").read_text()) == {"kind": "asr", "num_mel_bins": 80,
                                                              "sample_rate": 16000}
    assert (folder / "references.tsv").read_text() == "".join(f"{n}\t{texts[n]}\n" for n in "abc")
    # 25 ms windows every 10 ms over 0.3, 0.4 and 0.5 s: 1 + (samples - 400) // 160.
    assert _index(folder)[0] == {"a.npy": 28, "b.npy": 38, "c.npy": 48}

    # a: a new transcript; b: a new recording; c: gone; d: new.
    before = _stamps(folder)
    _wav(tmp_path / "clips" / "b.wav", 0.7, 11)
    _wav(tmp_path / "clips" / "d.wav", 0.2, 12)
    utterances = _manifest(tmp_path, {"a": "Let there be LIGHT, now", "b": "And there was light", "d": "Day one"})
    assert prepare_asr(utterances, str(out), "dev-other", num_workers=2) == {"prepared": 3, "skipped": 0}
    after = _stamps(folder)
    assert sorted(after) == ["fbank/a.npy", "fbank/b.npy", "fbank/d.npy", "text/a.npy", "text/b.npy", "text/d.npy"]
    # A new transcript does not recompute the features.
    assert after["fbank/a.npy"] == before["fbank/a.npy"] and after["text/a.npy"] != before["text/a.npy"]
    assert after["text/b.npy"] != before["text/b.npy"]
    for name in "abd":
        np.testing.assert_array_equal(np.load(folder / "fbank" / f"{name}.npy"),
                                      _expected_fbank(tmp_path / "clips" / f"{name}.wav"))
    assert f"Removed 1 file(s) of utterances that are not in this run from {folder / 'fbank'} (first: c.npy)" \
        in capsys.readouterr().out
    assert (folder / "references.tsv").read_text() == \
        "a\tLET THERE BE LIGHT NOW\nb\tAND THERE WAS LIGHT\nd\tDAY ONE\n"
    frames, written = _index(folder)
    assert frames == {"a.npy": 28, "b.npy": 68, "d.npy": 18}

    dev = Maltrey("dev-other", {"root": str(out), **CONFIG}, CHARS, False)
    assert [CHARS.decode(dev[i][2].tolist(), skip_special_tokens=True) for i in range(len(dev))] == \
        ["LET THERE BE LIGHT NOW", "AND THERE WAS LIGHT", "DAY ONE"]
    assert [dev[i][0].shape[1] for i in range(len(dev))] == [1 + (round(s * 16000) - 400) // 160
                                                              for s in (0.3, 0.7, 0.2)]

    # Nothing changed: nothing is written, the record included.
    record = (folder / "sources.json").stat().st_mtime_ns
    assert prepare_asr(utterances, str(out), "dev-other", num_workers=2) == {"prepared": 0, "skipped": 3}
    assert _stamps(folder) == after and (folder / "sources.json").stat().st_mtime_ns == record
    assert _index(folder) == (frames, written)

    # A recording that breaks leaves no files behind, not even those of its earlier version.
    (tmp_path / "clips" / "d.wav").write_bytes(b"RIFF" + bytes(40))
    with pytest.raises(PreparationError, match="d.wav: cannot read audio"):
        prepare_asr(utterances, str(out), "dev-other", num_workers=1)
    assert sorted(_stamps(folder)) == ["fbank/a.npy", "fbank/b.npy", "text/a.npy", "text/b.npy"]
    assert sorted(json.loads((folder / "sources.json").read_text())) == ["a", "b"]
    assert not (folder / "stream_index.npz").exists()  # it would vouch for the features of d
    assert (folder / "references.tsv").read_text() == "a\tLET THERE BE LIGHT NOW\nb\tAND THERE WAS LIGHT\n"

    # A recording that cannot be found (an unmounted disk) fails the run but keeps its files;
    # with its record gone, the next run prepares it again.
    os.rename(tmp_path / "clips" / "b.wav", tmp_path / "b.wav")
    with pytest.raises(PreparationError, match="b.wav: cannot read audio"):
        prepare_asr(utterances, str(out), "dev-other", num_workers=1)
    assert sorted(_stamps(folder)) == ["fbank/a.npy", "fbank/b.npy", "text/a.npy", "text/b.npy"]
    assert sorted(json.loads((folder / "sources.json").read_text())) == ["a"]
    os.rename(tmp_path / "b.wav", tmp_path / "clips" / "b.wav")
    (tmp_path / "clips" / "d.wav").unlink()
    assert prepare_asr(_manifest(tmp_path, {"a": "let there be light now", "b": "and there was light"}), str(out),
                       "dev-other", num_workers=1) == {"prepared": 1, "skipped": 1}
    assert _index(folder)[0] == {"a.npy": 28, "b.npy": 68}


def test_partitions_get_text_and_references_by_their_role(tmp_path):
    _clips(tmp_path, "ab")
    utterances = _manifest(tmp_path, {"b": "two", "a": "one"})
    out = tmp_path / "data"
    for partition in ("train-clean-100", "dev-clean", "test-clean", "test-modern"):
        prepare_asr(utterances, str(out), partition, num_workers=1)
    listing = {p: sorted(os.listdir(out / p)) for p in os.listdir(out)}
    assert listing == {"train-clean-100": ["fbank", "prep.json", "sources.json", "stream_index.npz", "text"],
                       "dev-clean": ["fbank", "prep.json", "references.tsv", "sources.json", "stream_index.npz",
                                     "text"],
                       "test-clean": ["fbank", "prep.json", "references.tsv", "sources.json", "stream_index.npz"],
                       "test-modern": ["fbank", "prep.json", "references.tsv", "sources.json", "stream_index.npz",
                                       "text"]}
    assert (out / "test-modern" / "references.tsv").read_text() == "a\tONE\nb\tTWO\n"

    # On the test partition a new transcript changes the references alone.
    stamps = _stamps(out / "test-clean")
    utterances = _manifest(tmp_path, {"a": "one", "b": "second"})
    assert prepare_asr(utterances, str(out), "test-clean", num_workers=1) == {"prepared": 1, "skipped": 1}
    assert _stamps(out / "test-clean") == stamps
    assert (out / "test-clean" / "references.tsv").read_text() == "a\tONE\nb\tSECOND\n"

    # Speed perturbation is allowed wherever it is asked for, except on the test partition.
    assert prepare_asr(utterances, str(out), "dev-clean", num_workers=1, speed_factors=[1.1]) == \
        {"prepared": 3, "skipped": 1}
    assert (out / "dev-clean" / "references.tsv").read_text() == "a\tONE\na_sp1.1\tONE\nb\tSECOND\nb_sp1.1\tSECOND\n"
    for bad in ("../elsewhere", "a/b", ".hidden", ""):
        with pytest.raises(PreparationError, match=f"^partition must be a plain folder name, got {bad!r}$"):
            prepare_asr(utterances, str(out), bad, num_workers=1)
    assert sorted(os.listdir(tmp_path)) == ["clips", "data", "m.tsv"]


def test_a_folder_prepared_before_the_record_existed(tmp_path):
    _clips(tmp_path, "a")
    folder = tmp_path / "data" / "dev-clean"
    os.makedirs(folder / "fbank")
    os.makedirs(folder / "text")
    (folder / "prep.json").write_text('{"kind": "asr", "num_mel_bins": 80, "sample_rate": 16000, "normalize": false}')
    np.save(folder / "fbank" / "a.npy", np.zeros((80, 3), np.float32))
    np.save(folder / "text" / "a.npy", np.array(list("one"), dtype="<U1"))
    utterances = _manifest(tmp_path, {"a": "one"})
    # Without a record nothing is known about the files: prepared again, and the claim is
    # kept without its retired key.
    assert prepare_asr(utterances, str(tmp_path / "data"), "dev-clean", num_workers=1) == \
        {"prepared": 1, "skipped": 0}
    np.testing.assert_array_equal(np.load(folder / "fbank" / "a.npy"), _expected_fbank(tmp_path / "clips" / "a.wav"))
    assert "".join(np.load(folder / "text" / "a.npy")) == "ONE"
    assert json.loads((folder / "prep.json").read_text()) == {"kind": "asr", "num_mel_bins": 80,
                                                              "sample_rate": 16000}


def test_an_interrupted_run_vouches_only_for_what_it_wrote(tmp_path, monkeypatch):
    _clips(tmp_path, "abcd")
    out, folder = tmp_path / "data", tmp_path / "data" / "dev-clean"
    audio_of = {n: tmp_path / "clips" / f"{n}.wav" for n in "abcd"}
    first = {"a": "one", "b": "two", "c": "three", "d": "four"}
    prepare_asr(_manifest(tmp_path, first), str(out), "dev-clean", num_workers=1)

    # Every transcript changes and b is recorded again; the run is stopped at its third job.
    # The record on disk must hold before and after every write, whenever the run stops.
    _wav(audio_of["b"], 0.5, 7)
    real, calls = layouts._write_utterance, []

    def checked(job):
        _assert_record_holds(folder, audio_of)
        calls.append(job)
        if len(calls) == 3:
            raise KeyboardInterrupt
        real(job)
        _assert_record_holds(folder, audio_of)

    monkeypatch.setattr(layouts, "_write_utterance", checked)
    monkeypatch.setattr(layouts, "_RECORD_INTERVAL_S", 0.0)  # written after every job
    with pytest.raises(KeyboardInterrupt):
        prepare_asr(_manifest(tmp_path, {n: t.upper() + " again" for n, t in first.items()}), str(out),
                    "dev-clean", num_workers=1)
    _assert_record_holds(folder, audio_of)
    record = json.loads((folder / "sources.json").read_text())
    assert {n: e.get("text") for n, e in record.items()} == {"a": "ONE AGAIN", "b": "TWO AGAIN", "c": None,
                                                               "d": None}
    assert (folder / "references.tsv").read_text() == "a\tONE AGAIN\nb\tTWO AGAIN\n"
    monkeypatch.undo()

    # Back to the first transcripts: whatever the stopped run wrote is replaced.
    assert prepare_asr(_manifest(tmp_path, first), str(out), "dev-clean", num_workers=1) == \
        {"prepared": 4, "skipped": 0}
    for name, text in first.items():
        assert "".join(np.load(folder / "text" / f"{name}.npy")) == text.upper()
        np.testing.assert_array_equal(np.load(folder / "fbank" / f"{name}.npy"), _expected_fbank(audio_of[name]))


def test_normalisation_is_any_function_run_here(tmp_path):
    _clips(tmp_path, "ab")
    utterances = _manifest(tmp_path, {"a": "Hello, World", "b": "x"})
    out = tmp_path / "data"
    # A lambda cannot be sent to worker processes: it runs in this one.
    prepare_asr(utterances, str(out), "dev-clean", num_workers=2, normalize=lambda t: t[::-1].lower())
    prepare_asr(utterances, str(out), "test-clean", num_workers=2, normalize=None)
    assert "".join(np.load(out / "dev-clean" / "text" / "a.npy")) == "dlrow ,olleh"
    assert (out / "test-clean" / "references.tsv").read_text() == "a\tHello, World\nb\tx\n"

    with pytest.raises(TypeError, match="^normalize must be a callable or None, got True$"):
        prepare_asr(utterances, str(out), "dev-clean", normalize=True)
    with pytest.raises(TypeError, match="^normalize must return str, got NoneType: None$"):
        prepare_lm(["x"], str(out / "lm"), "train", normalize=lambda t: None)
    with pytest.raises(PreparationError) as err:
        prepare_asr(utterances, str(out), "dev-clean", normalize=lambda t: "" if t == "x" else t)
    assert str(err.value) == f"{tmp_path / 'clips' / 'b.wav'}: transcript is empty after normalisation"
    lines = [Utterance("a", str(tmp_path / "clips" / "a.wav"), "one\ntwo")]
    with pytest.raises(PreparationError, match="a.wav: transcript holds a line break"):
        prepare_asr(lines, str(out), "dev-clean", normalize=None)

    assert prepare_lm(["Keep, as IS", " \t", "x"], str(out / "lm"), "train", normalize=None) == \
        {"prepared": 2, "skipped": 0}
    assert ["".join(np.load(out / "lm" / "train" / n)) for n in sorted(os.listdir(out / "lm" / "train"))
            if n.endswith(".npy")] == ["Keep, as IS", "x"]


def test_the_lm_partition_follows_its_texts(tmp_path, monkeypatch, capsys):
    folder = tmp_path / "lm" / "train"

    def stored():
        return ["".join(np.load(folder / n)) for n in sorted(os.listdir(folder)) if n.endswith(".npy")]

    assert prepare_lm(["In the beginning", "God created", "the heaven"], str(tmp_path / "lm"), "train") == \
        {"prepared": 3, "skipped": 0}
    first = _stamps(folder)
    assert prepare_lm(["In the beginning", "and the earth"], str(tmp_path / "lm"), "train") == \
        {"prepared": 1, "skipped": 1}
    assert stored() == ["IN THE BEGINNING", "AND THE EARTH"]
    assert _stamps(folder)["00000000.npy"] == first["00000000.npy"]
    assert f"Removed 1 file(s) beyond the texts of this run from {folder} (first: 00000002.npy)" in \
        capsys.readouterr().out
    lm = Pellith("train", {"root": str(tmp_path / "lm")}, CHARS)
    assert [CHARS.decode(s[1:]) for s in lm.transcripts_shifted] == ["IN THE BEGINNING", "AND THE EARTH"]

    # Stopped after its first file, a run on other texts leaves no record: going back to
    # the texts before rewrites that file and trusts the others only after reading them.
    real, calls = layouts.save_npy, []

    def stopping(path, array):
        calls.append(path)
        if len(calls) == 2:
            raise KeyboardInterrupt
        real(path, array)

    monkeypatch.setattr(layouts, "save_npy", stopping)
    with pytest.raises(KeyboardInterrupt):
        prepare_lm(["Let there be light", "and there was light"], str(tmp_path / "lm"), "train")
    monkeypatch.undo()
    assert not (folder / "sources.json").exists() and stored() == ["LET THERE BE LIGHT", "AND THE EARTH"]
    assert prepare_lm(["In the beginning", "and the earth"], str(tmp_path / "lm"), "train") == \
        {"prepared": 1, "skipped": 1}
    assert stored() == ["IN THE BEGINNING", "AND THE EARTH"]


def test_an_lm_folder_prepared_before_the_record_existed(tmp_path):
    folder = tmp_path / "lm" / "dev"
    os.makedirs(folder)
    (folder / "prep.json").write_text('{"kind": "lm", "normalize": true, "texts_sha256": "0123"}')
    np.save(folder / "00000000.npy", np.array(list("ONE"), dtype="<U1"))
    np.save(folder / "00000001.npy", np.array(list("TOO"), dtype="<U1"))
    (folder / "00000002.npy").write_bytes(b"not an array")
    stamp = (folder / "00000000.npy").stat().st_mtime_ns
    assert prepare_lm(["one", "two", "three"], str(tmp_path / "lm"), "dev") == {"prepared": 2, "skipped": 1}
    assert (folder / "00000000.npy").stat().st_mtime_ns == stamp
    assert ["".join(np.load(folder / f"0000000{i}.npy")) for i in range(3)] == ["ONE", "TWO", "THREE"]
    assert json.loads((folder / "prep.json").read_text()) == {"kind": "lm"}
