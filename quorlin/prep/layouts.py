"""Prepared datasets: the ASR layout that ``Maltrey`` reads and the LM layout that ``Pellith`` reads.

Partition names follow LibriSpeech, because ``Maltrey`` knows the test partition
by its name: training data goes to "train-clean-100", development data to
"dev-clean" and test data to "test-clean" (``PARTITIONS``), whatever the source.
"test-clean" gets no ``text/`` folder; its normalised references go to
``test-clean/references.tsv`` ("<id><TAB><text>" lines, in the sorted order in
which ``Maltrey`` lists the feature files).
"""
import hashlib
import json
import os
from typing import Dict, List, Optional, Sequence

import numpy as np
from tqdm import tqdm

from quorlin._files import remove_temporaries, write_text
from quorlin.layout import (DEV_PARTITION, FEATURES_FOLDER, PREP_SETTINGS_FILE, REFERENCES_FILE, TEST_PARTITION,
                            TRAIN_PARTITION, TRANSCRIPTS_ARRAYS_FOLDER)
from quorlin.prep.errors import PreparationError, raise_problems
from quorlin.prep.features import SAMPLE_RATE, audio_fbank
from quorlin.prep.files import save_npy
from quorlin.prep.runner import run_parallel
from quorlin.prep.sources import Utterance
from quorlin.prep.text import normalize_transcript

PARTITIONS = {"train": TRAIN_PARTITION, "dev": DEV_PARTITION, "test": TEST_PARTITION}


def transcript_array(text: str) -> np.ndarray:
    """A transcript as the datasets store it: an array of single characters."""
    return np.array(list(text), dtype="<U1")


def prepare_asr(utterances: Sequence[Utterance], root: str, partition: str, num_mel_bins: int = 80,
                num_workers: Optional[int] = None, normalize: bool = True,
                speed_factors: Sequence[float] = ()) -> Dict[str, int]:
    """Writes one partition of the ASR layout: ``root/partition/fbank/<id>.npy`` and ``text/<id>.npy``.

    Features are (num_mel_bins, frames) float32 log-mel filter banks
    (``compute_fbank``), transcripts character arrays (``transcript_array``),
    normalised with ``normalize_transcript`` unless ``normalize`` is false. Files run
    in parallel; utterances whose outputs exist are skipped, so an interrupted run
    resumes where it stopped. Every file is written whole or not at all. Unusable
    audio files are reported together in one ``PreparationError`` after every other
    utterance has been written.

    Args:
        utterances: from ``librispeech_utterances`` or ``manifest_utterances``.
        root: dataset root (the ``root`` of the data configuration).
        partition: output folder; "test-clean" gets ``references.tsv`` instead of ``text/``.
        num_mel_bins: filter-bank bins (the ``num_feats`` of the data configuration).
        num_workers: processes; all cores by default.
        normalize: normalise the transcripts.
        speed_factors: speed perturbation of a training partition: besides every
            utterance, a copy played at each of these speeds, "<id>_sp<factor>" (1.0
            stands for the utterance itself).

    Returns:
        {"prepared": files written now, "skipped": files already there}.

    Example:
        >>> prepare_asr(librispeech_utterances("LibriSpeech/dev-clean"), "data/asr", "dev-clean")
        {'prepared': 2703, 'skipped': 0}
    """
    texts = _transcripts([u.text for u in utterances], normalize, [u.audio_path for u in utterances])
    if not utterances:
        raise PreparationError(f"no utterances to prepare for {partition}")
    is_test = partition == TEST_PARTITION
    speeds = _speeds(speed_factors, is_test)
    ids = [u.utt_id for u in utterances]
    if len(set(ids)) != len(ids):
        raise PreparationError(f"utterance ids must be unique in {partition}")
    ids = [_perturbed_id(i, speed) for i in ids for speed in speeds]
    folder = os.path.join(root, partition)
    _claim(folder, {"kind": "asr", "num_mel_bins": int(num_mel_bins), "sample_rate": SAMPLE_RATE,
                    "normalize": bool(normalize)})
    fbank_dir = os.path.join(folder, FEATURES_FOLDER)
    text_dir = None if is_test else os.path.join(folder, TRANSCRIPTS_ARRAYS_FOLDER)
    for d in filter(None, (fbank_dir, text_dir)):
        os.makedirs(d, exist_ok=True)
        remove_temporaries(d)
    _warn_foreign_files(fbank_dir, ids)

    jobs = []
    for u, text in zip(utterances, texts):
        for speed in speeds:
            utt_id = _perturbed_id(u.utt_id, speed)
            fbank_path = os.path.join(fbank_dir, utt_id + ".npy")
            text_path = None if is_test else os.path.join(text_dir, utt_id + ".npy")
            if not (os.path.exists(fbank_path) and (text_path is None or os.path.exists(text_path))):
                jobs.append((u.audio_path, fbank_path, text_path, text, int(num_mel_bins), speed))
    failures = run_parallel(_write_utterance, jobs, num_workers, desc=f"[Preparing {partition}]")
    raise_problems(failures, folder)
    if is_test:
        write_text(os.path.join(folder, REFERENCES_FILE),
                  "".join(f"{i}\t{t}\n" for i, t in sorted(zip(ids, texts))))
    return {"prepared": len(jobs), "skipped": len(ids) - len(jobs)}


