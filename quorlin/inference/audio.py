"""Audio read a block at a time: mono float32 samples at 16 kHz, however long the recording."""
import math
import os
from typing import Any, Iterator, Optional, Tuple, Union

import numpy as np
import soundfile
import torch

from quorlin._reading import regular_file_problem
from quorlin.errors import AudioError
from quorlin.prep.features import FRAME_LENGTH_MS, SAMPLE_RATE
from quorlin.prep.sources import file_id
from quorlin.resample import StreamingResampler

MIN_RATE, MAX_RATE = 1000, 384000
MAX_CHANNELS = 16
# Float samples may overshoot full scale a little (a resampled or mixed recording); far beyond
# it they are integers in float clothing.
MAX_FLOAT_PEAK = 2.0
# Integer samples: the value of silence and of full scale.
_INTEGER_SCALES = {torch.int8: (0.0, 128.0), torch.uint8: (128.0, 128.0), torch.int16: (0.0, 32768.0),
                   torch.int32: (0.0, 2147483648.0)}


class AudioSource:
    """One recording, from a file or from samples in memory, read in blocks.

    A file is opened to read its header (an unreadable, empty or too short file raises
    ``AudioError`` at once); its samples are read only by :meth:`blocks`, one block at a
    time, so memory stays bounded by the block size. Each call of :meth:`blocks` reads the
    recording again from its start.

    Args:
        input: the path of a WAV, FLAC, Ogg, MP3 (or any other soundfile-readable) file, or a
            (waveform, sample_rate) pair: a tensor or array and its rate (1 kHz to 384 kHz). Float
            samples lie in [-1, 1] (peaks up to 2 pass); integer samples (int8, uint8, int16,
            int32) are scaled from their type's range.
        id: the recording's id; by default a file's name without its extension. Required
            for a waveform.

    Shapes:
        waveform: (n,), (channels, n), or (n, channels) as soundfile returns it (the shorter
        side, at most 16, is the channels)

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
        self.sample_rate, self.num_frames = _checked_rate(info.samplerate, path), info.frames

    def _take_waveform(self, waveform, sample_rate: int, id: str) -> None:
        if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, np.integer)):
            raise TypeError(f"sample_rate must be an integer, got {sample_rate!r}")
        self.id = self.name = id
        self.sample_rate = _checked_rate(int(sample_rate), id)
        if isinstance(waveform, np.ndarray):
            waveform = torch.from_numpy(waveform)
        if not isinstance(waveform, torch.Tensor):
            raise TypeError(f"waveform must be a tensor or a NumPy array, got {type(waveform).__name__}")
        if waveform.dim() not in (1, 2):
            raise ValueError(f"waveform must have shape (n,), (channels, n) or (n, channels), got "
                             f"{tuple(waveform.shape)}")
        if waveform.dim() == 2 and waveform.size(0) > waveform.size(1):
            waveform = waveform.T  # (n, channels), as soundfile.read returns it -> (channels, n)
        if waveform.dim() == 2 and waveform.size(0) > MAX_CHANNELS:
            raise ValueError(f"waveform must have shape (n,), (channels, n) or (n, channels) with at most "
                             f"{MAX_CHANNELS} channels, got {tuple(waveform.shape)}")
        self.num_frames = waveform.size(-1) if waveform.numel() else 0
        if waveform.numel() == 0:
            return
        waveform = _as_float(waveform.detach().cpu(), id)
        self._waveform = waveform if waveform.dim() == 1 else waveform.mean(dim=0)  # (channels, n) -> (n,)

    def blocks(self, block_seconds: float = 10.0) -> Iterator[torch.Tensor]:
        """Consecutive mono float32 blocks (m,) at 16 kHz, about ``block_seconds`` each.

        Channels are averaged, then the samples are resampled as ``quorlin.resample.resample``
        resamples a whole recording, without seams at the block edges. Samples
        that are NaN or infinite, or a file that holds fewer samples than its header says
        and less than one window, raise ``AudioError`` naming the file when they are reached.
        """
        if not 0 < block_seconds < math.inf:
            raise ValueError(f"block_seconds must be positive and finite, got {block_seconds!r}")
        return self._blocks(max(1, round(block_seconds * self.sample_rate)))

    def _blocks(self, block_frames: int) -> Iterator[torch.Tensor]:
        resampler = StreamingResampler(self.sample_rate, SAMPLE_RATE)
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


def _checked_rate(rate: int, name: str) -> int:
    if not MIN_RATE <= rate <= MAX_RATE:
        raise AudioError(f"{name}: a sample rate of {rate} Hz is outside {MIN_RATE} to {MAX_RATE} Hz")
    return rate


def _as_float(waveform: torch.Tensor, name: str) -> torch.Tensor:
    """Samples as float32 in [-1, 1]: integers scaled from their type's range, floats checked."""
    if waveform.dtype in _INTEGER_SCALES:
        zero, scale = _INTEGER_SCALES[waveform.dtype]
        return (waveform.float() - zero) / scale
    if not waveform.is_floating_point():
        raise TypeError(f"waveform must hold float or int8/uint8/int16/int32 samples, got dtype {waveform.dtype}")
    waveform = waveform.float()
    if not torch.isfinite(waveform).all():
        raise AudioError(f"{name}: audio holds NaN or infinite samples")
    peak = float(waveform.abs().max())
    if peak > MAX_FLOAT_PEAK:
        raise AudioError(f"{name}: float samples must lie in [-1, 1], got a peak of {peak:g}; divide int16 "
                         "samples by 32768, or give the integer array itself")
    return waveform
