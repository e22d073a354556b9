"""The index of a prepared speech partition: what a dataset streaming it from disk needs to know
without opening every feature file.

``<root>/<partition>/stream_index.npz`` (``layout.STREAM_INDEX_FILE``) holds, for the feature
files of ``fbank/`` in sorted order, their names and frame counts, and the per-dimension
statistics of all their frames (count, mean and sum of squared deviations, merged utterance by
utterance in that order, exactly as ``Maltrey`` merges them). It is written in one pass over the
files, a chunk of them at a time: whatever the corpus size, it holds one chunk's features.

Example:
    >>> write_stream_index("data/asr/train", num_feats=80, num_threads=8)
    >>> index = read_stream_index("data/asr/train")
    >>> index.frames[:3], index.mean.shape
    (array([1412, 1037,  803]), (80,))
"""
import os
import zipfile
from typing import NamedTuple, Optional

import numpy as np

from quorlin._files import replacing
from quorlin.console import progress_bar
from quorlin.data import FeatureReader
from quorlin.data.corpus import CHUNK_SIZE, NUM_THREADS, CorpusError, list_npy_files
from quorlin.layout import FEATURES_FOLDER, STREAM_INDEX_FILE


class StreamIndex(NamedTuple):
    """A partition's feature files (their names in sorted order, with their frame counts) and the
    statistics of the first ``num_feats`` rows of all their frames."""
    names: np.ndarray  # (N,) str
    frames: np.ndarray  # (N,) int64
    num_feats: int
    count: int  # frames merged into the statistics
    mean: np.ndarray  # (num_feats,) float64
    m2: np.ndarray  # (num_feats,) float64: sum of squared deviations from the mean


def index_path(partition_dir: str) -> str:
    return os.path.join(partition_dir, STREAM_INDEX_FILE)


def write_stream_index(partition_dir: str, num_feats: int, num_threads: Optional[int] = None) -> StreamIndex:
    """Reads every feature file of ``partition_dir/fbank`` once, ``num_threads`` at a time (up to 8
    by default), and writes the partition's index, whole or not at all.

    Args:
        partition_dir: a partition of the ASR layout.
        num_feats: the rows of each file that the statistics cover (the prepared filter-bank bins).
        num_threads: threads reading the files.

    Raises:
        ValueError: a feature file is malformed, has fewer than ``num_feats`` rows or holds a
            value that is not finite (the message names it).
        OSError: a file cannot be read.
    """
    fbank_files = list_npy_files(os.path.join(partition_dir, FEATURES_FOLDER))
    reader = FeatureReader(num_feats, True, num_threads or NUM_THREADS)
    frames = np.zeros(len(fbank_files), dtype=np.int64)
    desc = f"[Indexing {os.path.basename(os.path.normpath(partition_dir))}]"
    with progress_bar(total=len(fbank_files), desc=desc) as bar:
        for start in range(0, len(fbank_files), CHUNK_SIZE):
            chunk = fbank_files[start:start + CHUNK_SIZE]
            frames[start:start + len(chunk)] = [feat.shape[1] for feat in reader.read(chunk)]
            bar.update(len(chunk))
    index = StreamIndex(np.array([os.path.basename(f) for f in fbank_files], dtype=str), frames, int(num_feats),
                        int(reader.count), reader.mean, reader.m2)
    with replacing(index_path(partition_dir)) as f:
        np.savez(f, **index._asdict())
    return index


def read_stream_index(partition_dir: str) -> StreamIndex:
    """The index of ``partition_dir``; a missing or unreadable one raises ``CorpusError``
    naming it."""
    path = index_path(partition_dir)
    if not os.path.exists(path):
        raise CorpusError(f"{path} is missing: prepare the partition again (quorlin prepare, or "
                          "quorlin.data.stream_index.write_stream_index) to stream it from disk")
    try:
        with np.load(path, allow_pickle=False) as stored:
            index = StreamIndex(**{field: stored[field] for field in StreamIndex._fields})
    except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile) as error:
        raise CorpusError(f"{path} is not a readable stream index ({error}): prepare the partition "
                          "again") from None
    index = index._replace(num_feats=int(index.num_feats), count=int(index.count))
    n, dims = len(index.names), index.num_feats
    if (index.names.ndim != 1 or index.frames.shape != (n,) or index.mean.shape != (dims,)
            or index.m2.shape != (dims,)):
        raise CorpusError(f"{path} is not a readable stream index (its arrays disagree in size): prepare the "
                          "partition again")
    return index
