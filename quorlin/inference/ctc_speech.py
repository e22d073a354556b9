"""Speech as the recogniser hears it: a detector's speech near what the CTC head reads as letters.

Under babble or loud noise a voice activity detector hears speech everywhere, and the pauses
between the sentences of the voice in front are lost: a recording is then cut inside its
sentences. A recogniser trained on noisy speech reads the voice in front and gives blanks for
the noise and the talkers behind it, so its CTC head shows those pauses. ``CtcSpeech`` reads a
stream in overlapping windows as long as the longest training utterance and keeps, of the
frames a detector calls speech, those within ``REACH`` of an encoder frame whose most likely
label is a letter.
"""
import math
from typing import Callable

import torch

from quorlin.inference.vad import FRAME, SpeechDetector

# Frames on either side of a letter's frame that count as speech: a pause shows where two
# letters are more than 2 * REACH + MIN_PAUSE frames apart.
REACH = 10
# Frames at either inner end of a window whose letters its neighbour reads, with more context:
# at most EDGE, and a quarter of the window.
EDGE = 100


class CtcSpeech(SpeechDetector):
    """The frames that ``detector`` calls speech within ``REACH`` of the letters that
    ``letters`` finds in each window.

    Windows of ``window`` frames start every ``window - 2 * edge`` frames, where ``edge`` is
    the smaller of ``EDGE`` and a quarter of the window; each keeps the letters whose frame
    lies between its inner edges (from the stream's start for the first). The last window ends
    with the stream, so that every window is as long as the stream allows. A window is not
    read when the detector finds no speech its letters could flag: silence costs nothing.

    Args:
        detector: a fresh voice activity detector for this stream.
        letters: the samples (m,) of a window -> the positions (n,) float64, in seconds from
            the window's start, of the encoder frames whose most likely label is a letter.
        window: frames per window, at least 4.
    """

    def __init__(self, detector: SpeechDetector, letters: Callable[[torch.Tensor], torch.Tensor], window: int):
        if window < 4:
            raise ValueError(f"window must be at least 4 frames, got {window!r}")
        self.detector, self.letters = detector, letters
        self.window, self.edge = window, min(EDGE, window // 4)
        self.samples = torch.zeros(0)  # from frame `origin` on
        self.origin = 0
        self.kept_to = 0  # letters before this frame are marked
        self.speech = torch.zeros(0, dtype=torch.bool)  # the detector's flags of the frames from `decided` on
        self.marks = torch.zeros(0, dtype=torch.bool)  # frames near letters, from `decided` on
        self.decided = 0
        self.total = 0  # samples pushed

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        self.samples = torch.cat([self.samples, samples.detach().float().cpu()])
        self.total += samples.numel()
        self.speech = torch.cat([self.speech, self.detector.push(samples)])
        self._read_windows(self.decided + self.speech.numel() - REACH)
        return self._decide(min(self.kept_to - REACH, self.decided + self.speech.numel()))

    def finish(self) -> torch.Tensor:
        self.speech = torch.cat([self.speech, self.detector.finish()])
        frames = math.ceil(self.total / FRAME)
        self._read_windows(frames)
        if self.kept_to < frames:
            self._read(max(0, frames - self.window), frames, frames)
        return self._decide(frames)

    def _read_windows(self, flagged: int) -> None:
        """Reads the whole windows whose samples are in and whose letters may flag only frames
        before ``flagged``: each starts an edge before the letters it keeps (the first at 0)."""
        while (start := max(0, self.kept_to - self.edge)) + self.window <= min(self.total // FRAME,
                                                                               flagged + self.edge):
            self._read(start, start + self.window, start + self.window - self.edge)
            self._drop(start)

    def _read(self, start: int, end: int, keep_to: int) -> None:
        """Marks the frames around the letters of the window [start, end) from ``kept_to`` to
        ``keep_to``, unless the detector found no speech they could flag."""
        near = self.speech[max(0, self.kept_to - REACH - self.decided):keep_to + REACH - self.decided]
        if bool(near.any()):
            samples = self.samples[(start - self.origin) * FRAME:(end - self.origin) * FRAME]
            frames = start + torch.floor(self.letters(samples).double() * 100).long()  # (n,) 10 ms frames
            frames = frames[(frames >= self.kept_to) & (frames < keep_to)]
            grow = keep_to + REACH + 1 - self.decided - self.marks.numel()
            self.marks = torch.cat([self.marks, torch.zeros(max(0, grow), dtype=torch.bool)])
            for f in frames.tolist():
                self.marks[max(0, f - REACH - self.decided):f + REACH + 1 - self.decided] = True
        self.kept_to = keep_to

    def _decide(self, end: int) -> torch.Tensor:
        """The flags of frames ``decided`` to ``end``."""
        if end <= self.decided:
            return torch.zeros(0, dtype=torch.bool)
        count = end - self.decided
        marks = torch.cat([self.marks, torch.zeros(max(0, count - self.marks.numel()), dtype=torch.bool)])
        flags = self.speech[:count] & marks[:count]
        self.speech, self.marks, self.decided = self.speech[count:], self.marks[count:], end
        return flags

    def _drop(self, frame: int) -> None:
        """Lets the samples before ``frame`` go: the next window, or the last, starts there or later."""
        self.samples = self.samples[(frame - self.origin) * FRAME:]
        self.origin = frame
