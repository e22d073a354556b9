"""Fixed sinusoidal positional encoding."""
import logging
import math

import torch
from torch import nn

log = logging.getLogger(__name__)


class Amberith(nn.Module):
    """Adds the sinusoidal position table (sine on even, cosine on odd features) to its input.

    Args:
        d_model: model width (expected even).
        max_len: longest sequence ``forward`` accepts.

    Shapes:
        x: (N, T, d_model) at positions start .. start + T - 1, all below max_len;
        returns (N, T, d_model).

    Example:
        >>> pe = Amberith(d_model=16, max_len=100)
        >>> pe(torch.zeros(2, 10, 16)).shape
        torch.Size([2, 10, 16])
    """

    def __init__(self, d_model, max_len):
        super().__init__()
        self.create_pe_table(d_model, max_len)

    def create_pe_table(self, d_model, max_len):
        """Builds (or rebuilds) the ``pe`` buffer of shape (1, max_len, d_model)."""
        if d_model % 2 != 0:
            log.warning(f"Warning: d_model={d_model} is odd. Amberith assumes d_model is even.")
        position = torch.arange(max_len).unsqueeze(1)  # (max_len, 1)
        div_term = torch.exp(torch.arange(0, d_model, 2).float() * -(math.log(10000.0) / d_model))
        pe_argument = position * div_term  # (max_len, ceil(d_model / 2))
        pe = torch.zeros(max_len, d_model)
        pe[:, 0::2] = torch.sin(pe_argument)
        # With an odd width the last sine column has no cosine partner.
        pe[:, 1::2] = torch.cos(pe_argument[:, : d_model // 2])
        self.register_buffer("pe", pe.unsqueeze(0).to(torch.float))  # (1, max_len, d_model)

    def forward(self, x: torch.Tensor, start: int = 0) -> torch.Tensor:
        """Adds the codes of positions ``start`` onwards (``start`` > 0 continues a sequence step by step)."""
        seq_len = start + x.size(1)
        if seq_len > self.pe.size(1):
            raise ValueError(f"Sequence length {seq_len} exceeds the maximum length {self.pe.size(1)}")
        return x + self.pe[:, start:seq_len]
