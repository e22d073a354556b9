"""What a Transformer decoder keeps between the steps of a search.

Rows are the partial sequences being extended (prompts, or the beams of every prompt);
``reorder`` makes row i continue old row ``rows[i]``, which drops finished rows and
follows the parents chosen by a beam step.
"""
from typing import List, Optional

import torch
import torch.nn as nn


class KeyValueCache:
    """Keys and values of one self-attention sublayer at the positions decoded so far.

    Held as one (2, R, h, capacity, dh) buffer, allocated at the first ``append``, so a
    step writes only its own positions. ``reorder`` copies the filled positions into a
    second buffer and swaps the two.

    Args:
        capacity: most positions a row will hold.
    """

    def __init__(self, capacity: int):
        self.capacity = capacity
        self.kv: Optional[torch.Tensor] = None  # (2, R, h, capacity, dh): the first R rows of self._buffer
        self._buffer: Optional[torch.Tensor] = None
        self._spare: Optional[torch.Tensor] = None

    def append(self, kv: torch.Tensor, start: int) -> torch.Tensor:
        """Stores kv (2, R, h, T, dh) at positions start .. start + T - 1; returns (2, R, h, start + T, dh)."""
        end = start + kv.size(3)
        if end > self.capacity:
            raise ValueError(f"the cache holds {self.capacity} positions per row, position {end - 1} was asked for")
        if self.kv is None:
            self._buffer = self.kv = kv.new_empty(kv.shape[:3] + (self.capacity, kv.size(4)))
        self.kv[:, :, :, start:end] = kv
        return self.kv[:, :, :, :end]

    def reorder(self, rows: torch.Tensor, length: int) -> None:
        """Row i becomes old row rows[i], over the first ``length`` positions."""
        if self.kv is None:
            return
        R = rows.size(0)
        if self._spare is None or self._spare.size(1) < R:
            self._spare = self.kv.new_empty((2, R) + self.kv.shape[2:])
        moved = self._spare[:, :R]  # (2, R', h, capacity, dh)
        torch.index_select(self.kv[:, :, :, :length], 1, rows, out=moved[:, :, :, :length])
        self._buffer, self._spare, self.kv = self._spare, self._buffer, moved


class EncoderMemory:
    """Cross-attention keys and values of one encoded batch, and the utterance of every row.

    The keys and values are computed once per batch, one set per decoder layer, and are
    never copied per row: the queries of each utterance's rows are gathered into that
    utterance's group of ``group_size`` slots, so that one batched product over the N
    utterances serves all rows. Rows of one utterance stay together and in utterance
    order, as the beams of a search do; an utterance without rows drops out.

    Args:
        kv: per decoder layer, the keys and values (2, N, h, S, dh).
        pad_mask_src: (N, S) bool, ``True`` at padded encoder frames.
        rows: rows at the start; k = rows / N consecutive rows per utterance.
    """

    def __init__(self, kv: List[torch.Tensor], pad_mask_src: torch.Tensor, rows: int):
        N = pad_mask_src.size(0)
        self.kv = kv
        self.attend = ~pad_mask_src[:, None, None, :]  # (N, 1, 1, S), True where attention is allowed
        source = torch.arange(rows, device=pad_mask_src.device) // (rows // N)  # (R,)
        self._place(source, torch.bincount(source, minlength=N))

    def group(self, x: torch.Tensor) -> torch.Tensor:
        """Row-wise x (R, T, d) to utterance groups (N, group_size * T, d); empty slots are zero."""
        _, T, d = x.shape
        N = self.attend.size(0)
        slots = x.new_zeros(N * self.group_size, T, d).index_copy_(0, self.slots, x)  # (N * k, T, d)
        return slots.view(N, self.group_size * T, d)

    def ungroup(self, x: torch.Tensor) -> torch.Tensor:
        """Utterance groups (N, group_size * T, d) back to the rows (R, T, d)."""
        N, kT, d = x.shape
        return x.view(N * self.group_size, kT // self.group_size, d).index_select(0, self.slots)

    def reorder(self, rows: torch.Tensor) -> None:
        source = self.source[rows]  # (R',)
        counts = torch.bincount(source, minlength=self.attend.size(0))  # (N,)
        present = counts > 0
        if not present.all():
            self.kv = [kv[:, present] for kv in self.kv]
            self.attend = self.attend[present]
            source, counts = present.cumsum(0)[source] - 1, counts[present]
        self._place(source, counts)

    def _place(self, source: torch.Tensor, counts: torch.Tensor) -> None:
        """Slot of every row: its utterance's group, then its rank among that utterance's rows."""
        self.source = source
        self.group_size = int(counts.max()) if counts.numel() else 0
        first = counts.cumsum(0) - counts  # (N,) first row of every utterance
        rank = torch.arange(source.size(0), device=source.device) - first[source]
        self.slots = source * self.group_size + rank  # (R,)


class DecoderCache:
    """Per-layer state of a decoder after ``length`` positions of every row.

    Args:
        num_layers: decoder layers, one ``KeyValueCache`` each.
        capacity: most positions a row will hold.
        memory: the encoded batch, for decoders with cross-attention.
    """

    def __init__(self, num_layers: int, capacity: int, memory: Optional[EncoderMemory] = None):
        self.self_attn = [KeyValueCache(capacity) for _ in range(num_layers)]
        self.memory = memory
        self.length = 0

    def reorder(self, rows: torch.Tensor) -> None:
        """Row i continues old row rows[i] (R',): drops, repeats or permutes rows."""
        for cache in self.self_attn:
            cache.reorder(rows, self.length)
        if self.memory is not None:
            self.memory.reorder(rows)


def score_cached(model: nn.Module, x: torch.Tensor, cache: DecoderCache, norm: nn.LayerNorm) -> torch.Tensor:
    """Next-token log-probabilities (R, V) of a decoder whose rows continue with x (R, T).

    ``model`` has ``target_embedding``, ``positional_encoding``, ``dropout``, ``dec_layers``
    (each with ``forward_cached(x, cache, i)``) and ``final_linear``; ``norm`` is its
    final ``LayerNorm``. The new positions are appended to ``cache``.
    """
    start = cache.length
    x = model.target_embedding(x)  # (R, T, d_model)
    x = model.dropout(model.positional_encoding(x, start))
    for i, layer in enumerate(model.dec_layers):
        x = layer.forward_cached(x, cache, i)
    cache.length = start + x.size(1)
    x = norm(x[:, -1])  # (R, d_model)
    return torch.log_softmax(model.final_linear(x), dim=-1)
