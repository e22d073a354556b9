import os

import numpy as np
import pytest
import soundfile
import torch
import torchaudio

from quorlin.data.maltrey import Maltrey
from quorlin.data.pellith import Pellith
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.prep import (PreparationError, librispeech_utterances, manifest_utterances, normalize_transcript,
                          prepare_asr, prepare_lm, read_text_lines)
from quorlin.prep.files import save_npy
from quorlin.resample import resample


def _tone(seconds, rate, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * rate)) / rate
    return (0.3 * np.sin(2 * np.pi * (200 + 50 * seed) * t) + 0.01 * rng.standard_normal(t.size)).astype(np.float32)


def _write_tree(root, utterances):
    """utterances: {id: (seconds, rate, extension, transcript)} in the LibriSpeech layout."""
    for utt_id, (seconds, rate, ext, _) in utterances.items():
        speaker, chapter, _ = utt_id.split("-")
        folder = os.path.join(root, speaker, chapter)
        os.makedirs(folder, exist_ok=True)
        soundfile.write(os.path.join(folder, utt_id + ext), _tone(seconds, rate, len(utt_id) + int(chapter)), rate)
        with open(os.path.join(folder, f"{speaker}-{chapter}.trans.txt"), "a") as f:
            f.write(f"{utt_id} {utterances[utt_id][3]}\n")


def _expected_fbank(path):
    samples, rate = soundfile.read(path, dtype="float32")
    waveform = resample(torch.from_numpy(samples), rate, 16000)
    return torchaudio.compliance.kaldi.fbank(waveform[None], num_mel_bins=80, frame_length=25.0,
                                             frame_shift=10.0, sample_frequency=16000).T.numpy()


