"""Prepared datasets: the ASR layout that ``Maltrey`` reads and the LM layout that ``Pellith`` reads.

A partition is a folder of the dataset root with a plain name. ``Maltrey`` knows the
training and the test partition by their names, which follow LibriSpeech
(``PARTITIONS``, from ``quorlin.layout``); further development and test sets may have
any plain name ("dev-other", "test-modern"). Every partition but the test partition
gets a folder of transcript arrays; every partition but the training partition gets
the references file, the normalised transcripts that the evaluation scores against
("<id><TAB><text>" lines, in the sorted order in which ``Maltrey`` lists the feature
files).

Prepared data follows its sources. A record (``layout.SOURCES_FILE``) keeps what each prepared
utterance was made from: the size and modification time of its audio file, its speed
factor and its normalised transcript. A later run prepares again what changed, removes
the files of utterances that are gone, and skips the rest. The record is rewritten
whole, before the work, once a minute during it and when it ends, and claims only
files that were written: a killed run resumes with what it had finished.

Every ASR partition gets the index that streaming it from disk needs
(``quorlin.data.stream_index``): its feature files' frame counts and statistics, written in one
pass over the files once every utterance is prepared, and kept while no file changes.
"""
import contextlib
import hashlib
import json
import logging
import os
import time
from typing import Callable, Dict, List, Optional, Sequence

import numpy as np

from quorlin._files import remove_temporaries, write_text
from quorlin.console import progress_bar
from quorlin.data.stream_index import index_path, write_stream_index
from quorlin.layout import (DEV_PARTITION, FEATURES_FOLDER, PREP_SETTINGS_FILE, REFERENCES_FILE, SOURCES_FILE,
                            TEST_PARTITION, TRAIN_PARTITION, TRANSCRIPTS_ARRAYS_FOLDER)
from quorlin.prep.errors import PreparationError, raise_problems
from quorlin.prep.features import SAMPLE_RATE, audio_fbank
from quorlin.prep.files import remove_other_npy, save_npy
from quorlin.prep.runner import check_workers, run_parallel
from quorlin.prep.sources import PLAIN_NAME, Utterance
from quorlin.prep.text import normalize_transcript

log = logging.getLogger(__name__)

PARTITIONS = {"train": TRAIN_PARTITION, "dev": DEV_PARTITION, "test": TEST_PARTITION}
# What an utterance's features are made from; its transcript is the record's "text".
_AUDIO_KEYS = ("audio_size", "audio_mtime_ns", "speed")
_RECORD_INTERVAL_S = 60.0


def transcript_array(text: str) -> np.ndarray:
    """A transcript as the datasets store it: an array of single characters."""
    return np.array(list(text), dtype="<U1")


