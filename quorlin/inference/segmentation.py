"""Long recordings cut into segments the model can take: at pauses where there are any,
in overlapping windows where speech runs on, with long silences left out."""
import math
from dataclasses import dataclass
from typing import Iterable, Iterator, List, Optional, Sequence

import torch

from quorlin.inference.results import Word
from quorlin.prep.features import SAMPLE_RATE

FRAME = SAMPLE_RATE // 100  # samples per 10 ms energy frame
MIN_PAUSE = 30  # frames of silence that make a pause
MARGIN = 20  # frames of silence kept around speech
LOOKAHEAD = 50  # frames seen past a window's end before it is cut
# Frame energies in dB relative to full scale: below SILENCE_DB a frame is silent whatever the
# recording; above it, a histogram of every frame so far gives the noise floor (a low
# percentile) and the speech level (a high one).
SILENCE_DB, TOP_DB, BIN_DB = -80.0, 10.0, 0.5
FLOOR_QUANTILE, SPEECH_QUANTILE = 0.05, 0.95
# With less contrast than this between the two, pauses cannot be told from speech: every
# frame above SILENCE_DB counts as speech.
MIN_CONTRAST_DB = 10.0


@dataclass
class AudioSegment:
    """A stretch of a recording to transcribe on its own.

    Attributes:
        start: where it starts in the recording, in seconds.
        end: where it ends, in seconds.
        samples: its 16 kHz mono samples, (round((end - start) * 16000),).
        keep_start: the words of this segment whose midpoint lies in
            [keep_start, keep_end) are its share of the transcript; neighbouring
            overlapping windows keep the others.
        keep_end: see ``keep_start``.
    """
    start: float
    end: float
    samples: torch.Tensor
    keep_start: float
    keep_end: float


def split_audio(blocks: Iterable[torch.Tensor], max_seconds: float,
                   overlap_seconds: Optional[float] = None) -> Iterator[AudioSegment]:
    """Cuts a stream of 16 kHz blocks into segments of at most ``max_seconds``.

    A frame (10 ms) is speech when its energy stands out from the noise floor estimated
    from the frames so far; 0.3 s or more of non-speech frames make a pause. Each stretch of
    speech between pauses is a segment, as the utterances a recogniser learns from are: it
    starts 0.2 s before the speech and ends inside the pause that follows (0.2 s after the
    speech, or at the pause's middle). Silence between segments is left out. Speech that runs
    longer than ``max_seconds`` without a pause is cut into windows of ``max_seconds`` that
    overlap by ``overlap_seconds``; each window keeps the words up to the middle of its
    overlap with the next. A recording that is silent throughout gives no segment. At most
    about ``max_seconds`` plus one block of samples is held at a time.

    Args:
        blocks: consecutive mono float sample blocks (m,) at 16 kHz.
        max_seconds: longest segment, at least 1 s.
        overlap_seconds: overlap of the fixed windows, below ``max_seconds / 2``.
            (Default: the smaller of 3 s and ``max_seconds / 4``)
    """
    if not 1.0 <= max_seconds < math.inf:
        raise ValueError(f"max_seconds must be at least 1 and finite, got {max_seconds!r}")
    if overlap_seconds is None:
        overlap_seconds = min(3.0, max_seconds / 4)
    if not 0 <= overlap_seconds < max_seconds / 2:
        raise ValueError(f"overlap_seconds must lie in [0, max_seconds / 2), got {overlap_seconds!r} "
                         f"with max_seconds={max_seconds!r}")
    return _split(blocks, _Splitter(int(max_seconds * 100), round(overlap_seconds * 100)))


def _split(blocks: Iterable[torch.Tensor], splitter: "_Splitter") -> Iterator[AudioSegment]:
    for block in blocks:
        if block.dim() != 1:
            raise ValueError(f"blocks must be mono, of shape (m,), got {tuple(block.shape)}")
        yield from splitter.push(block)
    yield from splitter.finish()


def keep_words(segment: AudioSegment, words: Sequence[Word]) -> List[Word]:
    """The words (timed in the recording) whose midpoint lies in [keep_start, keep_end):
    a word said in the overlap of two windows is kept by exactly one of them."""
    return [w for w in words if segment.keep_start <= (w.start + w.end) / 2 < segment.keep_end]


