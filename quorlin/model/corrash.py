"""Speech front ends: filter-bank frames to model-width embeddings on a shorter time axis."""
import logging

import torch
import torch.nn as nn
from torch.nn.utils.rnn import pack_padded_sequence, pad_packed_sequence
from torchinfo import summary

from quorlin._checks import as_float, as_int

log = logging.getLogger(__name__)


def _closest_factors(n):
    """The factor pair of ``n`` closest to its square root, larger first: 6 -> (3, 2)."""
    factor = int(n ** 0.5)
    while n % factor != 0:
        factor -= 1
    return max(factor, n // factor), min(factor, n // factor)


def _check_front_end_args(dims, dropout):
    if not all(d > 0 for d in dims):
        raise ValueError("All dimension values must be positive")
    if not 0 <= dropout < 1:
        raise ValueError("Dropout rate must be between 0 and 1")


class Conv2DSubsampling(nn.Module):
    """Two strided 2-D convolutions with GELU over the (time, frequency) plane, then a projection.

    The time reduction is split into the two factors closest to its square root (the larger
    on the first convolution); frequency is never strided.

    Args:
        input_dim: filter-bank bins F; must exceed 2 * (kernel_size - 1).
        output_dim: channels of both convolutions and width of the output.
        dropout: rate on the output.
        time_reduction: total time stride.
        kernel_size: square kernel of both convolutions (no padding).

    Shapes:
        x: (N, T, F); x_len: (N,). Returns (N, T_out, output_dim) and the (N,) output lengths
        in the dtype and on the device of ``x_len``.

    Example:
        >>> sub = Conv2DSubsampling(80, 32, time_reduction=6)
        >>> y, y_len = sub(torch.randn(2, 100, 80), torch.tensor([100, 60]))
        >>> y.shape, y_len
        (torch.Size([2, 16, 32]), tensor([16, 9]))
    """

    def __init__(self, input_dim: int, output_dim: int, dropout: float = 0.0, time_reduction: int = 2,
                 kernel_size: int = 3):
        super().__init__()
        input_dim, output_dim = as_int(input_dim, "input_dim"), as_int(output_dim, "output_dim")
        time_reduction, kernel_size = as_int(time_reduction, "time_reduction"), as_int(kernel_size, "kernel_size")
        dropout = as_float(dropout, "dropout")
        self.kernel_size = kernel_size
        self.time_stride1, self.time_stride2 = self.closest_factors(time_reduction)
        self.conv = torch.nn.Sequential(
            torch.nn.Conv2d(1, output_dim, kernel_size=kernel_size, stride=(self.time_stride1, 1)),
            torch.nn.GELU(),
            torch.nn.Conv2d(output_dim, output_dim, kernel_size=kernel_size, stride=(self.time_stride2, 1)),
            torch.nn.GELU(),
        )
        linear_in_dim = output_dim * self.calculate_downsampled_length(input_dim, 1, 1)
        self.linear_out = torch.nn.Linear(linear_in_dim, output_dim)
        self.dropout = torch.nn.Dropout(dropout)

    def closest_factors(self, n):
        return _closest_factors(n)

    def calculate_downsampled_length(self, lengths, stride1: int, stride2: int):
        """Output length of two unpadded convolutions of this kernel; tensors or plain ints."""
        k = self.kernel_size
        lengths = (lengths - (k - 1) - 1) // stride1 + 1
        lengths = (lengths - (k - 1) - 1) // stride2 + 1
        return lengths

    def frame_centres(self):
        """(stride, offset): output frame j is centred on input frame stride * j + offset, the
        middle of the frames that its two convolutions read."""
        k = self.kernel_size
        return self.time_stride1 * self.time_stride2, (k - 1) * (self.time_stride1 + 1) / 2

    def forward(self, x, x_len):
        x = x.unsqueeze(1)  # (N, 1, T, F)
        x = self.conv(x)  # (N, C, T_out, F_out)
        N, T_out = x.size(0), x.size(2)
        x = x.transpose(1, 2).contiguous().view(N, T_out, -1)  # (N, T_out, C * F_out)
        x = self.dropout(self.linear_out(x))  # (N, T_out, output_dim)
        x_len = self.calculate_downsampled_length(x_len, self.time_stride1, self.time_stride2)
        return x, x_len


class StackedBLSTMEmbedding(nn.Module):
    """Two bidirectional LSTMs, each followed by max-pooling over time, then a projection.

    Args:
        input_dim: input feature width.
        hidden_dim: output width of each BLSTM (two directions of ``hidden_dim // 2``); even.
        output_dim: width of the output.
        time_reduction: total pooling stride, split like the convolution strides.
        dropout: rate on the output.

    Shapes:
        x: (N, T, input_dim); x_len: (N,) true lengths (each at most T).
        Returns (N, T2, output_dim) and the pooled lengths as int64 on the device of ``x_len``.

    Example:
        >>> emb = StackedBLSTMEmbedding(80, 32, 32, time_reduction=4)
        >>> y, y_len = emb(torch.randn(2, 100, 80), torch.tensor([100, 37]))
        >>> y_len
        tensor([25,  9])
    """

    def __init__(self, input_dim: int, hidden_dim: int, output_dim: int, time_reduction: int = 2,
                 dropout: float = 0.1):
        super().__init__()
        input_dim, hidden_dim = as_int(input_dim, "input_dim"), as_int(hidden_dim, "hidden_dim")
        output_dim, time_reduction = as_int(output_dim, "output_dim"), as_int(time_reduction, "time_reduction")
        dropout = as_float(dropout, "dropout")
        _check_front_end_args((input_dim, hidden_dim, output_dim, time_reduction), dropout)
        self.stride1, self.stride2 = self.closest_factors(time_reduction)
        self.pool1_params = {"kernel_size": self.stride1, "stride": self.stride1, "padding": 0, "dilation": 1}
        self.pool2_params = {"kernel_size": self.stride2, "stride": self.stride2, "padding": 0, "dilation": 1}
        self.blstm1 = nn.LSTM(input_dim, hidden_dim // 2, num_layers=1, batch_first=True, bidirectional=True)
        self.blstm2 = nn.LSTM(hidden_dim, hidden_dim // 2, num_layers=1, batch_first=True, bidirectional=True)
        self.pool1 = nn.MaxPool1d(**self.pool1_params)
        self.pool2 = nn.MaxPool1d(**self.pool2_params)
        self.linear_embed = nn.Linear(hidden_dim, output_dim)
        self.dropout = nn.Dropout(dropout)

    def closest_factors(self, n):
        return _closest_factors(n)

    def calculate_pool_output_length(self, L_in: torch.Tensor, pool_params: dict) -> torch.Tensor:
        numerator = L_in + 2 * pool_params["padding"] - pool_params["dilation"] * (pool_params["kernel_size"] - 1) - 1
        return (numerator // pool_params["stride"] + 1).to(torch.long)

    def calculate_downsampled_length(self, lengths: torch.Tensor) -> torch.Tensor:
        lengths = self.calculate_pool_output_length(lengths, self.pool1_params)
        return self.calculate_pool_output_length(lengths, self.pool2_params)

    def frame_centres(self):
        """(stride, offset): output frame j is centred on input frame stride * j + offset, the
        middle of the frames that its two poolings take the maximum over."""
        return self.stride1 * self.stride2, self.stride1 * (self.stride2 - 1) / 2 + (self.stride1 - 1) / 2

    @staticmethod
    def _run_blstm(blstm, x, x_len):
        """BLSTM over the valid frames only; padding comes back as zeros. (N, T, *) -> (N, T, hidden)."""
        packed_input = pack_padded_sequence(x, x_len.cpu(), batch_first=True, enforce_sorted=False)
        packed_output, _ = blstm(packed_input)
        output, _ = pad_packed_sequence(packed_output, batch_first=True, total_length=x.size(1))
        return output

    def forward(self, x, x_len):
        output = self._run_blstm(self.blstm1, x, x_len)  # (N, T, hidden)
        x = self.pool1(output.transpose(1, 2)).transpose(1, 2)  # (N, T1, hidden)
        x_len = self.calculate_pool_output_length(x_len, self.pool1_params)
        output = self._run_blstm(self.blstm2, x, x_len)  # (N, T1, hidden)
        output = self.pool2(output.transpose(1, 2)).transpose(1, 2)  # (N, T2, hidden)
        x_len = self.calculate_pool_output_length(x_len, self.pool2_params)
        output = self.dropout(self.linear_embed(output))  # (N, T2, output_dim)
        return output, x_len


class Corrash(nn.Module):
    """Speech front end: convolutional subsampling, stacked BLSTMs, or both in series.

    With "both", the BLSTM stage takes the larger factor of ``time_reduction`` and the
    convolution stage the smaller (6 -> convolution 2, BLSTM 3).

    Args:
        input_dim: filter-bank bins.
        output_dim: embedding width (even when a BLSTM stage is used).
        time_reduction: total time reduction.
        reduction_method: "conv", "lstm" or "both".
        dropout: rate inside every stage, in [0, 1).

    Shapes:
        x: (N, T, input_dim); x_len: (N,). Returns (N, T_out, output_dim) and the output lengths.

    Example:
        >>> front = Corrash(80, 32, time_reduction=6, reduction_method="conv")
        >>> y, y_len = front(torch.randn(2, 100, 80), torch.tensor([100, 60]))
        >>> y_len
        tensor([16,  9])
    """

    def __init__(self, input_dim: int, output_dim: int, time_reduction: int = 6, reduction_method: str = "lstm",
                 dropout: float = 0.0):
        super().__init__()
        input_dim, output_dim = as_int(input_dim, "input_dim"), as_int(output_dim, "output_dim")
        time_reduction, dropout = as_int(time_reduction, "time_reduction"), as_float(dropout, "dropout")
        if not isinstance(reduction_method, str):
            raise TypeError(f"reduction_method must be a str, got {reduction_method!r}")
        _check_front_end_args((input_dim, output_dim, time_reduction), dropout)
        if reduction_method not in ("conv", "lstm", "both"):
            raise ValueError("reduction_method must be 'conv', 'lstm', or 'both'")
        self.embedding_dim = output_dim
        self.reduction_method = reduction_method
        if reduction_method == "conv":
            conv_reduction, lstm_reduction = time_reduction, 1
        elif reduction_method == "lstm":
            conv_reduction, lstm_reduction = 1, time_reduction
        else:
            lstm_reduction, conv_reduction = self.closest_factors(time_reduction)
        self.cnn = None
        self.blstm = None
        if reduction_method in ("conv", "both"):
            self.cnn = Conv2DSubsampling(input_dim, self.embedding_dim, dropout=dropout,
                                         time_reduction=conv_reduction)
        if reduction_method in ("lstm", "both"):
            lstm_input_dim = self.embedding_dim if self.cnn is not None else input_dim
            self.blstm = StackedBLSTMEmbedding(input_dim=lstm_input_dim, hidden_dim=self.embedding_dim,
                                               output_dim=self.embedding_dim, time_reduction=lstm_reduction,
                                               dropout=dropout)

    def closest_factors(self, n):
        return _closest_factors(n)

    def forward(self, x, x_len):
        if self.cnn is not None:
            x, x_len = self.cnn(x, x_len)
        if self.blstm is not None:
            x, x_len = self.blstm(x, x_len)
        return x, x_len

    def frame_centres(self):
        """(stride, offset): output frame j is centred on input frame stride * j + offset; a
        transcript's times are read off these centres."""
        stride, offset = 1, 0.0
        for stage in (self.blstm, self.cnn):  # from the output back to the input
            if stage is not None:
                stage_stride, stage_offset = stage.frame_centres()
                stride, offset = stage_stride * stride, stage_stride * offset + stage_offset
        return stride, offset

    def calculate_downsampled_length(self, lengths: torch.Tensor) -> torch.Tensor:
        """Output lengths for the given input lengths, without running the network."""
        if self.cnn is not None:
            lengths = self.cnn.calculate_downsampled_length(lengths, self.cnn.time_stride1, self.cnn.time_stride2)
        if self.blstm is not None:
            lengths = self.blstm.calculate_downsampled_length(lengths)
        return lengths


def get_inputs(input_dim: int, max_length: int, batch_size: int):
    """Random features (batch_size, max_length, input_dim) and float lengths all equal to max_length."""
    return torch.randn(batch_size, max_length, input_dim), torch.ones(batch_size) * max_length


def _smoke_test(reduction_method, time_reduction):
    input_data, input_lengths = get_inputs(80, 1000, 10)
    model = Corrash(80, 256, time_reduction=time_reduction, reduction_method=reduction_method, dropout=0.1)
    summary(model, input_data=[input_data, input_lengths])
    output, output_lengths = model(input_data, input_lengths)
    log.info("%s", output_lengths)


def test_corrash_lstm(time_reduction: int = 2):
    """Builds, summarises and runs a BLSTM front end on 10 random 1000-frame utterances."""
    _smoke_test("lstm", time_reduction)


def test_corrash_conv(time_reduction: int = 2):
    """Builds, summarises and runs a convolutional front end on 10 random 1000-frame utterances."""
    _smoke_test("conv", time_reduction)


def test_corrash_both(time_reduction: int = 2):
    """Builds, summarises and runs the combined front end on 10 random 1000-frame utterances."""
    _smoke_test("both", time_reduction)
