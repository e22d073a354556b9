"""Recordings cut into segments the model reads well: as long as the utterances it learnt from,
cut at pauses, with long silences left out.

A voice activity detector (``quorlin.inference.vad``) flags the speech frames (10 ms) of a
16 kHz stream. A pause of ``LONG_PAUSE`` or more always ends a segment, and the silence in it
is left out but for ``MARGIN`` on either side of the speech. Speech between such pauses is
cut at shorter pauses (``MIN_PAUSE`` or more), in their middle, into the segments that best
fit the durations of the model's training utterances (``SegmentLengths``): a choice over all
the pauses in sight (two of the longest segments ahead) that cuts at as many long pauses as it
can while every segment stays about as long as a training utterance. A segment cut at such a
pause also carries ``CONTEXT`` of the audio beyond the cut, so that a word next to the cut is
heard whole; it keeps the words whose middle lies on its side of the cut. Speech with no pause
for longer than the model can take is cut into overlapping windows as long as the longest
training utterance; each keeps the words whose middle falls in its share of the overlap.
"""
import math
from dataclasses import dataclass, replace
from typing import Iterable, Iterator, List, Optional, Sequence, Tuple

import torch

from quorlin.inference.results import Word
from quorlin.inference.vad import FRAME, MIN_PAUSE, SpeechDetector
from quorlin.prep.features import SAMPLE_RATE

