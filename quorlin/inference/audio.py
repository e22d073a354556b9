"""Audio read a block at a time: mono float32 samples at 16 kHz, however long the recording."""
import math
import os
from typing import Any, Iterator, Optional, Tuple, Union

import numpy as np
import soundfile
import torch
import torchaudio

from quorlin._reading import regular_file_problem
from quorlin.errors import QuorlinError
from quorlin.prep.features import FRAME_LENGTH_MS, SAMPLE_RATE

# The filter of torchaudio.functional.resample's defaults, which resampled the training features.
_LOWPASS_FILTER_WIDTH, _ROLLOFF = 6, 0.99


def file_id(path: Union[str, os.PathLike]) -> str:
    """The id of an audio file: its name without the extension."""
    return os.path.splitext(os.path.basename(path))[0]


class AudioError(QuorlinError, ValueError):
    """Audio that cannot be transcribed: unreadable, empty, holding NaN or infinite samples,
    or shorter than one filter-bank window; the message names the file (or the id)."""


class AudioSource:
    """One recording, from a file or from samples in memory, read in blocks.

    A file is opened to read its header (an unreadable, empty or too short file raises
    ``AudioError`` at once); its samples are read only by :meth:`blocks`, one block at a
    time, so memory stays bounded by the block size. Each call of :meth:`blocks` reads the
    recording again from its start.

    Args:
        input: the path of a WAV, FLAC, Ogg (or any other soundfile-readable) file, or a
            (waveform, sample_rate) pair: a float tensor or array in [-1, 1] and its rate.
        id: the recording's id; by default a file's name without its extension. Required
            for a waveform.

    Shapes:
        waveform: (n,) or (channels, n)

    Attributes:
        id: the recording's id.
        name: what error messages call it: the file's path, or the id of a waveform.
        sample_rate: the recording's own rate in Hz.
        num_frames: its length in samples per channel.
        duration: its length in seconds (from the header, for files).

    Example:
        >>> source = AudioSource((torch.randn(2, 44100) * 0.1, 44100), id="noise")
        >>> source.duration, sum(block.numel() for block in source.blocks())
        (1.0, 16000)
    """

    def __init__(self, input: Union[str, os.PathLike, Tuple[Any, int]], id: Optional[str] = None):
        if id is not None and not isinstance(id, str):
            raise TypeError(f"id must be a str, got {type(id).__name__}")
        self._path: Optional[str] = None
        self._waveform: Optional[torch.Tensor] = None  # (n,) mono samples
        if isinstance(input, (str, os.PathLike)):
            self._open_file(os.fspath(input), id)
        elif isinstance(input, (tuple, list)) and len(input) == 2:
            if id is None:
                raise TypeError("an id is required for a (waveform, sample_rate) input")
            self._take_waveform(*input, id)
        else:
            raise TypeError(f"input must be a path or a (waveform, sample_rate) pair, got {type(input).__name__}")
        if self.num_frames == 0:
            raise AudioError(f"{self.name}: audio is empty")
        if self.num_frames < FRAME_LENGTH_MS / 1000 * self.sample_rate:
            raise AudioError(f"{self.name}: audio is shorter than one {FRAME_LENGTH_MS:g} ms window")

    @property
    def duration(self) -> float:
        return self.num_frames / self.sample_rate

    def _open_file(self, path: str, id: Optional[str]) -> None:
        problem = regular_file_problem(path)  # a FIFO would block the reader for ever
        if problem:
            raise AudioError(f"{path}: cannot read audio: {problem}")
        try:
            info = soundfile.info(path)
        except (RuntimeError, OSError) as err:
            raise AudioError(f"{path}: cannot read audio: {err}") from None
        self.id = file_id(path) if id is None else id
        self.name, self._path = path, path
        self.sample_rate, self.num_frames = info.samplerate, info.frames

    def _take_waveform(self, waveform, sample_rate: int, id: str) -> None:
        if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, np.integer)) or sample_rate <= 0:
            raise ValueError(f"sample_rate must be a positive integer, got {sample_rate!r}")
        if isinstance(waveform, np.ndarray):
            waveform = torch.from_numpy(waveform)
        if not isinstance(waveform, torch.Tensor):
            raise TypeError(f"waveform must be a tensor or a NumPy array, got {type(waveform).__name__}")
        if not waveform.is_floating_point():
            raise TypeError(f"waveform must hold floating-point samples in [-1, 1], got dtype {waveform.dtype}")
        if waveform.dim() not in (1, 2):
            raise ValueError(f"waveform must have shape (n,) or (channels, n), got {tuple(waveform.shape)}")
        self.id = self.name = id
        self.sample_rate, self.num_frames = int(sample_rate), waveform.size(-1) if waveform.numel() else 0
        if waveform.numel() == 0:
            return
        waveform = waveform.detach().cpu().float()
        self._waveform = waveform if waveform.dim() == 1 else waveform.mean(dim=0)  # (channels, n) -> (n,)
        if not torch.isfinite(self._waveform).all():
            raise AudioError(f"{id}: audio holds NaN or infinite samples")

    def blocks(self, block_seconds: float = 10.0) -> Iterator[torch.Tensor]:
        """Consecutive mono float32 blocks (m,) at 16 kHz, about ``block_seconds`` each.

        Channels are averaged, then the samples are resampled as a whole-recording
        ``torchaudio.functional.resample`` would, without seams at the block edges. Samples
        that are NaN or infinite, or a file that holds fewer samples than its header says
        and less than one window, raise ``AudioError`` naming the file when they are reached.
        """
        if not 0 < block_seconds < math.inf:
            raise ValueError(f"block_seconds must be positive and finite, got {block_seconds!r}")
        return self._blocks(max(1, round(block_seconds * self.sample_rate)))

    def _blocks(self, block_frames: int) -> Iterator[torch.Tensor]:
        resampler = _StreamingResampler(self.sample_rate)
        for chunk in self._native_blocks(block_frames):
            out = resampler.push(chunk)
            if out.numel():
                yield out
        out = resampler.flush()
        if out.numel():
            yield out

    def _native_blocks(self, block_frames: int) -> Iterator[torch.Tensor]:
        """Mono blocks (m,) at the recording's own rate."""
        if self._waveform is not None:
            for start in range(0, self.num_frames, block_frames):
                yield self._waveform[start:start + block_frames]
            return
        total = 0
        try:
            with soundfile.SoundFile(self._path) as f:
                while True:
                    data = f.read(block_frames, dtype="float32", always_2d=True)  # (m, channels)
                    if not len(data):
                        break
                    mono = torch.from_numpy(data.mean(axis=1))  # (m,)
                    if not torch.isfinite(mono).all():
                        at = (total + int(torch.nonzero(~torch.isfinite(mono))[0])) / self.sample_rate
                        raise AudioError(f"{self.name}: audio holds NaN or infinite samples (at {at:.3f} s)")
                    total += len(data)
                    yield mono
        except (RuntimeError, OSError) as err:
            raise AudioError(f"{self.name}: cannot read audio: {err}") from None
        if total < FRAME_LENGTH_MS / 1000 * self.sample_rate:
            raise AudioError(f"{self.name}: audio holds {total} samples, fewer than one "
                             f"{FRAME_LENGTH_MS:g} ms window")

    def __repr__(self) -> str:
        return f"AudioSource(id={self.id!r}, sample_rate={self.sample_rate}, duration={self.duration:.3f})"


