"""Conformer encoder layer: macaron feed-forward halves around self-attention and a convolution module."""
import math
import numbers
from typing import Optional, Tuple

import torch
import torch.nn as nn
import torch.nn.functional as F

from quorlin._checks import as_float, as_int
from quorlin.model.sublayers import FeedForwardLayer, SelfAttentionLayer


def as_kernel_size(value, name: str = "conv_kernel_size") -> int:
    """``value`` as an odd integer of at least 3 (15.0 is 15); a ``TypeError`` or ``ValueError`` otherwise."""
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    size = int(value) if math.isfinite(value) else 0
    if size != value or size < 3 or size % 2 == 0:
        raise ValueError(f"{name} must be an odd integer of at least 3, got {value!r}")
    return size


class HalfStepFeedForward(FeedForwardLayer):
    """``FeedForwardLayer`` whose branch is added at half weight: x + ½·Dropout(FFN(LayerNorm(x))).

    A Conformer layer has two of them, one before the attention and one after the
    convolution module, which together make one full feed-forward step. Arguments and
    shapes are those of ``FeedForwardLayer``.
    """

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x + 0.5 * self.dropout(self.ffn(self.norm(x)))


class ConvolutionModule(nn.Module):
    """Pre-norm convolution sublayer with a residual connection.

    LayerNorm -> pointwise (d -> 2d) -> GLU -> depthwise convolution over time ("same"
    padding) -> LayerNorm -> SiLU -> pointwise (d -> d) -> dropout, added to the input. The
    pointwise convolutions are per-frame linear maps.

    Padded frames are zeroed before the depthwise convolution, so a valid frame near the
    end of an utterance sees exactly the zeros it would see without any padding. The
    normalisation after the depthwise convolution is a LayerNorm over the channels of each
    frame: it depends neither on padded frames nor on the other utterances of the batch,
    and behaves the same in training and evaluation. A BatchNorm would average over
    padding and over batches of a few utterances, so an utterance's output would change
    with the batch it came in and between training and recognition.

    Args:
        d_model: model width.
        kernel_size: odd width of the depthwise convolution, at least 3.
        dropout: rate on the sublayer output.

    Shapes:
        x: (N, T, d_model); key_padding_mask: (N, T) bool, ``True`` at padded frames.
        Returns (N, T, d_model).

    Example:
        >>> conv = ConvolutionModule(d_model=16, kernel_size=7)
        >>> padded = torch.arange(5) >= torch.tensor([[5], [3]])  # (2, 5): lengths 5 and 3
        >>> conv(torch.randn(2, 5, 16), padded).shape
        torch.Size([2, 5, 16])
    """

    def __init__(self, d_model: int, kernel_size: int = 15, dropout: float = 0.0):
        super().__init__()
        d_model, kernel_size = as_int(d_model, "d_model"), as_kernel_size(kernel_size, "kernel_size")
        dropout = as_float(dropout, "dropout")
        self.norm = nn.LayerNorm(d_model)
        self.pointwise_in = nn.Linear(d_model, 2 * d_model)
        self.depthwise = nn.Conv1d(d_model, d_model, kernel_size, padding=kernel_size // 2, groups=d_model)
        self.conv_norm = nn.LayerNorm(d_model)
        self.pointwise_out = nn.Linear(d_model, d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None) -> torch.Tensor:
        residual = x
        x = F.glu(self.pointwise_in(self.norm(x)), dim=-1)  # (N, T, d_model)
        if key_padding_mask is not None:
            x = x.masked_fill(key_padding_mask.unsqueeze(-1), 0.0)
        x = self.depthwise(x.transpose(1, 2)).transpose(1, 2)  # (N, d_model, T) -> (N, T, d_model)
        x = self.pointwise_out(F.silu(self.conv_norm(x)))
        return residual + self.dropout(x)


class ConformerEncoderLayer(nn.Module):
    """Conformer encoder layer.

    ½·feed-forward, self-attention, convolution module, ½·feed-forward, each pre-norm with
    a residual connection, then a final LayerNorm. Unlike the decoder layers it applies no
    causal mask, so every position attends to every unpadded position.

    Args:
        d_model: model width.
        num_heads: attention heads; must divide ``d_model``.
        d_ff: hidden width of both feed-forward sublayers.
        dropout: rate handed to every sublayer.
        conv_kernel_size: odd width of the depthwise convolution, at least 3.

    Shapes:
        x: (N, T, d_model); key_padding_mask: (N, T) bool, ``True`` at padded frames.
        Returns (N, T, d_model) and the head-averaged self-attention weights (N, T, T).

    Example:
        >>> layer = ConformerEncoderLayer(d_model=16, num_heads=2, d_ff=32, conv_kernel_size=7)
        >>> x, weights = layer(torch.randn(2, 5, 16))
    """

    def __init__(self, d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1, conv_kernel_size: int = 15):
        super().__init__()
        # The sublayers convert (and type-check) the arguments.
        self.ffn1 = HalfStepFeedForward(d_model, d_ff, dropout)
        self.self_attn = SelfAttentionLayer(d_model, num_heads, dropout)
        self.conv = ConvolutionModule(d_model, as_kernel_size(conv_kernel_size), dropout)
        self.ffn2 = HalfStepFeedForward(d_model, d_ff, dropout)
        self.final_norm = nn.LayerNorm(as_int(d_model, "d_model"))

    def forward(
        self, x: torch.Tensor, key_padding_mask: Optional[torch.Tensor] = None
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        x = self.ffn1(x)
        x, mha_attn_weights = self.self_attn(x, key_padding_mask=key_padding_mask)
        x = self.conv(x, key_padding_mask)
        x = self.ffn2(x)
        return self.final_norm(x), mha_attn_weights
