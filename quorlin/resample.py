"""Resampling between any two rates with a filter of bounded size, whole or as a stream.

The filter is torchaudio's windowed sinc (Hann window, ``LOWPASS_FILTER_WIDTH`` zero crossings,
cut-off at ``ROLLOFF`` times the lower Nyquist frequency), evaluated at each output sample's own
position. Output j lies at input position p_j = j * orig / new, and

    y_j = sum_m x_m * h(m - p_j),   h(d) = s * sinc(pi * t) * cos(pi * t / 2L)^2,   t = d * s,

over the inputs m with |t| < L, where s = min(orig, new) * ROLLOFF / orig and L =
``LOWPASS_FILTER_WIDTH``. Each output reads about 2L / s inputs, so a rate with no common
factor with the other (44,101 Hz) costs what 44,100 Hz costs. The weights depend on j only
through its phase j mod (new / gcd), and are computed once per phase.
"""
import math

import torch

LOWPASS_FILTER_WIDTH, ROLLOFF = 6, 0.99
# Outputs computed together: bounds the (outputs, taps) gather.
_CHUNK = 16384


def resample(samples: torch.Tensor, orig_rate: int, new_rate: int) -> torch.Tensor:
    """``samples`` (n,) at ``orig_rate`` resampled to ``new_rate``: ceil(n * new / orig) samples.

    Example:
        >>> resample(torch.zeros(44101), 44101, 16000).shape
        torch.Size([16000])
    """
    stream = StreamingResampler(orig_rate, new_rate)
    return torch.cat([stream.push(samples), stream.flush()])


class StreamingResampler:
    """Resamples a stream piece by piece; the pieces' outputs, joined, equal ``resample`` of the
    whole stream (which is taken as zeros before its start and after its end).

    Args:
        orig_rate, new_rate: the rates in Hz, positive integers.

    Example:
        >>> stream = StreamingResampler(22050, 16000)
        >>> out = torch.cat([stream.push(block) for block in blocks] + [stream.flush()])
    """

    def __init__(self, orig_rate: int, new_rate: int):
        for name, rate in (("orig_rate", orig_rate), ("new_rate", new_rate)):
            if isinstance(rate, bool) or not isinstance(rate, int) or rate <= 0:
                raise ValueError(f"{name} must be a positive integer, got {rate!r}")
        gcd = math.gcd(orig_rate, new_rate)
        self.orig, self.new = orig_rate // gcd, new_rate // gcd
        self.identity = self.orig == self.new
        scale = min(orig_rate, new_rate) * ROLLOFF / orig_rate  # s: filter time units per input sample
        self.reach = LOWPASS_FILTER_WIDTH / scale  # inputs on either side of p_j that the filter reads
        self.taps = math.floor(2 * self.reach) + 2
        self.weights = _phase_weights(self.orig, self.new, scale, self.reach, self.taps)  # (new, taps)
        # The stream is zeros before its start and after its end: the buffer holds enough of them.
        self.pad = self.taps + math.ceil(self.reach) + 1
        self.buffer = torch.zeros(self.pad)  # inputs from absolute index `start` on
        self.start = -self.pad
        self.total = 0  # inputs pushed
        self.done = 0  # outputs given

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        """The outputs that the inputs so far determine, (m,) float32."""
        if samples.dim() != 1:
            raise ValueError(f"samples must be one-dimensional (n,), got shape {tuple(samples.shape)}")
        samples = samples.detach().float().cpu()
        self.total += samples.numel()
        if self.identity:
            return samples
        self.buffer = torch.cat([self.buffer, samples])
        # Output j reads inputs up to ceil(p_j - reach) + taps - 1 < p_j - reach + taps: the known
        # ones when p_j <= total + reach - taps.
        ready = math.floor((self.total + self.reach - self.taps) * self.new / self.orig) + 1
        return self._outputs(max(ready, self.done))

    def flush(self) -> torch.Tensor:
        """The remaining outputs, up to ceil(total * new / orig) in all; the stream has ended."""
        if self.identity:
            return torch.zeros(0)
        self.buffer = torch.cat([self.buffer, torch.zeros(self.pad)])
        return self._outputs(-(-self.total * self.new // self.orig))

    def _outputs(self, end: int) -> torch.Tensor:
        """Outputs ``done`` to ``end``, then the inputs no later output reads are let go."""
        if self.done >= end:
            return torch.zeros(0)
        windows = self.buffer.unfold(0, self.taps, 1)  # (n - taps + 1, taps): a view, no copy
        pieces = []
        while self.done < end:
            j = torch.arange(self.done, min(end, self.done + _CHUNK))  # (J,)
            rows = windows.index_select(0, _first_input(j, self.orig, self.new, self.reach) - self.start)
            pieces.append((rows * self.weights.index_select(0, j % self.new)).sum(dim=1))  # (J, taps) -> (J,)
            self.done = int(j[-1]) + 1
        keep_from = int(_first_input(torch.tensor([self.done]), self.orig, self.new, self.reach))
        self.buffer, self.start = self.buffer[keep_from - self.start:], keep_from
        return torch.cat(pieces)


def _first_input(j: torch.Tensor, orig: int, new: int, reach: float) -> torch.Tensor:
    """The first input each output j reads: ceil(p_j - reach), p_j = j * orig / new exactly."""
    whole, phase = torch.div(j * orig, new, rounding_mode="floor"), (j * orig) % new
    return whole + torch.ceil(phase.double() / new - reach).long()


def _phase_weights(orig: int, new: int, scale: float, reach: float, taps: int) -> torch.Tensor:
    """The filter weights (new, taps) of every output phase r = j mod new, tap k reading input
    ``_first_input(j) + k``."""
    phase = (torch.arange(new, dtype=torch.float64) * orig % new) / new  # (new,) fractional part of p_j
    first = torch.ceil(phase - reach)  # (new,) first tap, relative to floor(p_j)
    t = (first.unsqueeze(1) + torch.arange(taps, dtype=torch.float64) - phase.unsqueeze(1)) * scale  # (new, taps)
    t = t.clamp(-LOWPASS_FILTER_WIDTH, LOWPASS_FILTER_WIDTH)
    window = torch.cos(t * math.pi / LOWPASS_FILTER_WIDTH / 2) ** 2
    sinc = torch.where(t == 0, torch.ones_like(t), torch.sin(math.pi * t) / (math.pi * t))
    return (sinc * window * scale).float()