class _StreamingResampler:
    """Resamples a stream to 16 kHz in pieces whose outputs equal those of resampling the
    whole stream at once.

    The sinc resampler is a strided convolution: with rates reduced to ``orig`` input and
    ``new`` output samples per step, the outputs of step k read the inputs within ``width``
    of [k * orig, (k + 1) * orig). A piece of steps [s, e) (s and e multiples of ``orig``)
    resampled together with ``pad >= width`` inputs of context on each side therefore gives
    exactly the whole stream's outputs for those steps. The stream starts with ``pad``
    zeros and ends with ``pad`` zeros, as the whole-stream resampler pads it.
    """

    def __init__(self, rate: int):
        self.identity = rate == SAMPLE_RATE
        gcd = math.gcd(rate, SAMPLE_RATE)
        self.orig, self.new = rate // gcd, SAMPLE_RATE // gcd
        if not self.identity:
            self.resample = torchaudio.transforms.Resample(
                rate, SAMPLE_RATE, lowpass_filter_width=_LOWPASS_FILTER_WIDTH, rolloff=_ROLLOFF,
                dtype=torch.float32)
        width = math.ceil(_LOWPASS_FILTER_WIDTH * self.orig / (min(self.orig, self.new) * _ROLLOFF))
        self.pad = math.ceil(width / self.orig) * self.orig + self.orig
        self.buffer = torch.zeros(self.pad)  # inputs from index done - pad on
        self.done = 0  # input index up to which outputs were given
        self.total = 0  # inputs pushed

    def push(self, x: torch.Tensor) -> torch.Tensor:
        """The outputs that the inputs so far determine."""
        self.total += x.numel()
        if self.identity:
            return x
        self.buffer = torch.cat([self.buffer, x])
        # Steps up to `end` have their right context in the buffer.
        end = (self.done + self.buffer.numel() - 2 * self.pad) // self.orig * self.orig
        if end <= self.done:
            return x.new_zeros(0)
        out = self._resample(self.buffer[:end - self.done + 2 * self.pad], end - self.done)
        self.buffer = self.buffer[end - self.done:]
        self.done = end
        return out

    def flush(self) -> torch.Tensor:
        """The remaining outputs, up to ceil(total * new / orig) in all."""
        if self.identity:
            return torch.zeros(0)
        piece = torch.cat([self.buffer, torch.zeros(self.pad)])
        return self._resample(piece, self.total - self.done)

    def _resample(self, piece: torch.Tensor, inputs: int) -> torch.Tensor:
        """Outputs of the ``inputs`` samples after the first ``pad`` of ``piece``."""
        first = self.pad // self.orig * self.new
        out = self.resample(piece.unsqueeze(0))[0]  # (1, n) -> (n,)
        return out[first:first + -(-inputs * self.new // self.orig)]
