"""Dropping the utterances a model cannot take, before training starts rather than hours into it.

A recogniser takes at most ``max_len`` encoder positions (the front end's output of the
filter-bank frames) and at least one, and its decoder at most ``max_len`` tokens; a language
model at most ``max_len`` tokens. ``drop_unfit`` removes the other utterances from a loaded
dataset, with their ids and reasons, so that the loaders never yield them.
"""
import os
from typing import Callable, List, Optional, Tuple

import numpy as np
import torch

from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.layout import TEST_PARTITION

# Frames per second of the prepared filter banks (10 ms shift).
FRAMES_PER_SECOND = 100


def asr_limits(model) -> Tuple[Callable[[int], int], int]:
    """The reduced length of a number of frames, and the most positions and tokens the model takes."""
    def reduced(frames: int) -> int:
        return int(model.source_embedding.calculate_downsampled_length(torch.tensor([frames]))[0])
    return reduced, model.max_len


def utterance_frames(dataset) -> List[int]:
    """The frame count of every utterance of a ``Maltrey`` or ``MaltreyStream`` dataset."""
    if isinstance(dataset, MaltreyStream):
        return dataset.frame_counts.tolist()
    return [feat.shape[1] for feat in dataset.feats]


def _golden_lengths(dataset) -> List[int]:
    """The length of every utterance's golden sequence (its tokens and the end id)."""
    if isinstance(dataset, MaltreyStream):
        return (np.diff(dataset.token_offsets) + 1).tolist()
    return [len(golden) for golden in dataset.transcripts_golden]


def drop_unfit(dataset, model, max_duration: Optional[float] = None) -> List[str]:
    """Removes from a ``Maltrey`` or ``MaltreyStream`` dataset every utterance that ``model``
    cannot take: fewer frames than its front end needs, more encoder positions or transcript
    tokens than its ``max_len`` allows, or longer than ``max_duration`` seconds. Returns
    "<id>: <reason>" for each."""
    reduced, max_len = asr_limits(model)
    max_frames = None if max_duration is None else max_duration * FRAMES_PER_SECOND
    has_text = dataset.partition != TEST_PARTITION
    golden_lengths = _golden_lengths(dataset) if has_text else None
    dropped, keep = [], []
    for i, frames in enumerate(utterance_frames(dataset)):
        positions = reduced(frames)
        tokens = golden_lengths[i] if has_text else 0
        utt_id = os.path.basename(dataset.fbank_files[i])[:-len(".npy")]
        if positions < 1:
            dropped.append(f"{utt_id}: {frames} frames are too few for the model's front end")
        elif positions > max_len:
            dropped.append(f"{utt_id}: {frames / FRAMES_PER_SECOND:.1f} s gives {positions} encoder positions, "
                           f"more than max_len {max_len}")
        elif tokens > max_len:
            dropped.append(f"{utt_id}: {tokens} transcript tokens, more than max_len {max_len}")
        elif max_frames is not None and frames > max_frames:
            dropped.append(f"{utt_id}: {frames / FRAMES_PER_SECOND:.1f} s, longer than max_duration {max_duration:g} s")
        else:
            keep.append(i)
    if dropped:
        (_keep_stream if isinstance(dataset, MaltreyStream) else _keep_asr)(dataset, keep, has_text)
    return dropped


def drop_long_texts(dataset, max_len: int) -> List[str]:
    """Removes from a ``Pellith`` dataset every text longer than ``max_len`` tokens (start or end
    id included). Returns "<file>: <reason>" for each."""
    dropped, keep = [], []
    for i, golden in enumerate(dataset.transcripts_golden):
        if len(golden) > max_len:
            dropped.append(f"{os.path.basename(dataset.text_files[i])}: {len(golden)} tokens, more than max_len "
                           f"{max_len}")
        else:
            keep.append(i)
    if dropped:
        dataset.transcripts_shifted = [dataset.transcripts_shifted[i] for i in keep]
        dataset.transcripts_golden = [dataset.transcripts_golden[i] for i in keep]
        dataset.text_files = [dataset.text_files[i] for i in keep]
        dataset.length = len(keep)
        dataset.text_max_len = max((len(g) for g in dataset.transcripts_golden), default=0)
    return dropped


def _keep_asr(dataset, keep: List[int], has_text: bool) -> None:
    dataset.feats = [dataset.feats[i] for i in keep]
    dataset.fbank_files = [dataset.fbank_files[i] for i in keep]
    dataset.length = len(keep)
    dataset.feat_max_len = max((f.shape[1] for f in dataset.feats), default=0)
    if has_text:
        dataset.text_files = [dataset.text_files[i] for i in keep]
        dataset.transcripts_shifted = [dataset.transcripts_shifted[i] for i in keep]
        dataset.transcripts_golden = [dataset.transcripts_golden[i] for i in keep]
        dataset.text_max_len = max((len(g) for g in dataset.transcripts_golden), default=0)


def _keep_stream(dataset: MaltreyStream, keep: List[int], has_text: bool) -> None:
    dataset.fbank_files = [dataset.fbank_files[i] for i in keep]
    dataset.frame_counts = dataset.frame_counts[keep]
    dataset.length = len(keep)
    dataset.feat_max_len = int(dataset.frame_counts.max(initial=0))
    if has_text:
        dataset.text_files = [dataset.text_files[i] for i in keep]
        starts, ends = dataset.token_offsets[keep], dataset.token_offsets[np.add(keep, 1)]
        dataset.token_ids = np.concatenate([dataset.token_ids[s:e] for s, e in zip(starts, ends)]
                                           or [dataset.token_ids[:0]])
        dataset.token_offsets = np.concatenate([[0], np.cumsum(ends - starts)])
        dataset.text_max_len = int((ends - starts).max(initial=-1)) + 1
