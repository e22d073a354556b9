"""Pre-norm residual sublayers: x + Dropout(Block(LayerNorm(x)))."""
from typing import Optional, Tuple

import torch
import torch.nn as nn

from quorlin._checks import as_float, as_int


class _PreNormAttention(nn.Module):
    """Shared construction of the two attention sublayers: ``mha``, ``norm``, ``dropout``."""

    def __init__(self, d_model: int, num_heads: int, dropout: float = 0.0):
        super().__init__()
        d_model, num_heads = as_int(d_model, "d_model"), as_int(num_heads, "num_heads")
        dropout = as_float(dropout, "dropout")
        self.mha = nn.MultiheadAttention(embed_dim=d_model, num_heads=num_heads, dropout=dropout, batch_first=True)
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def _attend(self, x, y, key_padding_mask, attn_mask) -> Tuple[torch.Tensor, torch.Tensor]:
        """x + Dropout(MHA(LayerNorm(x), kv, kv)); kv is LayerNorm(x) itself when ``y`` is None."""
        residual = x
        x_norm = self.norm(x)
        kv = x_norm if y is None else y
        x_mha, mha_attn_weights = self.mha(
            query=x_norm, key=kv, value=kv,
            key_padding_mask=key_padding_mask, attn_mask=attn_mask,
            need_weights=True, average_attn_weights=True,
        )
        x = residual + self.dropout(x_mha)
        return x, mha_attn_weights


class SelfAttentionLayer(_PreNormAttention):
    """
    Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.
    Used first in every decoder layer of encoder-decoder models (and, without a causal mask, in encoders).

    Args:
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        dropout: rate on the attention probabilities and on the sublayer output.

    Shapes:
        x: (N, T, d_model); key_padding_mask: (N, T) bool; attn_mask: (T, T) bool.
        Returns (N, T, d_model) and the head-averaged weights (N, T, T).

    Example:
        >>> layer = SelfAttentionLayer(d_model=16, num_heads=2)
        >>> x, weights = layer(torch.randn(2, 5, 16))
        >>> weights.shape
        torch.Size([2, 5, 5])
    """

    def forward(
        self,
        x: torch.Tensor,
        key_padding_mask: Optional[torch.Tensor] = None,
        attn_mask: Optional[torch.Tensor] = None,
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        return self._attend(x, None, key_padding_mask, attn_mask)


class FeedForwardLayer(nn.Module):
    """
    Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.
    Used last in every encoder and decoder layer of encoder-decoder models.

    Args:
        d_model: model width.
        d_ff: hidden width of the two-layer GELU network.
        dropout: rate after the GELU and on the sublayer output.

    Shapes:
        x: (N, T, d_model); returns (N, T, d_model).

    Example:
        >>> FeedForwardLayer(d_model=16, d_ff=64)(torch.randn(2, 5, 16)).shape
        torch.Size([2, 5, 16])
    """

    def __init__(self, d_model: int, d_ff: int, dropout: float = 0.0):
        super().__init__()
        d_model, d_ff = as_int(d_model, "d_model"), as_int(d_ff, "d_ff")
        dropout = as_float(dropout, "dropout")
        self.ffn = nn.Sequential(
            nn.Linear(d_model, d_ff),
            nn.GELU(),
            nn.Dropout(dropout),
            nn.Linear(d_ff, d_model),
        )
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        residual = x
        x_norm = self.norm(x)
        x_ffn = self.ffn(x_norm)
        return residual + self.dropout(x_ffn)


class CrossAttentionLayer(_PreNormAttention):
    """
    Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder).
    Used between self-attention and feed-forward in the decoder layers of encoder-decoder models.

    Only the decoder side is normalised; the encoder output enters as it is.

    Args:
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        dropout: rate on the attention probabilities and on the sublayer output.

    Shapes:
        x: (N, T, d_model); y: (N, S, d_model); key_padding_mask: (N, S) bool;
        attn_mask: (T, S). Returns (N, T, d_model) and the head-averaged weights (N, T, S).

    Example:
        >>> layer = CrossAttentionLayer(d_model=16, num_heads=2)
        >>> x, weights = layer(torch.randn(2, 5, 16), torch.randn(2, 7, 16))
        >>> weights.shape
        torch.Size([2, 5, 7])
    """

    def forward(
        self,
        x: torch.Tensor,
        y: torch.Tensor,
        key_padding_mask: Optional[torch.Tensor] = None,
        attn_mask: Optional[torch.Tensor] = None,
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        return self._attend(x, y, key_padding_mask, attn_mask)