def prepare_asr(utterances: Sequence[Utterance], root: str, partition: str, num_mel_bins: int = 80,
                num_workers: Optional[int] = None,
                normalize: Optional[Callable[[str], str]] = normalize_transcript,
                speed_factors: Sequence[float] = ()) -> Dict[str, int]:
    """Writes one partition of the ASR layout: ``root/partition/fbank/<id>.npy`` and ``text/<id>.npy``.

    Features are (num_mel_bins, frames) float32 log-mel filter banks
    (``compute_fbank``), transcripts character arrays (``transcript_array``).
    Files run in parallel and are written whole or not at all. Utterances whose
    files exist and whose audio file and transcript are those recorded in
    the record are skipped; a changed transcript is written again, a changed
    recording prepared again, and the files of utterances that are no longer among
    ``utterances`` are removed. An interrupted run resumes where it stopped. Then the
    partition's stream index is written, unless it was there and no file changed.
    Unusable audio files are reported together in one ``PreparationError`` after
    every other utterance has been written.

    Args:
        utterances: from ``librispeech_utterances`` or ``manifest_utterances``.
        root: dataset root (the ``root`` of the data configuration).
        partition: output folder, a plain name; the test partition gets no transcript
            arrays, the training partition no references.
        num_mel_bins: filter-bank bins (the ``num_feats`` of the data configuration).
        num_workers: processes (threads for the index), an integer of at least 1; all cores
            by default.
        normalize: maps each transcript to the text that is stored, in this
            process; None stores the transcripts as they are.
        speed_factors: speed perturbation (not for the test partition): besides every
            utterance, a copy played at each of these speeds, "<id>_sp<factor>" (1.0
            stands for the utterance itself). A copy's id that is also the id of
            an utterance is refused.

    Returns:
        {"prepared": utterances written now, "skipped": utterances already there}.

    Example:
        >>> prepare_asr(librispeech_utterances("LibriSpeech/dev-other"), "data/asr", "dev-other")
        {'prepared': 2703, 'skipped': 0}
    """
    _check_partition(partition)
    num_workers = check_workers(num_workers)
    if not utterances:
        raise PreparationError(f"no utterances to prepare for {partition}")
    texts = _transcripts([u.text for u in utterances], normalize, [u.audio_path for u in utterances])
    is_train, is_test = partition == TRAIN_PARTITION, partition == TEST_PARTITION
    speeds = _speeds(speed_factors, is_test)
    outputs = _outputs([u.utt_id for u in utterances], speeds, partition)
    folder = os.path.join(root, partition)
    _claim(folder, {"kind": "asr", "num_mel_bins": int(num_mel_bins), "sample_rate": SAMPLE_RATE},
           retired=("normalize",))
    fbank_dir = os.path.join(folder, FEATURES_FOLDER)
    text_dir = None if is_test else os.path.join(folder, TRANSCRIPTS_ARRAYS_FOLDER)
    for d in filter(None, (fbank_dir, text_dir)):
        os.makedirs(d, exist_ok=True)
        remove_temporaries(d)

    wanted, failures = {}, []
    for utt_id, index, speed in outputs:
        audio_path = utterances[index].audio_path
        try:
            stat = os.stat(audio_path)
        except OSError as err:
            failures.append(f"{audio_path}: cannot read audio: {err}")
            continue
        wanted[utt_id] = (audio_path, {"audio_size": stat.st_size, "audio_mtime_ns": stat.st_mtime_ns,
                                       "speed": speed, "text": texts[index]})
    record = _Record(folder, with_references=not is_train)
    previous, skipped, jobs = record.read(), 0, []
    for utt_id, (audio_path, source) in wanted.items():
        fbank_path = os.path.join(fbank_dir, utt_id + ".npy")
        text_path = None if is_test else os.path.join(text_dir, utt_id + ".npy")
        had = previous.get(utt_id)
        had = had if isinstance(had, dict) else {}
        features_kept = os.path.exists(fbank_path) and all(had.get(k) == source[k] for k in _AUDIO_KEYS)
        text_kept = had.get("text") == source["text"] and (text_path is None or os.path.exists(text_path))
        if features_kept and text_kept:
            record.keep(utt_id, source)
            skipped += 1
        elif features_kept and text_path is None:
            record.keep(utt_id, source)  # only the references change
        elif features_kept:
            record.keep(utt_id, {k: source[k] for k in _AUDIO_KEYS})
            jobs.append((utt_id, (audio_path, None, text_path, source["text"], int(num_mel_bins), source["speed"])))
        else:
            # Gone before the work starts, so that a recording that now fails leaves no files.
            for path in filter(None, (fbank_path, text_path)):
                if os.path.exists(path):
                    os.unlink(path)
            jobs.append((utt_id, (audio_path, fbank_path, text_path, source["text"], int(num_mel_bins),
                                  source["speed"])))
    for d in filter(None, (fbank_dir, text_dir)):
        # An utterance whose audio cannot be found now keeps its files: the run fails, and a
        # later one prepares it again (its record is gone) or removes it (when it is dropped).
        removed = remove_other_npy(d, {utt_id for utt_id, _, _ in outputs})
        if removed:
            log.info(f"Removed {len(removed)} file(s) of utterances that are not in this run from {d} "
                     f"(first: {removed[0]})")
            _forget_index(folder)
    if any(fbank_path is not None for _, (_, fbank_path, *_) in jobs):
        _forget_index(folder)  # it describes the features as they were

    record.write()  # before any work: from now on it claims only files that stay as they are
    try:
        failures += run_parallel(_write_utterance, [job for _, job in jobs], num_workers,
                                 desc=f"[Preparing {partition}]",
                                 on_done=lambda i: record.add(jobs[i][0], wanted[jobs[i][0]][1]))
    finally:
        record.write()
    raise_problems(failures, folder)
    if not os.path.exists(index_path(folder)):
        try:
            write_stream_index(folder, int(num_mel_bins), num_workers)
        except ValueError as error:  # a feature file that is not one; the message names it
            raise PreparationError(str(error)) from None
    return {"prepared": len(wanted) - skipped, "skipped": skipped}


