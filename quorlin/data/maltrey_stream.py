"""Speech recognition dataset read from disk as batches are drawn: ``Maltrey``'s items with flat memory."""
import contextlib
import itertools
import logging
import os
from typing import List, Optional, Tuple

import numpy as np
import torch
from torch.utils.data import Dataset

from quorlin._checks import as_positive_int
from quorlin.console import progress_bar
from quorlin.data import FeatureReader
from quorlin.data.corpus import (CHUNK_SIZE, NUM_THREADS, CorpusError, average_chars_per_token, list_npy_files,
                                 load_transcripts, mvn_statistics)
from quorlin.data.joining import utterance_joiner
from quorlin.data.maltrey import Maltrey
from quorlin.data.noise import noise_mixer
from quorlin.data.stream_index import index_path, read_stream_index
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import FEATURES_FOLDER, TEST_PARTITION

log = logging.getLogger(__name__)


class MaltreyStream(Dataset):
    """ASR dataset of one partition, streamed from disk.

    Gives the items and batches that ``Maltrey`` gives for the same partition and
    configuration (the same files, subset, normalisation, token ids, padding and SpecAugment;
    the training noise's babble and the partners of joined utterances come from the batch's
    other utterances),
    but keeps no features in memory: a batch's feature files are read when the batch is
    drawn, on several threads, by the native reader. What it keeps is each utterance's frame
    count, from the partition's index (``stream_index``, written by preparation, which also
    holds the statistics for global normalisation), and its token ids, packed in one array
    (2 bytes a token for vocabularies of up to 65,536 ids): transcripts are read and tokenised
    once, at construction.

    Args: as ``Maltrey``'s.

    Attributes: ``Maltrey``'s, except ``feats``, ``transcripts_shifted`` and
    ``transcripts_golden``; instead ``frame_counts`` (N,) int64, and, except for the test
    partition, ``token_ids`` (all utterances' encoded ids, without start and end ids, one after
    the other) and ``token_offsets`` (N + 1,) int64 (utterance i's ids are
    ``token_ids[token_offsets[i]:token_offsets[i + 1]]``).

    Raises:
        CorpusError: the index is missing, unreadable or lists other feature files than the
            partition holds, or a transcript file cannot be read; when drawn, a feature file is
            missing, malformed, or has another frame count than the index says.

    Example:
        >>> train = MaltreyStream(layout.TRAIN_PARTITION, config, tokenizer, True)
        >>> dev = MaltreyStream(layout.DEV_PARTITION, config, tokenizer, False,
        ...                     (train.global_mean, train.global_std))
        >>> sampler = LengthGroupedSampler(train.frame_counts.tolist(), 16)
        >>> loader = DataLoader(train, batch_size=16, sampler=sampler, collate_fn=train.collate_fn)
    """

    def __init__(self, partition: str, config: dict, tokenizer: VaskTokenizer, isTrainPartition: bool,
                 global_stats: Optional[Tuple[torch.Tensor, torch.Tensor]] = None):
        self._take_arguments(partition, config, tokenizer, isTrainPartition, global_stats)
        is_test = partition == TEST_PARTITION

        partition_dir = os.path.join(config["root"], partition)
        self.fbank_dir = os.path.join(partition_dir, FEATURES_FOLDER)
        self.fbank_files = list_npy_files(self.fbank_dir)
        index = read_stream_index(partition_dir)
        _check_names(index.names.tolist(), [os.path.basename(path) for path in self.fbank_files], self.fbank_dir)
        self._select_files(partition_dir, is_test)

        self.num_feats = as_positive_int(config["num_feats"], "num_feats")
        if self.num_feats > index.num_feats:
            raise CorpusError(f"{index_path(partition_dir)} covers {index.num_feats} feature rows, fewer than "
                              f"num_feats={self.num_feats}")
        compute_stats = config["norm"] == "global_mvn" and global_stats is None
        if compute_stats and not self.isTrainPartition:
            raise ValueError("global_stats must be provided for non-training partitions when using global_mvn")

        self.frame_counts = index.frames[:self.length].copy()
        self.feat_max_len = int(self.frame_counts.max(initial=0))
        log.info("Opening " + partition + " partition to stream from disk...")
        self.total_chars, self.total_tokens, self.text_max_len = 0, 0, 0
        if not is_test:
            self._tokenize()
        self.avg_chars_per_token = average_chars_per_token(self.total_chars, self.total_tokens)

        if config["norm"] == "global_mvn":
            if not compute_stats:
                self.global_mean, self.global_std = global_stats
            elif self.length == len(index.names):
                nf = self.num_feats
                self.global_mean, self.global_std = mvn_statistics(index.count, index.mean[:nf], index.m2[:nf])
            else:
                self.global_mean, self.global_std = self._subset_statistics()

        self._make_masks()
        self.noise = noise_mixer(self.config) if self.isTrainPartition else None
        self.join = utterance_joiner(self.config, tokenizer) if self.isTrainPartition else None

    _take_arguments = Maltrey._take_arguments
    _select_files = Maltrey._select_files
    _make_masks = Maltrey._make_masks
    _item = Maltrey._item
    get_avg_chars_per_token = Maltrey.get_avg_chars_per_token
    __len__ = Maltrey.__len__
    collate_fn = Maltrey.collate_fn

    def _tokenize(self) -> None:
        """Reads and tokenises every transcript, a chunk at a time, into ``token_ids``."""
        dtype = np.uint16 if self.tokenizer.vocab_size <= 2 ** 16 else np.int32
        chunks, counts = [], np.zeros(self.length, dtype=np.int64)
        with progress_bar(total=self.length) as bar:
            for start in range(0, self.length, CHUNK_SIZE):
                with _named_errors():
                    transcripts = load_transcripts(self.text_files[start:start + CHUNK_SIZE])
                encoded = [self.tokenizer.encode(transcript) for transcript in transcripts]
                counts[start:start + len(encoded)] = [len(ids) for ids in encoded]
                chunks.append(np.fromiter(itertools.chain.from_iterable(encoded), dtype=dtype))
                self.total_chars += sum(map(len, transcripts))
                bar.update(len(transcripts))
        self.token_ids = np.concatenate(chunks) if chunks else np.zeros(0, dtype=dtype)
        self.token_offsets = np.concatenate([[0], np.cumsum(counts)])
        self.total_tokens = len(self.token_ids)
        self.text_max_len = int(counts.max(initial=-1)) + 1

    def _subset_statistics(self) -> Tuple[torch.Tensor, torch.Tensor]:
        """Statistics of the files of a subset, which the index's (of the whole partition) are not:
        one pass over them, a chunk at a time."""
        reader = FeatureReader(self.num_feats, True, NUM_THREADS)
        for start in progress_bar(range(0, self.length, CHUNK_SIZE)):
            with _named_errors():
                reader.read(self.fbank_files[start:start + CHUNK_SIZE])
        return mvn_statistics(reader.count, reader.mean, reader.m2)

    def __getitem__(self, idx: int):
        return self.__getitems__([idx])[0]

    def _ids(self, i: int) -> List[int]:
        """Utterance ``i``'s token ids, without start and end ids."""
        return self.token_ids[self.token_offsets[i]:self.token_offsets[i + 1]].tolist()

    def __getitems__(self, indices: List[int]) -> List[tuple]:
        """The items at ``indices``, read together: a ``DataLoader`` fetches a batch so."""
        indices = [int(i) for i in indices]
        paths = [self.fbank_files[i] for i in indices]
        with _named_errors():
            arrays = FeatureReader(self.num_feats, False, NUM_THREADS).read(paths)
        items = []
        for k, (i, array) in enumerate(zip(indices, arrays)):
            if array.shape[1] != self.frame_counts[i]:
                raise CorpusError(f"{paths[k]}: {array.shape[1]} frames, where the partition's stream index "
                                  f"says {self.frame_counts[i]}: the file changed since the partition was "
                                  "prepared; prepare it again")
            feat = torch.FloatTensor(array)  # (num_feats, T)
            if self.partition == TEST_PARTITION:
                items.append(self._item(feat, None))
                continue
            ids = self._ids(i)
            if self.join is not None and len(indices) > 1:  # a partner from the batch's other utterances
                partner = int(torch.randint(len(indices) - 1, ()))
                partner += partner >= k
                feat, ids = self.join(feat, ids, arrays[partner], self._ids(indices[partner]),
                                      self.feat_max_len, self.text_max_len - 1)
            if self.noise is not None:  # babble from the batch's other utterances
                feat = self.noise(feat, arrays[:k] + arrays[k + 1:], self.feat_max_len)
            items.append(self._item(feat, ids))
        return items


def _check_names(indexed: List[str], present: List[str], fbank_dir: str) -> None:
    """Refuses a partition whose feature files are not those its index lists, naming the first
    file missing or not indexed."""
    if indexed == present:
        return
    missing, unindexed = sorted(set(indexed) - set(present)), sorted(set(present) - set(indexed))
    if missing:
        problem = f"{os.path.join(fbank_dir, missing[0])} is missing, though the partition's stream index lists it"
    elif unindexed:
        problem = f"{os.path.join(fbank_dir, unindexed[0])} is not in the partition's stream index"
    else:
        problem = f"the partition's stream index lists the files of {fbank_dir} in another order"
    raise CorpusError(problem + ": prepare the partition again")


@contextlib.contextmanager
def _named_errors():
    """Errors of reading corpus files as ``CorpusError``, whose message names the file."""
    try:
        yield
    except CorpusError:
        raise
    except OSError as error:
        where = f"{os.fsdecode(error.filename)}: " if error.filename else ""
        raise CorpusError(f"{where}cannot be read: {error.strerror or error}") from None
    except ValueError as error:  # the reader's message starts with the file's path
        raise CorpusError(str(error)) from None
