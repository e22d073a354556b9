"""Resampling between any two rates with a filter of bounded size, whole or as a stream.

The filter is torchaudio's windowed sinc (Hann window, ``LOWPASS_FILTER_WIDTH`` zero crossings,
cut-off at ``ROLLOFF`` times the lower Nyquist frequency), evaluated at each output sample's own
position. Output j lies at input position p_j = j * orig / new, and

    y_j = sum_m x_m * h(m - p_j),   h(d) = s * sinc(pi * t) * cos(pi * t / 2L)^2,   t = d * s,

over the inputs m with |t| < L, where s = min(orig, new) * ROLLOFF / orig and L =
``LOWPASS_FILTER_WIDTH``. Each output reads about 2L / s inputs, so a rate with no common
factor with the other (44,101 Hz) costs what 44,100 Hz costs. The weights depend on j only
through its phase j mod (new / gcd), and are computed once per phase.

Where the period of the phases is short (44,100 to 16,000 Hz: 160 outputs for every 441
inputs), a period of outputs is one product of the period's inputs with a matrix that holds
every phase's weights in its place, so that a whole stretch of audio is one matrix product;
otherwise each output gathers its own inputs. The two differ by rounding only. A period of
few outputs is taken several times over (48,000 to 16,000 Hz: 192 inputs to 64 outputs),
as a product with a matrix of one column runs far slower per output than a wide one.
"""
import functools
import math
from typing import NamedTuple, Optional

import torch

LOWPASS_FILTER_WIDTH, ROLLOFF = 6, 0.99
# Outputs gathered together: bounds the (outputs, taps) gather.
_CHUNK = 16384
# The most cells of a period's weight matrix (the inputs a period reads, by its outputs).
_PERIOD_CELLS = 1 << 20
# The most cells of the (periods, span) inputs of one matrix product: about a megabyte, which
# stays in the cache as the product reads it.
_PRODUCT_CELLS = 1 << 18
# The fewest outputs of a period computed as one matrix product.
_PERIOD_OUTPUTS = 64


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
        self.identity = orig_rate == new_rate
        self.orig, self.new, self.reach, self.taps, self.weights, self.span, self.period = _filter(orig_rate,
                                                                                                   new_rate)
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
        outputs = self._by_periods(end) if self.period is not None else self._gathered(end)
        # The next output's period starts at most a period of inputs earlier.
        first = self.done - self.done % self.new if self.period is not None else self.done
        keep_from = self._first(first)
        self.buffer, self.start = self.buffer[keep_from - self.start:], keep_from
        return outputs

    def _first(self, j: int) -> int:
        """``_first_input`` of the one output ``j``, in Python's integers and floats (the same numbers)."""
        whole, phase = divmod(j * self.orig, self.new)
        return whole + math.ceil(phase / self.new - self.reach)

    def _gathered(self, end: int) -> torch.Tensor:
        windows = self.buffer.unfold(0, self.taps, 1)  # (n - taps + 1, taps): a view, no copy
        pieces = []
        while self.done < end:
            j = torch.arange(self.done, min(end, self.done + _CHUNK))  # (J,)
            rows = windows.index_select(0, _first_input(j, self.orig, self.new, self.reach) - self.start)
            pieces.append((rows * self.weights.index_select(0, j % self.new)).sum(dim=1))  # (J, taps) -> (J,)
            self.done = int(j[-1]) + 1
        return torch.cat(pieces)

    def _by_periods(self, end: int) -> torch.Tensor:
        """Outputs ``done`` to ``end`` as whole periods of outputs: output q * new + r is row q of
        the period matrix product, column r. Outputs of the last period beyond ``end`` read
        zeros where their inputs are not known yet, and are dropped."""
        pieces = []
        while self.done < end:
            first_period = self.done // self.new
            periods = min(-(-end // self.new) - first_period, max(1, _PRODUCT_CELLS // self.span))
            offset = self._first(first_period * self.new) - self.start
            length = (periods - 1) * self.orig + self.span
            inputs = self.buffer[offset:offset + length]
            if inputs.numel() < length:
                inputs = torch.cat([inputs, inputs.new_zeros(length - inputs.numel())])
            blocks = inputs.unfold(0, self.span, self.orig)  # (periods, span): a view, no copy
            values = (blocks @ self.period).reshape(-1)  # (periods, new) -> outputs in order
            stop = min(end, (first_period + periods) * self.new)
            pieces.append(values[self.done - first_period * self.new:stop - first_period * self.new])
            self.done = stop
        return torch.cat(pieces)


def short_period(orig_rate: int, new_rate: int) -> bool:
    """Whether the two rates have a common period short enough for periods of outputs to be
    computed as matrix products (44,100 and 16,000 Hz: 441 inputs to 160 outputs), which is
    several times faster than outputs gathered one by one (44,101 and 16,000 Hz)."""
    return _filter(orig_rate, new_rate).period is not None


class _Filter(NamedTuple):
    """The filter between two rates, whose phases repeat every ``orig`` inputs and ``new`` outputs."""
    orig: int
    new: int
    reach: float  # inputs on either side of an output's position that it reads
    taps: int
    weights: torch.Tensor  # (new, taps): each output phase's weights
    span: int  # the inputs a period of outputs reads
    period: Optional[torch.Tensor]  # (span, new): a period's weights, or None where that is too big


@functools.lru_cache(maxsize=16)
def _filter(orig_rate: int, new_rate: int) -> _Filter:
    """The filter of ``orig_rate`` to ``new_rate``, made once for each pair of rates (preparation
    resamples file after file between the same few)."""
    gcd = math.gcd(orig_rate, new_rate)
    repeat = -(-_PERIOD_OUTPUTS * gcd // new_rate)  # periods of fewer outputs are taken together
    orig, new = orig_rate // gcd * repeat, new_rate // gcd * repeat
    scale = min(orig_rate, new_rate) * ROLLOFF / orig_rate  # s: filter time units per input sample
    reach = LOWPASS_FILTER_WIDTH / scale  # inputs on either side of p_j that the filter reads
    taps = math.floor(2 * reach) + 2
    weights = _phase_weights(orig, new, scale, reach, taps)  # (new, taps)
    # The inputs of a period of outputs, from the first input of its first output on.
    firsts = _first_input(torch.arange(new), orig, new, reach)  # (new,)
    span = int(firsts[-1] - firsts[0]) + taps
    period = None  # (span, new): phase r's weights in rows firsts[r] - firsts[0] onwards
    if span * new <= _PERIOD_CELLS:
        period = torch.zeros(span, new)
        rows = (firsts - firsts[0]).unsqueeze(1) + torch.arange(taps)  # (new, taps)
        period[rows, torch.arange(new).unsqueeze(1)] = weights
    return _Filter(orig, new, reach, taps, weights, span, period)


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