def prepare_lm(texts: Sequence[str], root: str, partition: str, normalize: bool = True) -> Dict[str, int]:
    """Writes one partition of the LM layout: ``root/partition/<n>.npy``, one character array per text.

    Files are numbered in the order of ``texts`` (zero-padded, so that sorting the
    names keeps it); blank texts are left out. Existing files are skipped, and a
    folder prepared from other texts is refused.

    Example:
        >>> prepare_lm(read_text_lines("demo/kjv/lm-text.txt.gz"), "data/lm", "train")
        {'prepared': 41758, 'skipped': 0}
    """
    texts = [t for t in _transcripts(list(texts), normalize) if t]
    if not texts:
        raise PreparationError(f"no text to prepare for {partition}")
    folder = os.path.join(root, partition)
    digest = hashlib.sha256("\n".join(texts).encode("utf-8")).hexdigest()
    _claim(folder, {"kind": "lm", "normalize": bool(normalize), "texts_sha256": digest})
    remove_temporaries(folder)
    width = max(8, len(str(len(texts) - 1)))
    prepared = 0
    for i, text in enumerate(tqdm(texts, desc=f"[Preparing {partition}]", dynamic_ncols=True, leave=False)):
        path = os.path.join(folder, f"{i:0{width}d}.npy")
        if not os.path.exists(path):
            save_npy(path, transcript_array(text))
            prepared += 1
    return {"prepared": prepared, "skipped": len(texts) - prepared}


def _speeds(speed_factors: Sequence[float], is_test: bool) -> List[float]:
    """1.0 (the utterance itself), then the other factors in their order."""
    speeds = [1.0]
    for factor in speed_factors:
        if isinstance(factor, bool) or not isinstance(factor, (int, float)) or not 0 < factor < float("inf"):
            raise ValueError(f"speed factors must be positive numbers, got {factor!r}")
        if float(factor) not in speeds:
            speeds.append(float(factor))
    if is_test and len(speeds) > 1:
        raise ValueError(f"speed perturbation is for training data, not for {TEST_PARTITION}")
    return speeds


def _perturbed_id(utt_id: str, speed: float) -> str:
    return utt_id if speed == 1.0 else f"{utt_id}_sp{speed:g}"


def _write_utterance(job) -> None:
    audio_path, fbank_path, text_path, text, num_mel_bins, speed = job
    feats = audio_fbank(audio_path, num_mel_bins, speed)
    if text_path is not None:
        save_npy(text_path, transcript_array(text))
    save_npy(fbank_path, feats)  # last: its presence marks the utterance done


def _transcripts(texts: List[str], normalize: bool, sources=None) -> List[str]:
    if normalize:
        texts = [normalize_transcript(t) for t in texts]
    if sources is not None:
        raise_problems([f"{s}: transcript is empty after normalisation" for s, t in zip(sources, texts) if not t],
                       "the transcripts")
    return texts


def _claim(folder: str, settings: dict) -> None:
    # The settings of the first run stay with the folder; a later run must match them,
    # so that its skipped files are the ones it would have written.
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, PREP_SETTINGS_FILE)
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            previous = json.load(f)
        if previous != settings:
            raise PreparationError(f"{folder} was prepared with {previous}, not {settings}; "
                                   "remove it or prepare into another folder")
    else:
        write_text(path, json.dumps(settings, indent=1) + "\n")


def _warn_foreign_files(fbank_dir: str, ids: List[str]) -> None:
    foreign = sorted(set(n[:-4] for n in os.listdir(fbank_dir) if n.endswith(".npy")) - set(ids))
    if foreign:
        print(f"Warning: {len(foreign)} feature file(s) in {fbank_dir} belong to no utterance of this run "
              f"(first: {foreign[0]}.npy); the dataset will load them too")
