"""Language-model dataset: tokenised transcripts with prompt sampling."""
import logging
import os
import random
from typing import List, Tuple

import torch
from torch.nn.utils.rnn import pad_sequence
from torch.utils.data import Dataset

from quorlin.console import progress_bar
from quorlin.data.corpus import (CHUNK_SIZE, add_transcripts, average_chars_per_token, list_npy_files,
                                 load_transcripts, read_subset, subset_count)
from quorlin.data.tokenizer import VaskTokenizer

log = logging.getLogger(__name__)


class Pellith(Dataset):
    """Dataset for Language Model training/evaluation."""

    def __init__(self, partition: str, config: dict, tokenizer: VaskTokenizer):
        """Loads and tokenises every transcript of ``root/partition/*.npy``.

        Args:
            partition: sub-directory of the dataset root.
            config: configuration; its ``dataset`` section when present, else
                the whole dict, holds ``root`` and optionally ``subset_size``/``subset``.
            tokenizer: encodes the transcripts.

        Shapes:
            item: shifted and golden ids, (L + 1,) int64 each.
            batch: shifted (B, Lmax), golden (B, Lmax), lengths (B,).

        Example:
            >>> train = Pellith("train", {"root": "data/lm"}, tokenizer)
            >>> loader = DataLoader(train, batch_size=16, collate_fn=train.collate_fn)
            >>> prompts, originals = train.sample_prompts(4, 10)
        """
        if type(partition) is not str:
            raise TypeError(f"partition must be a str, got {type(partition).__name__}")
        if type(config) is not dict:
            raise TypeError(f"config must be a dict, got {type(config).__name__}")
        section = config["dataset"] if "dataset" in config else config
        self.config = config
        self.partition = partition
        self.tokenizer = tokenizer
        self.eos_token = tokenizer.eos_id
        self.sos_token = tokenizer.sos_id
        self.pad_token = tokenizer.pad_id
        self.text_dir = os.path.join(section["root"], partition)
        self.text_files = list_npy_files(self.text_dir)
        subset = read_subset(section)
        if subset > 0:
            self.text_files = self.text_files[:subset_count(len(self.text_files), subset)]

        self.transcripts_shifted = []
        self.transcripts_golden = []
        self.total_chars = 0
        self.total_tokens = 0
        self.text_max_len = 0

        log.info("Loading transcripts for " + partition + " partition...")
        with progress_bar(total=len(self.text_files)) as bar:
            for start in range(0, len(self.text_files), CHUNK_SIZE):
                chunk = self.text_files[start:start + CHUNK_SIZE]
                add_transcripts(self, load_transcripts(chunk))
                bar.update(len(chunk))

        self.avg_chars_per_token = average_chars_per_token(self.total_chars, self.total_tokens)
        if len(self.transcripts_shifted) != len(self.transcripts_golden):
            raise ValueError("Shifted and golden transcripts are misaligned")
        self.length = len(self.transcripts_shifted)

    def get_avg_chars_per_token(self) -> float:
        return self.avg_chars_per_token

    def __len__(self) -> int:
        return self.length

    def __getitem__(self, idx: int) -> Tuple[torch.Tensor, torch.Tensor]:
        return torch.LongTensor(self.transcripts_shifted[idx]), torch.LongTensor(self.transcripts_golden[idx])

    def collate_fn(self, batch: List[Tuple[torch.Tensor, torch.Tensor]]):
        """Pads (shifted, golden) pairs into the LM batch (shifted, golden, lengths)."""
        shifted, golden = zip(*batch)
        lengths = torch.LongTensor([len(seq) for seq in shifted])
        padded_shifted = pad_sequence(shifted, batch_first=True, padding_value=self.pad_token)  # (B, Lmax)
        padded_golden = pad_sequence(golden, batch_first=True, padding_value=self.pad_token)  # (B, Lmax)
        return padded_shifted, padded_golden, lengths

    def sample_prompts(self, num_samples: int, prompt_length: int, seed: int = 40213):
        """Draws random prompts: the first ``prompt_length`` ids of transcripts longer than that.

        Reseeds Python's ``random`` module with ``seed``.

        Returns:
            prompts (num_to_sample, prompt_length) int64, each row starting
            with ``sos_token``, and the whole shifted sequences they come from.

        Example:
            >>> prompts, originals = dataset.sample_prompts(4, 10)
        """
        num_samples, prompt_length, seed = int(num_samples), int(prompt_length), int(seed)
        random.seed(seed)
        valid_indices = [i for i, seq in enumerate(self.transcripts_shifted) if len(seq) > prompt_length]
        num_to_sample = min(num_samples, len(valid_indices))
        selected_indices = random.sample(valid_indices, num_to_sample)
        prompts, originals = [], []
        for idx in selected_indices:
            full_sequence = torch.LongTensor(self.transcripts_shifted[idx])
            prompts.append(full_sequence[:prompt_length])
            originals.append(full_sequence)
        return torch.stack(prompts), originals