ASR_CONFIG = {"num_feats": 80, "norm": "global_mvn", "specaug": False,
              "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}


def test_tree_and_manifest_prepare_what_the_datasets_load(tmp_path, capsys):
    char_tokenizer = VaskTokenizer.from_texts(["ABCDEFGHIJKLMNOPQRSTUVWXYZ '"])
    tree = {"19-198-0001": (0.5, 16000, ".flac", "AND GOD SAID"), "19-198-0000": (0.3, 22050, ".wav", "LET THERE"),
            "27-3-0000": (0.4, 8000, ".flac", "BE LIGHT")}
    _write_tree(tmp_path / "src", tree)
    utterances = librispeech_utterances(str(tmp_path / "src"))
    assert [u.utt_id for u in utterances] == ["19-198-0000", "19-198-0001", "27-3-0000"]
    out = tmp_path / "data"
    assert prepare_asr(utterances, str(out), "train-clean-100", num_workers=1) == {"prepared": 3, "skipped": 0}

    os.makedirs(tmp_path / "clips")
    soundfile.write(tmp_path / "clips" / "b.wav", _tone(0.6, 16000, 9), 16000)
    soundfile.write(tmp_path / "clips" / "a.flac", _tone(0.2, 44100, 8), 44100)
    (tmp_path / "test.tsv").write_text("clips/b.wav\tIt's the king\u2019s, Moses'!\n\nclips/a.flac\tHeaven; earth.\n")
    tests = manifest_utterances(str(tmp_path / "test.tsv"))
    assert [u.utt_id for u in tests] == ["a", "b"]
    prepare_asr(tests, str(out), "test-clean", num_workers=1)
    prepare_lm(["In the beginning,", "  ", "God created the heaven."], str(out / "lm"), "train")

    for utt in utterances + tests:
        partition = "test-clean" if utt in tests else "train-clean-100"
        feats = np.load(out / partition / "fbank" / f"{utt.utt_id}.npy")
        assert feats.dtype == np.float32 and feats.shape[0] == 80
        np.testing.assert_array_equal(feats, _expected_fbank(utt.audio_path))
    assert np.load(out / "train-clean-100" / "fbank" / "19-198-0001.npy").shape == (80, 48)
    assert not (out / "test-clean" / "text").exists()
    assert (out / "test-clean" / "references.tsv").read_text() == "a\tHEAVEN EARTH\nb\tIT'S THE KING'S MOSES'\n"

    train = Maltrey("train-clean-100", {"root": str(out), **ASR_CONFIG}, char_tokenizer, True)
    test = Maltrey("test-clean", {"root": str(out), **ASR_CONFIG}, char_tokenizer, False,
                   (train.global_mean, train.global_std))
    decoded = [char_tokenizer.decode(train[i][2].tolist(), skip_special_tokens=True) for i in range(3)]
    assert decoded == ["LET THERE", "AND GOD SAID", "BE LIGHT"]
    assert len(test) == 2 and test[0][1] is None and test[1][0].shape == (80, 58)
    lm = Pellith("train", {"root": str(out / "lm")}, char_tokenizer)
    assert [char_tokenizer.decode(s[1:]) for s in lm.transcripts_shifted] == ["IN THE BEGINNING",
                                                                               "GOD CREATED THE HEAVEN"]

    # A second run skips every finished file and touches none of them.
    stamps = sorted((p, p.stat().st_mtime_ns) for p in out.rglob("*.npy"))
    assert prepare_asr(utterances, str(out), "train-clean-100", num_workers=1) == {"prepared": 0, "skipped": 3}
    assert prepare_lm(["In the beginning,", "God created the heaven."], str(out / "lm"), "train") == \
        {"prepared": 0, "skipped": 2}
    assert sorted((p, p.stat().st_mtime_ns) for p in out.rglob("*.npy")) == stamps
    # Other settings would mix with what is there: refused, with nothing touched.
    with pytest.raises(PreparationError, match="train-clean-100 was prepared with .*'num_mel_bins': 80"):
        prepare_asr(utterances, str(out), "train-clean-100", num_mel_bins=40)
    with pytest.raises(PreparationError, match="remove it or prepare into another folder"):
        prepare_asr(tests, str(out / "lm"), "train")
    assert sorted((p, p.stat().st_mtime_ns) for p in out.rglob("*.npy")) == stamps
    assert "Warning" not in capsys.readouterr().out


def test_bad_audio_is_named_and_finished_outputs_survive(tmp_path):
    tree = {f"5-1-{i:04d}": (0.3, 16000, ".flac", "WORDS") for i in range(5)}
    _write_tree(tmp_path / "src", tree)
    corrupt, empty = tmp_path / "src/5/1/5-1-0001.flac", tmp_path / "src/5/1/5-1-0002.wav"
    not_finite = tmp_path / "src/5/1/5-1-0004.wav"
    corrupt.write_bytes(b"fLaC" + os.urandom(300))
    os.unlink(tmp_path / "src/5/1/5-1-0002.flac")
    soundfile.write(empty, np.zeros(0, np.float32), 16000)  # a header, no samples
    os.unlink(tmp_path / "src/5/1/5-1-0004.flac")
    samples = _tone(0.3, 16000, 4)
    samples[[10, 2000]] = [np.nan, np.inf]
    soundfile.write(not_finite, samples, 16000, subtype="FLOAT")  # float WAV keeps them
    out = tmp_path / "data"
    utterances = librispeech_utterances(str(tmp_path / "src"))
    with pytest.raises(PreparationError) as err:
        prepare_asr(utterances, str(out), "dev-clean", num_workers=2)
    message = str(err.value)
    assert message.startswith(f"3 problems in {out / 'dev-clean'}, the first: ")
    assert f"{corrupt}: cannot read audio" in message and f"{empty}: audio file is empty" in message
    assert f"{not_finite}: audio holds samples that are not finite (NaN or infinity)" in message
    done = sorted(os.listdir(out / "dev-clean" / "fbank"))
    assert done == ["5-1-0000.npy", "5-1-0003.npy"] == sorted(os.listdir(out / "dev-clean" / "text"))
    assert np.load(out / "dev-clean" / "fbank" / "5-1-0003.npy").shape == (80, 28)
    # What failed has no reference either: the references are those of the files written.
    assert (out / "dev-clean" / "references.tsv").read_text() == "5-1-0000\tWORDS\n5-1-0003\tWORDS\n"

    # Once the bad files are dropped, the next run does only what is missing.
    good = [u for u in utterances if u.utt_id in ("5-1-0000", "5-1-0003")]
    assert prepare_asr(good, str(out), "dev-clean", num_workers=2) == {"prepared": 0, "skipped": 2}


def test_source_problems_are_listed_with_their_files(tmp_path):
    _write_tree(tmp_path / "src", {"7-2-0000": (0.1, 16000, ".wav", "ONE"), "7-2-0001": (0.1, 16000, ".ogg", "TWO")})
    trans = tmp_path / "src/7/2/7-2.trans.txt"
    trans.write_text("7-2-0000 ONE\n7-2-0009 NINE\n../../x EVIL\n7-2-0000\n")
    with pytest.raises(PreparationError) as err:
        librispeech_utterances(str(tmp_path / "src"))
    assert str(err.value).splitlines() == [
        f"4 problems in {tmp_path / 'src'}, the first: {trans}, line 2: no audio file 7-2-0009.* (.flac, .wav, .ogg, .mp3, ...) beside it",
        f"  {trans}, line 3: utterance id '../../x' is not a plain file name",
        f"  {trans}, line 4: empty transcript for 7-2-0000",
        f"  {tmp_path / 'src/7/2/7-2-0001.ogg'}: no transcript (no line for '7-2-0001' in a .trans.txt file "
        "of its folder)"]

    (tmp_path / "m.tsv").write_text("src/7/2/7-2-0000.wav\tONE\nsrc/7/2/7-2-0001.ogg\nmissing.wav\tX\n")
    with pytest.raises(PreparationError) as err:
        manifest_utterances(str(tmp_path / "m.tsv"))
    assert str(err.value).splitlines() == [
        f"2 problems in {tmp_path / 'm.tsv'}, the first: {tmp_path / 'm.tsv'}, line 2: no transcript for "
        f"{tmp_path / 'src/7/2/7-2-0001.ogg'}",
        f"  {tmp_path / 'm.tsv'}, line 3: no audio file {tmp_path / 'missing.wav'}"]


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"])
def test_line_ends_of_any_kind(tmp_path, end):
    """LF, CRLF, or CR alone as some spreadsheet programs write tab-separated text: the same lines."""
    _write_tree(tmp_path / "src", {"7-2-0000": (0.1, 16000, ".wav", "ONE"), "7-2-0001": (0.1, 16000, ".wav", "TWO")})
    (tmp_path / "src/7/2/7-2.trans.txt").write_bytes(f"7-2-0000 ONE{end}7-2-0001 TWO{end}".encode())
    assert [u.text for u in librispeech_utterances(str(tmp_path / "src"))] == ["ONE", "TWO"]
    lines = ["src/7/2/7-2-0000.wav\tONE", "", "src/7/2/7-2-0001.wav\tTWO"]
    (tmp_path / "m.tsv").write_bytes(end.join(lines).encode())  # and no end after the last
    assert [(u.utt_id, u.text) for u in manifest_utterances(str(tmp_path / "m.tsv"))] == [("7-2-0000", "ONE"),
                                                                                        ("7-2-0001", "TWO")]
    (tmp_path / "m.tsv").write_bytes(end.join(["src/7/2/7-2-0000.wav\tONE", "src/7/2/7-2-0001.wav"]).encode())
    with pytest.raises(PreparationError, match="m.tsv, line 2: no transcript for"):  # lines counted as the ends go
        manifest_utterances(str(tmp_path / "m.tsv"))
    (tmp_path / "t.txt").write_bytes(f"a{end}{end} b {end}".encode())
    assert read_text_lines(str(tmp_path / "t.txt")) == ["a", "b"]


def test_normalisation_and_text_files(tmp_path):
    assert normalize_transcript("Behold, the Lamb of God\u2019s! (John 1:29) -- 'Na\u00efve") == \
        "BEHOLD THE LAMB OF GOD'S JOHN NAIVE"
    assert normalize_transcript("MOSES' ROD  ") == "MOSES' ROD"
    import gzip
    with gzip.open(tmp_path / "t.txt.gz", "wt") as f:
        f.write("a\n\n b \n")
    assert read_text_lines(str(tmp_path / "t.txt.gz")) == ["a", "b"]


def test_interrupted_write_keeps_the_previous_file(tmp_path):
    path = tmp_path / "x.npy"
    save_npy(str(path), np.arange(3))
    with pytest.raises(Exception):
        save_npy(str(path), np.array([lambda: 0], dtype=object))  # fails while pickling
    assert np.load(path).tolist() == [0, 1, 2] and os.listdir(tmp_path) == ["x.npy"]


@pytest.mark.parametrize("rate", [22050, 48000])
def test_speed_perturbed_copies(tmp_path, rate):
    _write_tree(tmp_path / "src", {"19-198-0000": (0.5, rate, ".flac", "LET THERE BE LIGHT")})
    utterances = librispeech_utterances(str(tmp_path / "src"))
    out = tmp_path / "data"
    counts = prepare_asr(utterances, str(out), "train-clean-100", num_workers=1, speed_factors=[0.9, 1.0, 1.1])
    assert counts == {"prepared": 3, "skipped": 0}
    samples, rate = soundfile.read(utterances[0].audio_path, dtype="float32")
    for name, factor in (("19-198-0000", 1.0), ("19-198-0000_sp0.9", 0.9), ("19-198-0000_sp1.1", 1.1)):
        # Played `factor` times as fast = read as if recorded at factor * rate; 48 kHz audio is resampled
        # from there (43.2 kHz and 16 kHz have a short common period: 27 to 10), 22.05 kHz audio is resampled
        # to 16 kHz first (19,845 Hz and 16 kHz have none) and then read as if recorded at factor * 16 kHz.
        if rate == 48000 or factor == 1.0:
            waveform = resample(torch.from_numpy(samples), round(factor * rate), 16000)
        else:
            waveform = resample(resample(torch.from_numpy(samples), rate, 16000), round(factor * 16000), 16000)
        expected = torchaudio.compliance.kaldi.fbank(waveform[None], num_mel_bins=80, frame_length=25.0,
                                                     frame_shift=10.0, sample_frequency=16000).T.numpy()
        feats = np.load(out / "train-clean-100" / "fbank" / f"{name}.npy")
        np.testing.assert_array_equal(feats, expected)
        assert feats.shape[1] == 1 + (round(0.5 * 16000 / factor) - 400) // 160
        assert "".join(np.load(out / "train-clean-100" / "text" / f"{name}.npy")) == "LET THERE BE LIGHT"
    assert prepare_asr(utterances, str(out), "train-clean-100", num_workers=1, speed_factors=[1.1, 0.9]) == \
        {"prepared": 0, "skipped": 3}
    with pytest.raises(ValueError, match="positive numbers, got -0.9"):
        prepare_asr(utterances, str(out), "train-clean-100", speed_factors=[-0.9])
    with pytest.raises(ValueError, match="not for test-clean"):
        prepare_asr(utterances, str(out), "test-clean", speed_factors=[1.1])
    assert not (out / "test-clean").exists()
    # Two factors that print alike would write one file for both copies.
    with pytest.raises(ValueError, match=r"speed factors 0.9 and 0.90000001 would both name their copies "
                                         r"'<id>_sp0.9'"):
        prepare_asr(utterances, str(out), "train-clean-100", speed_factors=[0.9, 0.90000001])


def test_a_copy_named_like_an_utterance_is_refused_before_any_work(tmp_path):
    os.makedirs(tmp_path / "clips")
    for name in ("a", "a_sp0.9", "b_sp1.1", "b"):
        soundfile.write(tmp_path / "clips" / f"{name}.wav", _tone(0.3, 16000, 1), 16000)
    (tmp_path / "m.tsv").write_text("".join(f"clips/{n}.wav\tWORDS\n" for n in ("a", "a_sp0.9", "b_sp1.1", "b")))
    utterances = manifest_utterances(str(tmp_path / "m.tsv"))
    with pytest.raises(PreparationError) as err:
        prepare_asr(utterances, str(tmp_path / "data"), "train-clean-100", num_workers=1, speed_factors=[0.9, 1.1])
    assert str(err.value).splitlines() == [
        "2 problems in the utterance ids of train-clean-100, the first: "
        "a_sp0.9: the id of an utterance and of the speed 0.9 copy of a",
        "  b_sp1.1: the id of an utterance and of the speed 1.1 copy of b"]
    assert not (tmp_path / "data").exists()
    # Without the factor that collides, every id is made once.
    assert prepare_asr(utterances, str(tmp_path / "data"), "train-clean-100", num_workers=1,
                       speed_factors=[0.8]) == {"prepared": 8, "skipped": 0}