class _Splitter:
    """The streaming state of :func:`split_audio`; positions are in 10 ms frames.

    Each decision looks at the held frames up to a horizon (``max_frames + LOOKAHEAD`` past
    the first, or the end of the recording) and at the energy histogram of every frame
    before that horizon, so the segments do not depend on how the stream was cut in blocks.
    """

    def __init__(self, max_frames: int, overlap: int):
        self.max_frames, self.overlap = max_frames, overlap
        self.samples = torch.zeros(0)  # held samples, from frame `origin` on
        self.energies = torch.zeros(0)  # (frames,) dB of each held frame
        self.origin = 0
        self.counted = 0  # frames before this one are in the histogram
        self.histogram = torch.zeros(round((TOP_DB - SILENCE_DB) / BIN_DB), dtype=torch.long)
        self.keep_from: Optional[int] = None  # keep start of a window that continues the last

    def push(self, block: torch.Tensor) -> List[AudioSegment]:
        self.samples = torch.cat([self.samples, block.detach().cpu().float()])
        self._add_energies(self.samples.numel() // FRAME)
        return self._cut(final=False)

    def finish(self) -> List[AudioSegment]:
        self._add_energies(-(-self.samples.numel() // FRAME))
        return self._cut(final=True)

    def _add_energies(self, frames: int) -> None:
        done = self.energies.numel()
        if frames <= done:
            return
        x = self.samples[done * FRAME:frames * FRAME]
        counts = torch.full((frames - done,), float(FRAME))
        counts[-1] = x.numel() - (frames - done - 1) * FRAME  # the last frame may be partial
        x = torch.nn.functional.pad(x, (0, (frames - done) * FRAME - x.numel()))
        power = x.view(-1, FRAME).square().sum(dim=1) / counts  # (frames * FRAME,) -> (frames, FRAME) -> (frames,)
        self.energies = torch.cat([self.energies, 10 * torch.log10(power.double() + 1e-12).float()])

    def _speech(self, frames: int) -> torch.Tensor:
        """Whether each of the first ``frames`` held frames is speech, against the noise floor
        and speech level of every frame up to there."""
        db = self.energies[self.counted - self.origin:frames]
        self.counted = max(self.counted, self.origin + frames)
        bins = ((db[db >= SILENCE_DB] - SILENCE_DB) / BIN_DB).long().clamp(max=self.histogram.numel() - 1)
        self.histogram += torch.bincount(bins, minlength=self.histogram.numel())
        threshold = SILENCE_DB
        total = int(self.histogram.sum())
        if total:
            cumulative = torch.cumsum(self.histogram, 0)
            floor, level = (SILENCE_DB + BIN_DB * int(torch.searchsorted(cumulative, q * total))
                            for q in (FLOOR_QUANTILE, SPEECH_QUANTILE))
            if level - floor >= MIN_CONTRAST_DB:
                threshold = floor + (level - floor) / 3
        return self.energies[:frames] >= threshold

    def _cut(self, final: bool) -> List[AudioSegment]:
        segments = []
        while self.energies.numel():
            frames = self.energies.numel() if final else self.max_frames + LOOKAHEAD
            if frames > self.energies.numel():
                break
            speech = self._speech(frames)  # (frames,)
            found = torch.nonzero(speech)
            if self.keep_from is None:
                if not found.numel():
                    # Nothing said yet: hold only the margin before speech that may follow.
                    self._drop(frames if final else frames - MARGIN)
                    continue
                if found[0] > MARGIN:
                    self._drop(int(found[0]) - MARGIN)
                    continue
            keep_off = 0 if self.keep_from is None else self.keep_from - self.origin
            end = int(found[-1]) + 1 + MARGIN if found.numel() else 0
            if self.keep_from is not None:
                # A window that continues the last covers at least the overlap it shares with it.
                end = max(end, self.overlap)
            cut = _pause_cut(speech, keep_off, self.max_frames)
            if cut is not None:
                segments.append(self._emit(cut, self.keep_from, None))
                self._drop(cut)
                self.keep_from = None
            elif final and min(end, frames) <= self.max_frames:
                segments.append(self._emit(min(end, frames), self.keep_from, None))
                self._drop(frames)
                self.keep_from = None
                break
            else:
                keep_end = self.origin + self.max_frames - self.overlap // 2
                segments.append(self._emit(self.max_frames, self.keep_from, keep_end))
                self._drop(self.max_frames - self.overlap)
                self.keep_from = keep_end
        return segments

    def _emit(self, frames: int, keep_from: Optional[int], keep_to: Optional[int]) -> AudioSegment:
        """The segment of the first ``frames`` held frames."""
        samples = self.samples[:frames * FRAME].clone()  # a copy, so the held buffer can go
        start = self.origin * FRAME / SAMPLE_RATE
        end = (self.origin * FRAME + samples.numel()) / SAMPLE_RATE
        return AudioSegment(start, end, samples,
                            start if keep_from is None else keep_from / 100,
                            end if keep_to is None else keep_to / 100)

    def _drop(self, frames: int) -> None:
        self.samples = self.samples[frames * FRAME:]
        self.energies = self.energies[frames:]
        self.origin += frames


def _pause_cut(speech: torch.Tensor, keep_off: int, max_frames: int) -> Optional[int]:
    """Where to end a segment that starts at frame 0: inside the first pause that allows a
    cut in (keep_off, max_frames]; None when there is none."""
    # Runs of equal values: boundaries where the value changes.
    change = torch.nonzero(speech[1:] != speech[:-1]).flatten() + 1
    bounds = [0] + change.tolist() + [speech.numel()]
    for a, b in zip(bounds[:-1], bounds[1:]):
        if speech[a] or b - a < MIN_PAUSE:
            continue
        margin = min(MARGIN, (b - a) // 2)
        cut = max(a + margin, keep_off + 1)
        if cut <= min(b - margin, max_frames):
            return cut
    return None