def prepare_lm(texts: Sequence[str], root: str, partition: str,
               normalize: Optional[Callable[[str], str]] = normalize_transcript) -> Dict[str, int]:
    """Writes one partition of the LM layout: ``root/partition/<n>.npy``, one character array per text.

    Files are numbered in the order of ``texts`` (zero-padded, so that sorting the
    names keeps it); blank texts are left out. The partition follows its texts:
    files that already hold their text are skipped, the others are written again,
    and files beyond the last text are removed. The record holds a digest of
    the texts, so that a run on the same texts trusts the files without reading
    them; it is written when every file is.

    Args:
        texts: one text per file.
        root: dataset root (the ``root`` of the LM data configuration).
        partition: output folder, a plain name.
        normalize: maps each text to the text that is stored; None stores them as
            they are.

    Returns:
        {"prepared": files written now, "skipped": files already there}.

    Example:
        >>> prepare_lm(read_text_lines("demo/kjv/lm-text.txt.gz"), "data/lm", "train")
        {'prepared': 41758, 'skipped': 0}
    """
    _check_partition(partition)
    texts = [t for t in _transcripts(list(texts), normalize) if t.strip()]
    if not texts:
        raise PreparationError(f"no text to prepare for {partition}")
    folder = os.path.join(root, partition)
    _claim(folder, {"kind": "lm"}, retired=("normalize", "texts_sha256"))
    remove_temporaries(folder)
    sources = {"texts_sha256": hashlib.sha256(json.dumps(texts).encode("utf-8")).hexdigest()}
    sources_path = os.path.join(folder, SOURCES_FILE)
    trusted = _read_json(sources_path) == sources
    if not trusted and os.path.exists(sources_path):
        os.unlink(sources_path)  # the files are about to change: it must not vouch for them
    width = max(8, len(str(len(texts) - 1)))
    names = [f"{i:0{width}d}" for i in range(len(texts))]
    removed = remove_other_npy(folder, set(names))
    if removed:
        log.info(f"Removed {len(removed)} file(s) beyond the texts of this run from {folder} (first: {removed[0]})")
    prepared = 0
    for name, text in zip(progress_bar(names, desc=f"[Preparing {partition}]"), texts):
        path = os.path.join(folder, name + ".npy")
        array = transcript_array(text)
        if not (os.path.exists(path) and (trusted or _holds(path, array))):
            save_npy(path, array)
            prepared += 1
    if not trusted:
        write_text(sources_path, json.dumps(sources) + "\n")
    return {"prepared": prepared, "skipped": len(texts) - prepared}


class _Record:
    """The record of an ASR partition and, where it has them, its references.

    An entry maps an utterance id to what its files were made from; one without
    "text" vouches for the features only. Both files are written whole and only when
    their contents change.
    """

    def __init__(self, folder: str, with_references: bool):
        self.sources_path = os.path.join(folder, SOURCES_FILE)
        self.references_path = os.path.join(folder, REFERENCES_FILE) if with_references else None
        # Each entry's lines, made once: a large partition's record is rewritten every minute.
        self._lines: Dict[str, tuple] = {}
        self._on_disk: Dict[str, Optional[str]] = {}
        self._written_at = time.monotonic()

    def read(self) -> dict:
        """The entries of the previous run; none where it left no record."""
        for path in filter(None, (self.sources_path, self.references_path)):
            self._on_disk[path] = None
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    self._on_disk[path] = f.read()
        previous = _read_json(self.sources_path)
        return previous if isinstance(previous, dict) else {}

    def keep(self, utt_id: str, entry: dict) -> None:
        """Sets the entry of ``utt_id``; the files follow at the next ``write``."""
        self._lines[utt_id] = (f"{json.dumps(utt_id)}: {json.dumps(entry, sort_keys=True)}",
                               f"{utt_id}\t{entry['text']}\n" if "text" in entry else "")

    def add(self, utt_id: str, entry: dict) -> None:
        """Records a finished utterance; the files are rewritten once a minute."""
        self.keep(utt_id, entry)
        if time.monotonic() - self._written_at >= _RECORD_INTERVAL_S:
            self.write()

    def write(self) -> None:
        # One utterance a line, sorted: readable, and the same bytes for the same record.
        lines = [self._lines[i] for i in sorted(self._lines)]
        self._replace(self.sources_path, "{\n" + ",\n".join(entry for entry, _ in lines) + "\n}\n")
        if self.references_path is not None:
            self._replace(self.references_path, "".join(reference for _, reference in lines))
        self._written_at = time.monotonic()

    def _replace(self, path: str, text: str) -> None:
        if self._on_disk.get(path) != text:
            write_text(path, text)
            self._on_disk[path] = text


