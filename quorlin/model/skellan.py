"""Transformer decoder layers: decoder-only and with cross-attention."""
from typing import Optional, Tuple

import torch
import torch.nn as nn

from quorlin.model.decoder_cache import DecoderCache
from quorlin.model.sublayers import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer


class SelfAttentionDecoderLayer(nn.Module):
    """Pre-LN Decoder Layer with masked self-attention and feed-forward sublayers.

    The caller passes the causal mask (``CausalMask``); without it the layer is not causal.

    Args:
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        d_ff: hidden width of the feed-forward sublayer.
        dropout: rate handed to every sublayer.

    Shapes:
        x: (N, T, d_model); key_padding_mask: (N, T) bool; attn_mask: (T, T) bool.
        Returns (N, T, d_model) and the self-attention weights (N, T, T).

    Example:
        >>> layer = SelfAttentionDecoderLayer(d_model=16, num_heads=2, d_ff=32)
        >>> x = torch.randn(2, 5, 16)
        >>> y, weights = layer(x, attn_mask=CausalMask(x))
    """

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1):
        super().__init__()
        # The sublayers convert (and type-check) the arguments.
        self.self_attn = SelfAttentionLayer(d_model, num_heads, dropout)
        self.ffn = FeedForwardLayer(d_model, d_ff, dropout)

    def forward(
        self,
        x: torch.Tensor,
        key_padding_mask: Optional[torch.Tensor] = None,
        attn_mask: Optional[torch.Tensor] = None,
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        x, mha_attn_weights = self.self_attn(x, key_padding_mask=key_padding_mask, attn_mask=attn_mask)
        x = self.ffn(x)
        return x, mha_attn_weights

    def forward_cached(self, x: torch.Tensor, cache: DecoderCache, i: int) -> torch.Tensor:
        """New positions x (R, T, d_model) after the ``cache.length`` ones that ``cache``
        holds; this is layer i."""
        x = self.self_attn.forward_cached(x, cache.self_attn[i], cache.length)
        return self.ffn(x)


class CrossAttentionDecoderLayer(nn.Module):
    """Pre-LN Decoder Layer with masked self-attention, cross-attention, and feed-forward sublayers.

    The causal mask applies to the self-attention only; the cross-attention masks only
    the encoder's padding.

    Args:
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        d_ff: hidden width of the feed-forward sublayer.
        dropout: rate handed to every sublayer.

    Shapes:
        x: (N, T, d_model); enc_output: (N, S, d_model); dec_key_padding_mask: (N, T);
        enc_key_padding_mask: (N, S); attn_mask: (T, T).
        Returns (N, T, d_model), self-attention weights (N, T, T), cross-attention weights (N, T, S).

    Example:
        >>> layer = CrossAttentionDecoderLayer(d_model=16, num_heads=2, d_ff=32)
        >>> x, self_w, cross_w = layer(torch.randn(2, 5, 16), torch.randn(2, 9, 16))
    """

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1):
        super().__init__()
        # The sublayers convert (and type-check) the arguments.
        self.self_attn = SelfAttentionLayer(d_model, num_heads, dropout)
        self.cross_attn = CrossAttentionLayer(d_model, num_heads, dropout)
        self.ffn = FeedForwardLayer(d_model, d_ff, dropout)

    def forward(
        self,
        x: torch.Tensor,
        enc_output: torch.Tensor,
        dec_key_padding_mask: Optional[torch.Tensor] = None,
        enc_key_padding_mask: Optional[torch.Tensor] = None,
        attn_mask: Optional[torch.Tensor] = None,
    ) -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        x, self_attn_weights = self.self_attn(x, key_padding_mask=dec_key_padding_mask, attn_mask=attn_mask)
        x, cross_attn_weights = self.cross_attn(x, enc_output, key_padding_mask=enc_key_padding_mask, attn_mask=None)
        x = self.ffn(x)
        return x, self_attn_weights, cross_attn_weights

    def forward_cached(self, x: torch.Tensor, cache: DecoderCache, i: int) -> torch.Tensor:
        """New positions x (R, T, d_model) after the ``cache.length`` ones that ``cache``
        holds, and over the encoded utterances of its rows; this is layer i."""
        x = self.self_attn.forward_cached(x, cache.self_attn[i], cache.length)
        x = self.cross_attn.forward_cached(x, cache.memory.kv[i], cache.memory)
        return self.ffn(x)
