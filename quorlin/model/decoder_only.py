"""Decoder-only Transformer language model."""
from typing import Dict, Optional, Tuple

import torch
import torch.nn as nn

from quorlin._checks import as_float, as_int
from quorlin.model.amberith import Amberith
from quorlin.model.decoder_cache import DecoderCache, score_cached
from quorlin.model.masks import CausalMask, PadMask
from quorlin.model.skellan import SelfAttentionDecoderLayer


class DecoderOnlyTransformer(nn.Module):
    """Causal Transformer language model over token ids.

    Token embedding, sinusoidal positions, dropout, a stack of pre-norm
    ``SelfAttentionDecoderLayer`` under causal and padding masks, a final
    ``LayerNorm`` and a projection to the vocabulary.

    Args:
        num_layers: decoder layers.
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        d_ff: hidden width of the feed-forward sublayers.
        dropout: rate after the embeddings (the module ``dropout``, whose ``p`` may be
            reassigned) and inside every layer.
        max_len: longest sequence the model accepts.
        num_classes: vocabulary size V.

    Shapes:
        padded_targets: (N, T) long; target_lengths: (N,) long.
        Returns logits (N, T, V) and, per layer, self-attention weights (N, T, T)
        under the key "layer<i>_dec_self" (i from 1).

    Example:
        >>> lm = DecoderOnlyTransformer(num_layers=2, d_model=32, num_heads=2, d_ff=64,
        ...                             dropout=0.1, max_len=64, num_classes=30)
        >>> logits, attn = lm(torch.randint(0, 30, (4, 10)), target_lengths=torch.tensor([10, 7, 5, 1]))
        >>> logits.shape, attn["layer2_dec_self"].shape
        (torch.Size([4, 10, 30]), torch.Size([4, 10, 10]))
    """

    def __init__(self, num_layers: int, d_model: int, num_heads: int, d_ff: int, dropout: float,
                 max_len: int, num_classes: int):
        super().__init__()
        num_layers, d_model = as_int(num_layers, "num_layers"), as_int(d_model, "d_model")
        num_heads, d_ff = as_int(num_heads, "num_heads"), as_int(d_ff, "d_ff")
        dropout = as_float(dropout, "dropout")
        self.max_len, self.num_classes = as_int(max_len, "max_len"), as_int(num_classes, "num_classes")

        self.target_embedding = nn.Embedding(self.num_classes, d_model)
        self.positional_encoding = Amberith(d_model, self.max_len)
        self.dropout = nn.Dropout(dropout)
        self.dec_layers = nn.ModuleList(
            SelfAttentionDecoderLayer(d_model, num_heads, d_ff, dropout) for _ in range(num_layers)
        )
        self.norm = nn.LayerNorm(d_model)
        self.final_linear = nn.Linear(d_model, self.num_classes)

    def forward(
        self, padded_targets: torch.Tensor, target_lengths: Optional[torch.Tensor] = None
    ) -> Tuple[torch.Tensor, Dict[str, torch.Tensor]]:
        # A length of 0 would hide every key of a row and turn its attention into NaN.
        pad_mask = None if target_lengths is None else PadMask(padded_targets, target_lengths.clamp(min=1))
        causal_mask = CausalMask(padded_targets)  # (T, T)

        x = self.target_embedding(padded_targets)  # (N, T, d_model)
        x = self.dropout(self.positional_encoding(x))
        running_att = {}
        for i, layer in enumerate(self.dec_layers):
            x, running_att[f"layer{i + 1}_dec_self"] = layer(x, key_padding_mask=pad_mask, attn_mask=causal_mask)
        x = self.norm(x)
        seq_out = self.final_linear(x)  # (N, T, V)
        return seq_out, running_att

    def score(self, batch_prompts: torch.Tensor) -> torch.Tensor:
        """Next-token log-probabilities (N, V) after each unpadded partial sequence (N, t)."""
        seq_out, _ = self.forward(batch_prompts)
        return torch.log_softmax(seq_out[:, -1], dim=-1)

    def new_cache(self, max_length: int) -> DecoderCache:
        """Empty state for ``score_cached`` over sequences of at most ``max_length`` tokens."""
        return DecoderCache(len(self.dec_layers), min(max_length, self.max_len))

    def score_cached(self, x: torch.Tensor, cache: DecoderCache) -> torch.Tensor:
        """``score`` of the sequences that x (R, T) extends, from cached keys and values.

        x holds the tokens that follow the ``cache.length`` positions of every row already
        in ``cache``, which then holds them too. Returns next-token log-probabilities (R, V).
        """
        return score_cached(self, x, cache, self.norm)