def _forget_index(folder: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(index_path(folder))


def _check_partition(partition: str) -> None:
    if not isinstance(partition, str) or not PLAIN_NAME.fullmatch(partition):
        raise PreparationError(f"partition must be a plain folder name, got {partition!r}")


def _speeds(speed_factors: Sequence[float], is_test: bool) -> List[float]:
    """1.0 (the utterance itself), then the other factors in their order."""
    speeds = [1.0]
    for factor in speed_factors:
        if isinstance(factor, bool) or not isinstance(factor, (int, float)) or not 0 < factor < float("inf"):
            raise ValueError(f"speed factors must be positive numbers, got {factor!r}")
        if float(factor) in speeds:
            continue
        twin = next((s for s in speeds if _perturbed_id("", s) == _perturbed_id("", factor)), None)
        if twin is not None:
            raise ValueError(f"speed factors {twin!r} and {factor!r} would both name their copies "
                             f"'<id>{_perturbed_id('', factor)}'")
        speeds.append(float(factor))
    if is_test and len(speeds) > 1:
        raise ValueError(f"speed perturbation is for training data, not for {TEST_PARTITION}")
    return speeds


def _perturbed_id(utt_id: str, speed: float) -> str:
    return utt_id if speed == 1.0 else f"{utt_id}_sp{speed:g}"


def _outputs(ids: List[str], speeds: List[float], partition: str) -> List[tuple]:
    """(output id, index in ``ids``, speed) of every file pair; an id that is no plain file
    name, or that is made twice, is refused."""
    raise_problems([f"{i!r} is not a plain file name" for i in ids
                    if not (isinstance(i, str) and PLAIN_NAME.fullmatch(i))], f"the utterance ids of {partition}")
    if len(set(ids)) != len(ids):
        raise PreparationError(f"utterance ids must be unique in {partition}")
    real = set(ids)
    outputs = [(_perturbed_id(utt_id, speed), index, speed) for index, utt_id in enumerate(ids) for speed in speeds]
    raise_problems([f"{out}: the id of an utterance and of the speed {speed:g} copy of {ids[index]}"
                    for out, index, speed in outputs if speed != 1.0 and out in real],
                   f"the utterance ids of {partition}")
    return outputs


def _write_utterance(job) -> None:
    # fbank_path None: the features are there already, only the transcript changed.
    audio_path, fbank_path, text_path, text, num_mel_bins, speed = job
    feats = None if fbank_path is None else audio_fbank(audio_path, num_mel_bins, speed)
    if text_path is not None:
        save_npy(text_path, transcript_array(text))
    if feats is not None:
        save_npy(fbank_path, feats)


def _transcripts(texts: List[str], normalize: Optional[Callable[[str], str]], sources=None) -> List[str]:
    """The texts through ``normalize``; with ``sources`` (their audio files), transcripts that
    are empty or hold a line break are refused."""
    if normalize is not None and not callable(normalize):
        raise TypeError(f"normalize must be a callable or None, got {normalize!r}")
    if normalize is not None:
        texts = [normalize(t) for t in texts]
    for text in texts:
        if not isinstance(text, str):
            what = "transcripts must be" if normalize is None else "normalize must return"
            raise TypeError(f"{what} str, got {type(text).__name__}: {text!r}")
    if sources is not None:
        after = "" if normalize is None else " after normalisation"
        raise_problems([f"{s}: transcript is empty{after}" if not t.strip() else f"{s}: transcript holds a line break"
                        for s, t in zip(sources, texts) if not t.strip() or "\n" in t or "\r" in t],
                       "the transcripts")
    return texts


def _read_json(path: str):
    """The contents of a JSON file; None where there is none."""
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        try:
            return json.load(f)
        except ValueError as err:
            raise PreparationError(f"{path} is not JSON ({err}); remove it and prepare again") from None


def _holds(path: str, array: np.ndarray) -> bool:
    try:
        stored = np.load(path, allow_pickle=False)
    except (OSError, ValueError, EOFError):
        return False
    return stored.dtype == array.dtype and np.array_equal(stored, array)


def _claim(folder: str, settings: dict, retired: Sequence[str] = ()) -> None:
    # The settings of the first run stay with the folder; a later run must match them,
    # so that its skipped files are the ones it would have written. Keys that earlier
    # versions wrote (``retired``) are dropped, not compared.
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, PREP_SETTINGS_FILE)
    previous = _read_json(path)
    if isinstance(previous, dict):
        kept = {k: v for k, v in previous.items() if k not in retired}
        if kept != settings:
            raise PreparationError(f"{folder} was prepared with {kept}, not {settings}; "
                                   "remove it or prepare into another folder")
        if kept == previous:
            return
    write_text(path, json.dumps(settings, indent=1) + "\n")
