import io
import os
import shutil
import subprocess
from pathlib import Path

import pytest
import torch

from quorlin import console

# Tests never reach the network and never open a window.
os.environ.setdefault("WANDB_MODE", "offline")
os.environ.setdefault("MPLBACKEND", "Agg")
# The models under test are tiny: a second thread only waits for a core, most of all on a busy machine.
torch.set_num_threads(1)


@pytest.fixture(autouse=True)
def _console_as_it_starts():
    """Every test starts with the console's defaults, whatever a command run before it set
    (``-q``, ``--progress``)."""
    console.configure()
    yield
    console.configure()


def _assert_same(a, b):
    """Exact equality of nested states: tensors, dicts (with key order), lists and plain values."""
    if isinstance(a, torch.Tensor):
        assert torch.equal(a, b)
    elif isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            _assert_same(a[key], b[key])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            _assert_same(x, y)
    else:
        assert a == b


@pytest.fixture
def assert_same():
    return _assert_same


def _edit_distance(a, b):
    """Levenshtein distance between two sequences (strings, or lists of words)."""
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (x != y))
    return row[-1]


@pytest.fixture
def edit_distance():
    return _edit_distance


def _sentences(subjects, verbs, adverbs):
    """Every subject with every verb, in blocks of n = len(subjects) sentences that each use
    every word once: any block held out is made of words heard in the others."""
    n = len(subjects)
    out = []
    for block in range(n):
        for i in range(n):
            text = f"{subjects[i]} {verbs[(i + block) % n]} {adverbs[(5 * i + block) % n]}"
            out.append(text[0].upper() + text[1:])
    return out


# 36 sentences each from about twenty words, so that a tiny model hears every word many times.
GERMAN_SENTENCES = _sentences(["der Bär", "die Möwe", "das Mädchen", "der Fuchs", "die Katze", "der Junge"],
                              ["läuft", "schläft", "grüßt", "singt", "spielt", "wartet"],
                              ["draußen", "fröhlich", "heute", "früh", "gern", "später"])
RUSSIAN_SENTENCES = _sentences(["кошка", "собака", "мальчик", "девочка", "птица", "медведь"],
                               ["спит", "бежит", "поёт", "читает", "играет", "ждёт"],
                               ["дома", "утром", "быстро", "тихо", "сегодня", "весело"])
SPOKEN_SAMPLE_RATE = 16000


def _write_spoken_corpus(root, sentences, voice, speaker=1, chapter=1):
    """Speaks each sentence with the espeak-ng ``voice`` into a LibriSpeech-style tree.

    Writes root/<speaker>/<chapter>/<speaker>-<chapter>-<nnnn>.flac (16 kHz mono, numbered
    from 0 in the order given) and the "<speaker>-<chapter>.trans.txt" lines "<id> <sentence>";
    returns ``root`` as a Path.
    """
    import soundfile
    import torchaudio

    folder = Path(root) / str(speaker) / str(chapter)
    folder.mkdir(parents=True, exist_ok=True)
    lines = []
    for number, text in enumerate(sentences):
        utt_id = f"{speaker}-{chapter}-{number:04d}"
        wav = subprocess.run(["espeak-ng", "-v", voice, "--stdout", text], check=True, capture_output=True).stdout
        audio, rate = soundfile.read(io.BytesIO(wav), dtype="float32", always_2d=True)
        audio = torchaudio.functional.resample(torch.from_numpy(audio.mean(axis=1)), rate, SPOKEN_SAMPLE_RATE)
        soundfile.write(folder / f"{utt_id}.flac", audio.clamp(-1, 1).numpy(), SPOKEN_SAMPLE_RATE,
                        subtype="PCM_16")
        lines.append(f"{utt_id} {text}\n")
    (folder / f"{speaker}-{chapter}.trans.txt").write_text("".join(lines), encoding="utf-8")
    return Path(root)


@pytest.fixture
def spoken_corpus():
    """``spoken_corpus(root, sentences, voice, speaker=1, chapter=1)`` writes a small corpus
    spoken by espeak-ng (voices such as "de", "ru", "de+f2"); skips the test without espeak-ng.

    Example:
        >>> root = spoken_corpus(tmp_path / "train", spoken_sentences["de"][:30], "de")
    """
    if shutil.which("espeak-ng") is None:
        pytest.skip("espeak-ng is not installed: it speaks the generated corpora")
    return _write_spoken_corpus


@pytest.fixture
def spoken_sentences():
    """The sentence lists by espeak-ng voice: "de" German, "ru" Russian."""
    return {"de": GERMAN_SENTENCES, "ru": RUSSIAN_SENTENCES}