# In 10 ms frames.
LONG_PAUSE, MARGIN, CONTEXT = 100, 15, 30
# A cut at a pause of d frames earns PAUSE_REWARD * log(d / MIN_PAUSE): the longer the pause,
# the likelier it ends a sentence.
PAUSE_REWARD = 0.5
# Outside the training durations, the cost of a segment grows by one per TAIL_SECONDS.
TAIL_SECONDS = 0.25


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
        speech: the detector's speech flags of its 10 ms frames, (ceil(samples / 160),) bool;
            None for a recording decoded whole, which keeps all its words, as ``quorlin
            evaluate``'s decoding of it does.
    """
    start: float
    end: float
    samples: torch.Tensor
    keep_start: float
    keep_end: float
    speech: Optional[torch.Tensor]


class SegmentLengths:
    """The segment durations a recogniser reads well: those of its training utterances.

    Args:
        quantiles: the 0 %, 5 %, ..., 100 % quantiles of the training utterances' durations,
            in seconds (21 numbers, not decreasing).
        limit: the longest segment the model can take, in seconds.

    Attributes:
        longest: the longest segment cut at pauses: the longest training utterance, within the limit.
    """

    def __init__(self, quantiles: Sequence[float], limit: float):
        if len(quantiles) != 21 or any(b < a for a, b in zip(quantiles, quantiles[1:])) or not quantiles[0] > 0:
            raise ValueError(f"quantiles must be 21 positive durations in increasing order, got {list(quantiles)}")
        if not limit >= 1.0:
            raise ValueError(f"limit must be at least 1 s, got {limit!r}")
        self.quantiles = [min(float(q), limit) for q in quantiles]
        self.limit = float(limit)
        self.longest = self.quantiles[-1]

    def cost(self, seconds: float) -> float:
        """How unlike the training durations ``seconds`` is: 0 from their 5 % quantile to the
        longest, growing by one every ``TAIL_SECONDS`` outside; infinite beyond the limit."""
        if seconds > self.limit:
            return math.inf
        return max(self.quantiles[1] - seconds, seconds - self.longest, 0.0) / TAIL_SECONDS


def split_audio(blocks: Iterable[torch.Tensor], detector: SpeechDetector, lengths: SegmentLengths,
                duration: Optional[float] = None, overlap_seconds: Optional[float] = None,
                context: bool = True) -> Iterator[AudioSegment]:
    """Cuts a stream of 16 kHz blocks into segments that ``lengths`` says the model reads well.

    Args:
        blocks: consecutive mono float sample blocks (m,) at 16 kHz.
        detector: a fresh voice activity detector for this stream.
        lengths: the segment durations to aim at.
        duration: the stream's length in seconds, when known: a stream no longer than
            ``lengths.longest`` is one segment, whole, as the utterances the model learnt from
            (or none, when no speech is found in it).
        overlap_seconds: overlap of the windows cut where speech has no pause, which are as
            long as the longest training utterance (default: the smaller of 3 s and a quarter
            of a window).
        context: whether a segment cut at a short pause carries ``CONTEXT`` of the audio beyond
            the cut: for a recogniser whose word times tell which words are its own.

    A recording that is silent throughout gives no segment. At most the horizon (two of the
    longest segments and a long pause) plus one block of samples is held at a time.
    """
    window = max(lengths.longest, 1.0)
    overlap = min(3.0, window / 4) if overlap_seconds is None else overlap_seconds
    if not 0 <= overlap < window / 2:
        raise ValueError(f"overlap_seconds must lie in [0, {window / 2:g}), got {overlap!r}")
    return _split(blocks, detector, _Segmenter(lengths, round(overlap * 100), CONTEXT if context else 0),
                  duration is not None and duration <= lengths.longest)


def _split(blocks: Iterable[torch.Tensor], detector: SpeechDetector, segmenter: "_Segmenter",
           whole: bool) -> Iterator[AudioSegment]:
    for block in blocks:
        if block.dim() != 1:
            raise ValueError(f"blocks must be mono, of shape (m,), got {tuple(block.shape)}")
        flags = detector.push(block)
        if whole:
            segmenter.hold(block, flags)
        else:
            yield from segmenter.push(block, flags)
    if whole:
        segmenter.hold(torch.zeros(0), detector.finish())
        yield from segmenter.whole()
    else:
        yield from segmenter.push(torch.zeros(0), detector.finish(), final=True)


def keep_words(segment: AudioSegment, words: Sequence[Word]) -> List[Word]:
    """The words (timed in the recording) whose midpoint lies in [keep_start, keep_end) and,
    in a segment cut from a longer recording, that overlap a frame the detector called speech,
    with their times held within [keep_start, keep_end]: a word said where two segments
    overlap is kept by exactly one of them, the segments' words never overlap, and what the
    recogniser reads into the noise of a pause at a segment's edge (a fricative's hiss, a
    syllable of the talkers behind) is left out."""
    return [Word(max(w.start, segment.keep_start), min(w.end, segment.keep_end), w.text) for w in words
            if segment.keep_start <= (w.start + w.end) / 2 < segment.keep_end
            and (segment.speech is None or _on_speech(segment.speech, w.start - segment.start, w.end - segment.start))]


def _on_speech(speech: torch.Tensor, start: float, end: float) -> bool:
    """Whether any 10 ms frame that [start, end] (seconds) touches is a speech frame of ``speech`` (F,)."""
    first = max(0, math.floor(start * 100))
    last = max(first + 1, math.ceil(end * 100))
    return bool(speech[first:last].any())


def plan_segments(speech: torch.Tensor, lengths: SegmentLengths, closed: bool) -> List[Tuple[int, int]]:
    """The segments (start, end) in frames that best cut the stretch ``speech`` (F,) bool,
    which holds some speech.

    Cuts fall in the middle of pauses of ``MIN_PAUSE`` frames or more, where two segments
    meet: nothing between them is left out of the audio, since a pause may hold the quiet edge
    of a word that the detector missed (a word read wholly in the pause is dropped by
    ``keep_words``). The first segment starts with the stretch, the last ends ``MARGIN``
    frames past its speech. The cuts minimise the sum of every segment's ``lengths.cost``,
    less every cut's pause reward.
    When ``closed`` is false the speech goes on after the last frame: the last segment is
    free, and the caller keeps only the first. A stretch with speech longer than
    ``lengths.limit`` and no pause in it gives no plan (an empty list).
    """
    F = speech.numel()
    # Runs of non-speech (start, end); those between two speech frames are the pauses.
    change = torch.nonzero(speech[1:] != speech[:-1]).flatten() + 1
    bounds_of_runs = [0] + change.tolist() + [F]
    silent = [(a, b) for a, b in zip(bounds_of_runs[:-1], bounds_of_runs[1:]) if not speech[a]]
    tail = silent[-1][0] if silent and silent[-1][1] == F else F  # after the last speech frame
    pauses = [(a, b) for a, b in silent if a > 0 and b < F and b - a >= MIN_PAUSE]
    nodes = [0] + [(a + b) // 2 for a, b in pauses] + [min(F, tail + MARGIN)]
    cut_costs = [0.0] + [-PAUSE_REWARD * math.log(min(b - a, LONG_PAUSE) / MIN_PAUSE) for a, b in pauses] + [0.0]
    limit = round(lengths.limit * 100)

    best = [0.0] + [math.inf] * (len(nodes) - 1)
    back = [0] * len(nodes)
    for j in range(1, len(nodes)):
        free = not closed and j == len(nodes) - 1
        for i in range(j - 1, -1, -1):
            if nodes[j] - nodes[i] > limit:
                break  # earlier starts are longer still
            cost = best[i] + (0.0 if free else lengths.cost((nodes[j] - nodes[i]) / 100)) + cut_costs[j]
            if cost < best[j]:
                best[j], back[j] = cost, i
    if best[-1] == math.inf:
        return []
    cuts, j = [], len(nodes) - 1
    while j > 0:
        cuts.append((nodes[back[j]], nodes[j]))
        j = back[j]
    return cuts[::-1]


# Speech seen ahead of a decision: enough for two of the longest segments and a long pause.
def _horizon(lengths: SegmentLengths) -> int:
    return round(2 * lengths.longest * 100) + LONG_PAUSE + 2 * MARGIN


class _Segmenter:
    """The streaming state of ``split_audio``; positions are in 10 ms frames from the start."""

    def __init__(self, lengths: SegmentLengths, overlap: int, context: int):
        self.lengths, self.overlap, self.context = lengths, overlap, context
        self.window = round(max(lengths.longest, 1.0) * 100)
        self.horizon = max(_horizon(lengths), round(lengths.limit * 100) + LONG_PAUSE)
        self.samples = torch.zeros(0)  # held samples, from frame `origin` on
        self.flags = torch.zeros(0, dtype=torch.bool)  # speech flags of held frames
        # The last `context` frames let go, or fewer: the context ahead of a segment that starts the held frames.
        self.past_samples, self.past_flags = torch.zeros(0), torch.zeros(0, dtype=torch.bool)
        self.origin = 0
        self.keep_from: Optional[int] = None  # keep start of a window that continues the last
        self.at_cut = False  # whether the held frames start where the last segment was cut from them

    def hold(self, samples: torch.Tensor, flags: torch.Tensor) -> None:
        self.samples = torch.cat([self.samples, samples.detach().cpu().float()])
        self.flags = torch.cat([self.flags, flags])

    def whole(self) -> List[AudioSegment]:
        """Everything held as one segment, which keeps all its words, when it holds any speech."""
        if not bool(self.flags.any()):
            return []
        return [replace(self._emit(0, self.flags.numel()), speech=None)]

    def push(self, samples: torch.Tensor, flags: torch.Tensor, final: bool = False) -> List[AudioSegment]:
        self.hold(samples, flags)
        segments = []
        while True:
            found = torch.nonzero(self.flags).flatten()
            if not found.numel():
                self._drop(self.flags.numel() if final else max(0, self.flags.numel() - MARGIN))
                return segments
            if found[0] > MARGIN and self.keep_from is None and not self.at_cut:
                self._drop(int(found[0]) - MARGIN)
                continue
            # Each decision reads the first `horizon` frames only, so that it does not depend on
            # how the stream came in blocks.
            end = self._stretch_end(self.flags[:self.horizon])
            if end is None and final and self.flags.numel() <= self.horizon:
                end = int(found[-1]) + 1
            if end is None and self.flags.numel() < self.horizon:
                return segments
            segments += self._cut(end)

    @staticmethod
    def _stretch_end(flags: torch.Tensor) -> Optional[int]:
        """Where the speech that ``flags`` starts with ends: at the first long pause; None when
        none is in sight."""
        run = 0
        for f, is_speech in enumerate(flags.tolist()):
            run = 0 if is_speech else run + 1
            if run >= LONG_PAUSE:
                return f + 1 - run
        return None

    def _cut(self, end: Optional[int]) -> List[AudioSegment]:
        """Emits the segments of the held speech that ends at ``end`` (all of them), or, when
        the speech goes on past the horizon (``end`` None), the first one only."""
        stop = self.horizon if end is None else min(self.flags.numel(), end + MARGIN)
        plan = [] if self.keep_from is not None else plan_segments(self.flags[:stop], self.lengths,
                                                                   closed=end is not None)
        if not plan:
            return [self._window(stop)]
        if end is None:
            plan = plan[:1]
        # Every segment but the first (or also the first, after a cut) starts at a cut, and every
        # one but the last of speech that ends here ends at one.
        segments = []
        for n, (a, b) in enumerate(plan):
            before, after = self._context(a, b, n > 0 or self.at_cut, n < len(plan) - 1 or end is None)
            segments.append(self._emit(a, b, before=before, after=after))
        self._drop(plan[-1][1] if end is None else stop)
        self.at_cut = end is None
        return segments

    def _window(self, stop: int) -> AudioSegment:
        """A window as long as the longest training utterance from the first held frame, over
        speech with no pause to cut at, overlapping the next by ``overlap``; the last window
        ends at ``stop``."""
        self.at_cut = False
        if stop <= self.window:
            segment = self._emit(0, stop, self.keep_from, None)
            self._drop(stop)
            self.keep_from = None
            return segment
        keep_end = self.origin + self.window - self.overlap // 2
        segment = self._emit(0, self.window, self.keep_from, keep_end)
        self._drop(self.window - self.overlap)
        self.keep_from = keep_end
        return segment

    def _context(self, a: int, b: int, cut_before: bool, cut_after: bool) -> Tuple[int, int]:
        """The frames of context the segment of held frames [a, b) carries before and after it:
        ``context`` beyond each cut, as far as the audio goes and the segment stays within the
        model's limit."""
        spare = max(0, round(self.lengths.limit * 100) - (b - a)) // 2
        before = min(self.context, spare, a + self.past_flags.numel()) if cut_before else 0
        after = min(self.context, spare, self.flags.numel() - b) if cut_after else 0
        return before, after

    def _emit(self, a: int, b: int, keep_from: Optional[int] = None, keep_to: Optional[int] = None,
              before: int = 0, after: int = 0) -> AudioSegment:
        """The segment of held frames [a, b), with ``before`` frames of context ahead of it (from
        the frames let go, when a is 0) and ``after`` frames after it, whose words it leaves to
        its neighbours."""
        early = max(0, before - a)  # context frames from those let go
        lo = a - before + early  # the first held frame of the segment
        # New tensors: the held buffers can go.
        audio = torch.cat([self.past_samples[self.past_samples.numel() - early * FRAME:],
                           self.samples[lo * FRAME:(b + after) * FRAME]])
        flags = torch.cat([self.past_flags[self.past_flags.numel() - early:], self.flags[lo:b + after]])
        at = (self.origin + a - before) * FRAME  # the audio's first sample in the recording
        own = at + before * FRAME  # the first sample of frame a
        own_end = self.origin * FRAME + min(b * FRAME, self.samples.numel())  # past its last sample
        return AudioSegment(at / SAMPLE_RATE, (at + audio.numel()) / SAMPLE_RATE, audio,
                            own / SAMPLE_RATE if keep_from is None else keep_from / 100,
                            own_end / SAMPLE_RATE if keep_to is None else keep_to / 100, flags)

    def _drop(self, frames: int) -> None:
        past_samples = torch.cat([self.past_samples, self.samples[:frames * FRAME]])
        past_flags = torch.cat([self.past_flags, self.flags[:frames]])
        self.past_samples = past_samples[max(0, past_samples.numel() - self.context * FRAME):]
        self.past_flags = past_flags[max(0, past_flags.numel() - self.context):]
        self.samples = self.samples[frames * FRAME:]
        self.flags = self.flags[frames:]
        self.origin += frames
