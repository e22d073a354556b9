"""Speech recognition dataset: filter-bank features with their transcripts."""
import logging
import os
from typing import List, Optional, Tuple

import torch
import torchaudio
from torch.nn.utils.rnn import pad_sequence
from torch.utils.data import Dataset

from quorlin._checks import as_positive_int
from quorlin.console import progress_bar
from quorlin.data import FeatureReader
from quorlin.data.corpus import (CHUNK_SIZE, NUM_THREADS, add_transcripts, average_chars_per_token,
                                 list_npy_files, load_transcripts, mvn_statistics, read_features, read_subset,
                                 subset_count, warn_unmatched_names)
from quorlin.data.joining import utterance_joiner
from quorlin.data.noise import noise_mixer
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import FEATURES_FOLDER, TEST_PARTITION, TRANSCRIPTS_ARRAYS_FOLDER
from quorlin.prep.features import normalize_features

log = logging.getLogger(__name__)


class Maltrey(Dataset):
    """ASR dataset of one partition, held in memory.

    Reads the feature files ``root/partition/fbank/*.npy`` (one (dimensions, frames)
    float matrix per utterance, first ``num_feats`` rows kept) and, except for the test
    partition (``layout.TEST_PARTITION``), the transcript files ``root/partition/text/*.npy``
    (string arrays joined into transcripts), paired by sorted position. With ``norm`` "global_mvn" a
    training partition computes per-dimension statistics; other partitions
    take the training instance's ``(global_mean, global_std)``.

    Args:
        partition: a partition's folder name (``layout.TRAIN_PARTITION``, a dev or test set).
        config: data section with ``root``, ``num_feats``, ``norm``,
            ``specaug``, ``specaug_conf`` and optionally ``subset_size``/``subset``,
            ``noise`` (training noise: ``quorlin.data.noise``) and ``join_prob`` (utterances
            joined in pairs: ``quorlin.data.joining``).
        tokenizer: encodes the transcripts.
        isTrainPartition: computes statistics and enables SpecAugment, the noise and the joining.
        global_stats: (mean, std) float32 tensors of shape (num_feats,).

    Shapes:
        item: features (num_feats, T) float32, shifted and golden ids (L,) int64.
        batch: features (B, Tmax, num_feats), shifted and golden (B, Lmax),
        feature lengths (B,), transcript lengths (B,).

    Example:
        >>> train = Maltrey(layout.TRAIN_PARTITION, config, tokenizer, True)
        >>> dev = Maltrey(layout.DEV_PARTITION, config, tokenizer, False,
        ...               (train.global_mean, train.global_std))
        >>> loader = DataLoader(train, batch_size=16, collate_fn=train.collate_fn)
    """

    def __init__(self, partition: str, config: dict,
                 tokenizer: VaskTokenizer, isTrainPartition: bool,
                 global_stats: Optional[Tuple[torch.Tensor, torch.Tensor]] = None):
        self._take_arguments(partition, config, tokenizer, isTrainPartition, global_stats)
        is_test = partition == TEST_PARTITION

        self.fbank_dir = os.path.join(config["root"], partition, FEATURES_FOLDER)
        self.fbank_files = list_npy_files(self.fbank_dir)
        self._select_files(os.path.join(config["root"], partition), is_test)

        self.feats = []
        self.transcripts_shifted = []
        self.transcripts_golden = []
        self.total_chars = 0
        self.total_tokens = 0
        self.feat_max_len = 0
        self.text_max_len = 0

        num_feats = as_positive_int(config["num_feats"], "num_feats")
        compute_stats = config["norm"] == "global_mvn" and global_stats is None
        if compute_stats and not self.isTrainPartition:
            raise ValueError("global_stats must be provided for non-training partitions when using global_mvn")

        log.info("Loading data for " + partition + " partition...")
        reader = FeatureReader(num_feats, compute_stats, NUM_THREADS)
        with progress_bar(total=self.length) as bar:
            for start in range(0, self.length, CHUNK_SIZE):
                stop = min(start + CHUNK_SIZE, self.length)
                for feat in read_features(reader, self.fbank_files[start:stop]):
                    self.feats.append(feat)
                    self.feat_max_len = max(self.feat_max_len, feat.shape[1])
                if not is_test:
                    add_transcripts(self, load_transcripts(self.text_files[start:stop]))
                bar.update(stop - start)

        self.avg_chars_per_token = average_chars_per_token(self.total_chars, self.total_tokens)
        if not is_test and not len(self.feats) == len(self.transcripts_shifted) == len(self.transcripts_golden):
            raise ValueError("Features and transcripts are misaligned")

        if config["norm"] == "global_mvn":
            if compute_stats:
                self.global_mean, self.global_std = mvn_statistics(reader.count, reader.mean, reader.m2)
            else:
                self.global_mean, self.global_std = global_stats

        self._make_masks()
        self.noise = noise_mixer(self.config) if self.isTrainPartition else None
        self.join = utterance_joiner(self.config, tokenizer) if self.isTrainPartition else None

    def _take_arguments(self, partition, config, tokenizer, isTrainPartition, global_stats) -> None:
        if type(config) is not dict:
            raise TypeError(f"config must be a dict, got {type(config).__name__}")
        if global_stats is not None and type(global_stats) is not tuple:
            raise TypeError(f"global_stats must be None or a tuple, got {type(global_stats).__name__}")
        self.config = config
        self.partition = partition
        self.isTrainPartition = bool(isTrainPartition)
        self.tokenizer = tokenizer
        self.eos_token = tokenizer.eos_id
        self.sos_token = tokenizer.sos_id
        self.pad_token = tokenizer.pad_id

    def _select_files(self, partition_dir: str, is_test: bool) -> None:
        """Keeps the recipe's subset of the listed feature files, and lists their transcripts."""
        subset = read_subset(self.config)
        if subset > 0:
            count = subset_count(len(self.fbank_files), subset)
            self.fbank_files = self.fbank_files[:count]
        self.length = len(self.fbank_files)
        if not is_test:
            self.text_dir = os.path.join(partition_dir, TRANSCRIPTS_ARRAYS_FOLDER)
            self.text_files = list_npy_files(self.text_dir)
            if subset > 0:
                self.text_files = self.text_files[:count]
            if len(self.fbank_files) != len(self.text_files):
                raise ValueError("Number of feature and transcript files must match")
            warn_unmatched_names(self.fbank_files, self.text_files)

    def _make_masks(self) -> None:
        specaug_conf = self.config["specaug_conf"]
        self.time_mask = torchaudio.transforms.TimeMasking(
            time_mask_param=specaug_conf["time_mask_width_range"], iid_masks=True)
        self.freq_mask = torchaudio.transforms.FrequencyMasking(
            freq_mask_param=specaug_conf["freq_mask_width_range"], iid_masks=True)

    def get_avg_chars_per_token(self):
        return self.avg_chars_per_token

    def __len__(self) -> int:
        return self.length

    def __getitem__(self, idx: int):
        feat = torch.FloatTensor(self.feats[idx])  # (num_feats, T)
        if self.partition == TEST_PARTITION:
            return self._item(feat, None)
        ids = self.transcripts_golden[idx][:-1]
        if self.join is not None:
            partner = int(torch.randint(len(self.feats), ()))
            feat, ids = self.join(feat, ids, self.feats[partner], self.transcripts_golden[partner][:-1],
                                  self.feat_max_len, self.text_max_len - 1)
        if self.noise is not None:
            feat = self.noise(feat, self.feats, self.feat_max_len)
        return self._item(feat, ids)

    def _item(self, feat: torch.Tensor, ids: Optional[List[int]]) -> tuple:
        """An item: the filter banks (num_feats, T) normalised as the configuration asks, then
        the decoder's input (start id + ``ids``) and target (``ids`` + end id), or None and None
        without ``ids``."""
        norm = self.config["norm"]
        mean, std = getattr(self, "global_mean", None), getattr(self, "global_std", None)
        assert norm != "global_mvn" or (mean is not None and std is not None), \
            "Global mean and std must be computed before normalization"
        feat = normalize_features(feat, norm, mean, std)
        if ids is None:
            return feat, None, None
        return feat, torch.LongTensor([self.sos_token] + ids), torch.LongTensor(ids + [self.eos_token])

    def collate_fn(self, batch: List[tuple]):
        """Pads a list of items into the five-element ASR batch."""
        batch_feats = [item[0].transpose(0, 1) for item in batch]  # (T, num_feats) each
        feat_lengths = torch.LongTensor([feat.shape[0] for feat in batch_feats])
        padded_feats = pad_sequence(batch_feats, batch_first=True, padding_value=0.0)  # (B, Tmax, num_feats)

        padded_shifted, padded_golden, transcript_lengths = None, None, None
        if self.partition != TEST_PARTITION:
            shifted = [item[1] for item in batch]
            golden = [item[2] for item in batch]
            transcript_lengths = torch.LongTensor([len(seq) for seq in shifted])
            padded_shifted = pad_sequence(shifted, batch_first=True, padding_value=self.pad_token)  # (B, Lmax)
            padded_golden = pad_sequence(golden, batch_first=True, padding_value=self.pad_token)  # (B, Lmax)

        if self.config["specaug"] and self.isTrainPartition:
            specaug_conf = self.config["specaug_conf"]
            padded_feats = padded_feats.permute(0, 2, 1)  # (B, num_feats, Tmax)
            if specaug_conf["apply_freq_mask"]:
                for _ in range(specaug_conf["num_freq_mask"]):
                    padded_feats = self.freq_mask(padded_feats)
            if specaug_conf["apply_time_mask"]:
                for _ in range(specaug_conf["num_time_mask"]):
                    padded_feats = self.time_mask(padded_feats)
            padded_feats = padded_feats.permute(0, 2, 1)  # (B, Tmax, num_feats)

        return padded_feats, padded_shifted, padded_golden, feat_lengths, transcript_lengths
