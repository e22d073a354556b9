"""Pre-norm residual sublayers: x + Dropout(Block(LayerNorm(x)))."""
from typing import Optional, Tuple

import torch
import torch.nn as nn
import torch.nn.functional as F

from quorlin._checks import as_float, as_int
from quorlin.model.decoder_cache import EncoderMemory, KeyValueCache


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

    def _heads(self, x: torch.Tensor, parts: int) -> torch.Tensor:
        """Projections (R, T, parts * d_model) split into (parts, R, h, T, dh)."""
        R, T, _ = x.shape
        return x.view(R, T, parts, self.mha.num_heads, self.mha.head_dim).permute(2, 0, 3, 1, 4)

    def _attention(self, q: torch.Tensor, kv: torch.Tensor, attend: Optional[torch.Tensor]) -> torch.Tensor:
        """softmax(q k^T / sqrt(dh)) v with the weights of ``mha``, heads merged: (R, T, d_model).

        q: (R, h, T, dh); kv: (2, R, h, S, dh); attend: broadcastable to (R, h, T, S), True where allowed.
        """
        dropout = self.mha.dropout if self.training else 0.0
        x = F.scaled_dot_product_attention(q, kv[0], kv[1], attn_mask=attend, dropout_p=dropout)  # (R, h, T, dh)
        R, h, T, dh = x.shape
        return x.transpose(1, 2).reshape(R, T, h * dh)  # (R, T, d_model)


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

    def forward_cached(self, x: torch.Tensor, cache: KeyValueCache, start: int) -> torch.Tensor:
        """Causal self-attention of new positions over themselves and the cached ones.

        x: (R, T, d_model) at positions start .. start + T - 1, whose keys and values
        ``cache`` stores beside those of positions 0 .. start - 1. Returns (R, T, d_model),
        what ``forward`` under a causal mask gives at these positions.
        """
        residual = x
        x_norm = self.norm(x)
        qkv = self._heads(F.linear(x_norm, self.mha.in_proj_weight, self.mha.in_proj_bias), 3)  # (3, R, h, T, dh)
        kv = cache.append(qkv[1:], start)  # (2, R, h, start + T, dh)
        T = x.size(1)
        # Position start + i attends to positions 0 .. start + i.
        attend = None if T == 1 else torch.ones(T, start + T, dtype=torch.bool, device=x.device).tril(start)
        x_mha = self.mha.out_proj(self._attention(qkv[0], kv, attend))
        return residual + self.dropout(x_mha)


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

    def memory_keys_values(self, y: torch.Tensor) -> torch.Tensor:
        """Keys and values (2, N, h, S, dh) of the encoder output y (N, S, d_model), for ``forward_cached``."""
        d_model = y.size(-1)
        kv = F.linear(y, self.mha.in_proj_weight[d_model:], self.mha.in_proj_bias[d_model:])  # (N, S, 2 * d_model)
        return self._heads(kv, 2).contiguous()

    def forward_cached(self, x: torch.Tensor, kv: torch.Tensor, memory: EncoderMemory) -> torch.Tensor:
        """Cross-attention of the rows x (R, T, d_model) over their utterances' encoder keys and values.

        kv: (2, N, h, S, dh) from ``memory_keys_values``; ``memory`` maps rows to utterances.
        Returns (R, T, d_model), what ``forward`` gives for these rows.
        """
        residual = x
        d_model = x.size(-1)
        q = F.linear(self.norm(x), self.mha.in_proj_weight[:d_model], self.mha.in_proj_bias[:d_model])  # (R, T, d_model)
        q = self._heads(memory.group(q), 1)[0]  # (N, h, k * T, dh)
        x_mha = self.mha.out_proj(memory.ungroup(self._attention(q, kv, memory.attend)))  # (R, T, d_model)
        return residual + self.dropout(x_mha)
