"""Transformer encoder layer."""
from typing import Optional, Tuple

import torch
import torch.nn as nn

from quorlin.model.sublayers import FeedForwardLayer, SelfAttentionLayer


class SelfAttentionEncoderLayer(nn.Module):
    """Pre-LN Encoder Layer with self-attention mechanism.

    Used in the encoder; unlike the decoder layers it applies no causal mask, so every
    position attends to every unpadded position.

    Args:
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        d_ff: hidden width of the feed-forward sublayer.
        dropout: rate handed to every sublayer.

    Shapes:
        x: (N, T, d_model); key_padding_mask: (N, T) bool.
        Returns (N, T, d_model) and the self-attention weights (N, T, T).

    Example:
        >>> layer = SelfAttentionEncoderLayer(d_model=16, num_heads=2, d_ff=32)
        >>> x, weights = layer(torch.randn(2, 5, 16))
    """

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1):
        super().__init__()
        # The sublayers convert (and type-check) the arguments.
        self.self_attn = SelfAttentionLayer(d_model, num_heads, dropout)
        self.ffn = FeedForwardLayer(d_model, d_ff, dropout)

    def forward(
        self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        x, mha_attn_weights = self.self_attn(x, key_padding_mask=key_padding_mask)
        x = self.ffn(x)
        return x, mha_attn_weights
