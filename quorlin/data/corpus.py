"""Corpus files shared by the datasets: listing, subsets, reading, tokenising.

Files are read by the native reader (``quorlin.data._ext``) in chunks, so that
progress bars advance while a partition loads. A file that is not what it should be
raises ``CorpusError`` naming it.
"""
import os
import warnings
from typing import List, Tuple

import numpy as np
import torch

from quorlin.data import read_text_arrays
from quorlin.data.string_pickle import load_string_array
from quorlin.errors import CorpusError, QuorlinWarning

NUM_THREADS = max(1, min(8, len(os.sched_getaffinity(0))))
CHUNK_SIZE = 64
# A generous bound on one transcript (in characters), far above any utterance.
MAX_TRANSCRIPT_CHARS = 2 ** 20


def list_npy_files(directory: str) -> List[str]:
    """Full paths of the names ending in ".npy" in ``directory``, sorted by name."""
    return [os.path.join(directory, name) for name in sorted(os.listdir(directory)) if name.endswith(".npy")]


def read_subset(section: dict):
    """The ``subset_size`` key, else ``subset``, else -1."""
    if "subset_size" in section:
        return section["subset_size"]
    return section.get("subset", -1)


def subset_count(num_files: int, subset) -> int:
    """Files kept for a positive ``subset``: a fraction (<= 1.0) or a count."""
    return int(num_files * subset) if subset <= 1.0 else int(subset)


def warn_unmatched_names(fbank_files: List[str], text_files: List[str]) -> None:
    """Warns (``QuorlinWarning``) when paired feature and transcript files have different names
    (files pair by position; different names usually mean a file is missing)."""
    pairs = [(f, t) for f, t in zip(fbank_files, text_files) if os.path.basename(f) != os.path.basename(t)]
    if pairs:
        first_fbank, first_text = (os.path.basename(p) for p in pairs[0])
        warnings.warn(f"{len(pairs)} of {len(fbank_files)} feature/transcript pairs have different file names; "
                      f"the first pairs {first_fbank!r} with {first_text!r}", QuorlinWarning)


def load_transcripts(paths: List[str]) -> List[str]:
    """The joined strings of transcript files, in order.

    Arrays of fixed-width strings are read natively. An object array is a
    pickle: it is unpickled without building any NumPy object, and refused
    unless it is an array of nothing but strings. A transcript longer than
    ``MAX_TRANSCRIPT_CHARS`` is refused.
    """
    transcripts = []
    try:
        for text, path in zip(read_text_arrays(paths, NUM_THREADS), paths):
            parts = load_string_array(text, path) if isinstance(text, bytes) else [text]
            if sum(map(len, parts)) > MAX_TRANSCRIPT_CHARS:
                raise CorpusError(f"{os.fsdecode(path)}: transcript holds more than {MAX_TRANSCRIPT_CHARS} "
                                  "characters")
            transcripts.append("".join(parts))
    except ValueError as error:  # the native reader's and the unpickler's, naming the file
        raise CorpusError(str(error)) from None
    return transcripts


def read_features(reader, paths: List[str]) -> List[np.ndarray]:
    """The filter banks of ``paths`` as the native ``FeatureReader`` ``reader`` reads them."""
    try:
        return reader.read(paths)
    except ValueError as error:  # naming the file
        raise CorpusError(str(error)) from None


def add_transcripts(dataset, transcripts: List[str]) -> None:
    """Tokenises transcripts onto a dataset: its shifted and golden lists and
    the running ``total_chars``, ``total_tokens`` and ``text_max_len``."""
    for transcript in transcripts:
        dataset.total_chars += len(transcript)
        tokenized = dataset.tokenizer.encode(transcript)
        dataset.total_tokens += len(tokenized)
        dataset.text_max_len = max(dataset.text_max_len, len(tokenized) + 1)
        dataset.transcripts_shifted.append([dataset.sos_token] + tokenized)
        dataset.transcripts_golden.append(tokenized + [dataset.eos_token])


def mvn_statistics(count: int, mean: np.ndarray, m2: np.ndarray) -> Tuple[torch.Tensor, torch.Tensor]:
    """Per-dimension mean and standard deviation, float32, from the frame ``count`` and the
    float64 ``mean`` and ``m2`` (sum of squared deviations) of a training partition; the
    variance is the sample variance, and 1e-8 is added to it before the square root."""
    variance = torch.from_numpy(m2) / (count - 1)
    return torch.from_numpy(mean).float(), torch.sqrt(variance + 1e-8).float()


def average_chars_per_token(total_chars: int, total_tokens: int):
    return total_chars / total_tokens if total_tokens > 0 else 0
