"""Corpus files shared by the datasets: listing, subsets, transcripts, tokenising.

Files are read by the native reader (``quorlin.data._ext``) in chunks, so that
progress bars advance while a partition loads.
"""
import io
import os
import pickle
from typing import List

import numpy as np
from numpy._core import multiarray

from quorlin.data import read_text_arrays

NUM_THREADS = max(1, min(8, len(os.sched_getaffinity(0))))
CHUNK_SIZE = 64


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


def load_transcripts(paths: List[str]) -> List[str]:
    """The joined strings of transcript files, in order.

    Arrays of fixed-width strings are read natively. An object array is a
    pickle: it is unpickled with only the NumPy names an array of Python
    strings needs, and refused unless it holds nothing but strings.
    """
    texts = read_text_arrays(paths, NUM_THREADS)
    return [_strings_from_pickle(t, path) if isinstance(t, bytes) else t for t, path in zip(texts, paths)]


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


def average_chars_per_token(total_chars: int, total_tokens: int):
    return total_chars / total_tokens if total_tokens > 0 else 0


class _StringArrayUnpickler(pickle.Unpickler):
    # What np.save writes for an object array: the array, its dtype, the
    # reconstructor (under its NumPy 1 and NumPy 2 module names).
    _ALLOWED = {
        ("numpy", "ndarray"): np.ndarray,
        ("numpy", "dtype"): np.dtype,
        ("numpy._core.multiarray", "_reconstruct"): multiarray._reconstruct,
        ("numpy.core.multiarray", "_reconstruct"): multiarray._reconstruct,
    }

    def find_class(self, module, name):
        try:
            return self._ALLOWED[(module, name)]
        except KeyError:
            raise pickle.UnpicklingError(f"{module}.{name} is not allowed in a transcript") from None


def _strings_from_pickle(payload: bytes, path: str) -> str:
    try:
        array = _StringArrayUnpickler(io.BytesIO(payload)).load()
    except Exception as err:
        raise ValueError(f"{path}: object array refused: {err}") from None
    if type(array) is not np.ndarray or array.dtype != object or array.ndim > 1:
        raise ValueError(f"{path}: object array refused: not a 0-d or 1-d array of objects")
    for item in array.flat:
        if type(item) is not str:
            raise ValueError(f"{path}: object array refused: it holds {type(item).__name__}, only str is accepted")
    return "".join(array.tolist())
