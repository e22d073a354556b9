"""Voice activity detection: which 10 ms frames of a 16 kHz stream hold speech.

Two detectors read a stream block by block and say, for every frame, whether it is speech:

- ``SileroVad`` runs the Silero VAD, a small neural network that the ``silero-vad`` package
  carries as TorchScript (no download), over 32 ms chunks. It tells speech from noise, music
  and room tone at a few dB of signal-to-noise ratio.
- ``EnergyVad`` compares each frame's energy (its mean removed, so a DC offset counts for
  nothing) with an absolute floor and with the noise floor of the frames around it. It needs
  no model, and fails where noise is as loud as speech.

Both answer with a delay (the frames they need to see ahead), never depend on how the stream
was cut into blocks, and hold a bounded number of samples. What they call speech must also
pass the ``LevelGate``, which leaves out long stretches well below the level of the
recording's loud speech: the talkers behind a voice, which Silero calls speech too.
"""
import functools
import importlib.util
import math
import os
import warnings
from typing import Optional

import torch

from quorlin.errors import QuorlinError
from quorlin.prep.features import SAMPLE_RATE

FRAME = SAMPLE_RATE // 100  # samples per 10 ms frame
# Frames of non-speech that make a pause; a shorter gap leaves speech on either side one run.
MIN_PAUSE = 10
VAD_NAMES, DEFAULT_VAD = ("silero", "energy"), "silero"


def speech_detector(name: str, long_run: int = 1000) -> "SpeechDetector":
    """A fresh detector by its name, "silero" or "energy", whose speech must also pass the
    ``LevelGate``; for silero, runs of speech longer than ``long_run`` frames are looked into
    for the pauses of the voice in front."""
    if name == "silero":
        return Gated(SileroVad(long_run))
    if name == "energy":
        return Gated(EnergyVad())
    raise QuorlinError(f"unknown voice activity detector {name!r}: give one of {', '.join(VAD_NAMES)}")


class SpeechDetector:
    """Speech flags of the 10 ms frames of one stream; ``push`` blocks, then ``finish``."""

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        """Takes the next samples (m,) and returns the flags (k,) bool of the frames decided since."""
        raise NotImplementedError

    def finish(self) -> torch.Tensor:
        """The flags of the remaining frames: ceil(samples / 160) flags in all."""
        raise NotImplementedError


class EnergyVad(SpeechDetector):
    """Energy against an absolute floor and the local noise floor.

    A frame's level is the power of its samples after their mean is removed, in dB relative
    to full scale. The local noise floor is the 10th percentile of the levels of the frames
    within 2 s on either side. A frame is speech when its level is at least ``ABSOLUTE_DB``
    and at least ``CONTRAST_DB`` above the local floor; a recording as loud as its noise has
    no frame that passes.
    """

    ABSOLUTE_DB, CONTRAST_DB = -55.0, 9.0
    REACH = 200  # frames on either side that set the local noise floor
    FLOOR_QUANTILE = 0.1

    def __init__(self):
        self.samples = torch.zeros(0)  # not yet a whole frame
        self.levels = torch.zeros(0)  # dB of the frames from `first` on
        self.first = 0  # index of the first frame held
        self.decided = 0  # frames decided

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        self.samples = torch.cat([self.samples, samples.detach().float().cpu()])
        whole = self.samples.numel() // FRAME
        self._add_levels(self.samples[:whole * FRAME])
        self.samples = self.samples[whole * FRAME:]
        return self._decide(self.first + self.levels.numel() - self.REACH)

    def finish(self) -> torch.Tensor:
        if self.samples.numel():
            self._add_levels(torch.nn.functional.pad(self.samples, (0, FRAME - self.samples.numel())))
            self.samples = torch.zeros(0)
        return self._decide(self.first + self.levels.numel())

    def _add_levels(self, samples: torch.Tensor) -> None:
        self.levels = torch.cat([self.levels, frame_levels(samples)])

    def _decide(self, end: int) -> torch.Tensor:
        """Flags of frames ``decided`` to ``end``, each against the floor of the frames held around it."""
        if end <= self.decided:
            return torch.zeros(0, dtype=torch.bool)
        # The floor of frame i reads frames i - REACH to i + REACH, those held.
        start = self.decided - self.first
        stop = end - self.first
        padded = torch.nn.functional.pad(self.levels, (self.REACH, self.REACH), value=float("nan"))
        windows = padded.unfold(0, 2 * self.REACH + 1, 1)[start:stop]  # (k, 2 * REACH + 1)
        flags = self._flags(self.levels[start:stop], windows)
        self.decided = end
        keep_from = max(0, self.decided - self.REACH - self.first)
        self.levels, self.first = self.levels[keep_from:], self.first + keep_from
        return flags

    def _flags(self, levels: torch.Tensor, windows: torch.Tensor) -> torch.Tensor:
        """Speech flags (k,) of frames of ``levels`` (k,) dB, each with the levels of its window (k, W)."""
        floor = torch.nanquantile(windows, self.FLOOR_QUANTILE, dim=1)  # (k,)
        return (levels >= self.ABSOLUTE_DB) & (levels >= floor + self.CONTRAST_DB)


class ForegroundGate(EnergyVad):
    """Frames no more than ``DROP_DB`` below the loud frames around them (the 90th percentile of
    the levels within 2 s): the voice in front, not the talkers or noise well behind it."""

    DROP_DB, PEAK_QUANTILE = 15.0, 0.9

    def _flags(self, levels: torch.Tensor, windows: torch.Tensor) -> torch.Tensor:
        return levels >= torch.nanquantile(windows, self.PEAK_QUANTILE, dim=1) - self.DROP_DB


class Gated(SpeechDetector):
    """The frames that both ``detector`` and a ``LevelGate`` call speech."""

    def __init__(self, detector: SpeechDetector):
        self.detector, self.gate = detector, LevelGate()
        self.waiting = [torch.zeros(0, dtype=torch.bool), torch.zeros(0, dtype=torch.bool)]  # decided by one only

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        return self._both(self.detector.push(samples), self.gate.push(samples))

    def finish(self) -> torch.Tensor:
        return self._both(self.detector.finish(), self.gate.finish())

    def _both(self, speech: torch.Tensor, loud: torch.Tensor) -> torch.Tensor:
        self.waiting = [torch.cat([self.waiting[0], speech]), torch.cat([self.waiting[1], loud])]
        decided = min(w.numel() for w in self.waiting)
        out = self.waiting[0][:decided] & self.waiting[1][:decided]
        self.waiting = [w[decided:] for w in self.waiting]
        return out


class LevelGate(SpeechDetector):
    """Frames outside stretches well below the recording's loud speech: talkers, music or noise
    behind the voice in front count for nothing, however long they go on.

    The loud speech's level, for each block of ``STEP`` frames, is the ``LOUD_QUANTILE`` of the
    levels (as ``EnergyVad`` measures them) of the frames within ``REACH`` of the block. Each
    frame's power is taken relative to its block's loud speech, and a frame is left out when
    the ``QUIET_RUN`` frames around it (half on either side) have a mean relative power
    ``DROP_DB`` or more below it: the middle of a pause between phrases, not the quiet sounds
    of a word, and not the ends of the words around the pause.
    """

    DROP_DB, LOUD_QUANTILE = 15.0, 0.95
    REACH = 3000  # frames on either side (30 s) that set the level of the loud speech
    STEP = 100  # frames that share one level
    QUIET_RUN = 30

    def __init__(self):
        self.samples = torch.zeros(0)  # not yet a whole frame
        self.levels = torch.zeros(0)  # dB of the frames from `first` on
        self.first = 0
        self.relative = torch.zeros(0)  # power against the loud speech, of frames from `decided` - QUIET_RUN + 1 on
        self.measured = 0  # frames whose relative power is known: whole blocks, but at the end
        self.decided = 0

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        self._take(samples)
        known = self.first + self.levels.numel()
        self._measure((known - self.REACH) // self.STEP * self.STEP, known)
        return self._decide(self.measured - self.QUIET_RUN + 1)

    def finish(self) -> torch.Tensor:
        self._take(None)
        known = self.first + self.levels.numel()
        self._measure(known, known)
        return self._decide(known)

    def _take(self, samples: Optional[torch.Tensor]) -> None:
        """Measures the levels of the frames that ``samples`` complete (None: the rest, padded)."""
        if samples is None:
            whole = torch.nn.functional.pad(self.samples, (0, -self.samples.numel() % FRAME))
            self.samples = torch.zeros(0)
        else:
            self.samples = torch.cat([self.samples, samples.detach().float().cpu()])
            whole = self.samples[:self.samples.numel() // FRAME * FRAME]
            self.samples = self.samples[whole.numel():]
        self.levels = torch.cat([self.levels, frame_levels(whole)])

    def _measure(self, end: int, known: int) -> None:
        """The relative power of frames ``measured`` to ``end``, with the levels of frames up to ``known``."""
        for block in range(self.measured, end, self.STEP):
            stop = min(block + self.STEP, end)
            window = self.levels[max(0, block - self.REACH) - self.first:min(known, stop + self.REACH) - self.first]
            loud = torch.quantile(window, self.LOUD_QUANTILE)
            levels = self.levels[block - self.first:stop - self.first]  # (stop - block,)
            relative = torch.pow(10.0, (levels - loud) / 10)
            self.relative = torch.cat([self.relative, relative])
        self.measured = max(self.measured, end)
        keep_from = max(0, self.measured - self.REACH - self.first)
        self.levels, self.first = self.levels[keep_from:], self.first + keep_from

    def _decide(self, end: int) -> torch.Tensor:
        """Flags of frames ``decided`` to ``end``: those in the middle of no quiet run."""
        if end <= self.decided:
            return torch.zeros(0, dtype=torch.bool)
        run = self.QUIET_RUN
        held = self.decided - (self.measured - self.relative.numel())  # frames held before `decided`
        # Frames outside the recording count as silence.
        padded = torch.nn.functional.pad(self.relative, (run - 1 - held, run - 1))
        quiet = padded.unfold(0, run, 1).mean(dim=1) <= 10 ** (-self.DROP_DB / 10)  # a quiet run starts here
        # Frame f is left out when the run from f - run // 2 on is quiet.
        left_out = quiet[run - 1 - run // 2:][:end - self.decided]  # (end - decided,)
        self.decided = end
        self.relative = self.relative[max(0, self.relative.numel() - (self.measured - end) - run + 1):]
        return ~left_out


class SileroVad(SpeechDetector):
    """The Silero VAD's speech probabilities, with hysteresis: a run of speech starts at a
    32 ms chunk of probability ``THRESHOLD`` or more and lasts while the probability stays
    above ``THRESHOLD - 0.15``. In a run of speech longer than ``long_run`` frames (no pause of
    ``MIN_PAUSE`` frames where sentences would have them: talkers behind the voice, say), only
    the frames of the voice in front count (``ForegroundGate``), so that its pauses show.

    The stream is read in pieces of ``PIECE`` chunks at fixed positions, each after
    ``WARM_UP`` chunks of the audio before it with the network's state reset, so that
    ``BATCH`` pieces run together as one batch. Pieces whose every sample lies below
    -80 dBFS (digital silence) are not run: they hold no speech.
    """

    THRESHOLD = 0.5
    CHUNK = 512  # samples per network step at 16 kHz
    PIECE, WARM_UP, BATCH = 128, 16, 16
    SILENT = 1e-4  # -80 dBFS

    def __init__(self, long_run: int):
        self.model = _silero_model()
        self.gate, self.long_run, self.long_run_on = ForegroundGate(), long_run, False
        self.quiet = 0  # frames of non-speech given since the last speech frame
        # Flags of the network and of the gate: decided by one only, and held until a run's length is known.
        self.waiting = [torch.zeros(0, dtype=torch.bool), torch.zeros(0, dtype=torch.bool)]
        self.held = [torch.zeros(0, dtype=torch.bool), torch.zeros(0, dtype=torch.bool)]
        self.samples = torch.zeros(self.WARM_UP * self.CHUNK)  # from chunk `done` - WARM_UP on
        self.done = 0  # chunks run
        self.total = 0  # samples pushed
        self.speaking = False
        self.chunk_flags = torch.zeros(0, dtype=torch.bool)  # of chunks from `flags_from` on
        self.flags_from = 0
        self.frames_given = 0

    def push(self, samples: torch.Tensor) -> torch.Tensor:
        self.samples = torch.cat([self.samples, samples.detach().float().cpu()])
        self.total += samples.numel()
        group = self.PIECE * self.BATCH * self.CHUNK
        while self.samples.numel() - self.WARM_UP * self.CHUNK >= group:
            self._run(self.BATCH)
        # Frame f is read by the chunk that holds its middle sample.
        return self._both(self._frames((self.done * self.CHUNK - FRAME // 2 - 1) // FRAME + 1), self.gate.push(samples))

    def finish(self) -> torch.Tensor:
        left = self.samples.numel() - self.WARM_UP * self.CHUNK
        frames = math.ceil(self.total / FRAME)
        # The middle sample of a last, partial frame may lie past the last sample: its chunk is run too.
        needed = ((frames - 1) * FRAME + FRAME // 2) // self.CHUNK + 1 - self.done
        pieces = max(math.ceil(left / (self.PIECE * self.CHUNK)), math.ceil(needed / self.PIECE))
        if pieces > 0:
            self.samples = torch.nn.functional.pad(self.samples, (0, pieces * self.PIECE * self.CHUNK - left))
            self._run(pieces)
        return self._both(self._frames(frames), self.gate.finish(), final=True)

    def _both(self, network: torch.Tensor, gate: torch.Tensor, final: bool = False) -> torch.Tensor:
        """The network's flags of the frames both it and the gate have decided, gated in runs of
        speech longer than ``long_run``; frames of a run not yet known to be short or long wait."""
        self.waiting = [torch.cat([self.waiting[0], network]), torch.cat([self.waiting[1], gate])]
        decided = min(w.numel() for w in self.waiting)
        self.held = [torch.cat([h, w[:decided]]) for h, w in zip(self.held, self.waiting)]
        self.waiting = [w[decided:] for w in self.waiting]
        out = []
        while self.held[0].numel():
            speech, front = self.held
            if not speech[0]:  # non-speech up to the next run
                end = int(torch.nonzero(speech).flatten()[0]) if speech.any() else speech.numel()
                self.quiet += end
                self.long_run_on = self.long_run_on and self.quiet < MIN_PAUSE
                out.append(speech[:end])
            else:  # a run of speech, with gaps shorter than a pause in it
                end = _first_pause(speech)
                known = end if end is not None else int(torch.nonzero(speech).flatten()[-1]) + 1
                self.long_run_on = self.long_run_on or known > self.long_run
                if end is None and not (final or self.long_run_on):
                    break  # not yet known whether this run is long
                end = speech.numel() if end is None else end
                out.append(speech[:end] & front[:end] if self.long_run_on else speech[:end])
                self.quiet = end - known if end > known else 0  # the gap it ends with, if any
            self.held = [h[end:] for h in self.held]
        return torch.cat(out) if out else torch.zeros(0, dtype=torch.bool)

    def _run(self, pieces: int) -> None:
        """Runs the next ``pieces`` pieces together and flags their chunks."""
        length, step = (self.WARM_UP + self.PIECE) * self.CHUNK, self.PIECE * self.CHUNK
        rows = self.samples.unfold(0, length, step)[:pieces]  # (pieces, length): warm-up, then the piece
        probabilities = torch.zeros(pieces, self.PIECE)
        loud = rows[:, self.WARM_UP * self.CHUNK:].abs().amax(dim=1) >= self.SILENT  # (pieces,)
        if loud.any():
            chunks = rows[loud].view(int(loud.sum()), -1, self.CHUNK)  # (P', WARM_UP + PIECE, CHUNK)
            self.model.reset_states()
            with torch.inference_mode():
                out = [self.model(chunks[:, c], SAMPLE_RATE)[:, 0] for c in range(chunks.size(1))]
            probabilities[loud] = torch.stack(out[self.WARM_UP:], dim=1)  # (P', PIECE)
        flags = []
        for p in probabilities.flatten().tolist():
            self.speaking = p >= self.THRESHOLD or (self.speaking and p >= self.THRESHOLD - 0.15)
            flags.append(self.speaking)
        self.chunk_flags = torch.cat([self.chunk_flags, torch.tensor(flags, dtype=torch.bool)])
        self.samples = self.samples[pieces * step:]
        self.done += pieces * self.PIECE

    def _frames(self, end: int) -> torch.Tensor:
        """Flags of the frames not yet given, up to ``end``."""
        if end <= self.frames_given:
            return torch.zeros(0, dtype=torch.bool)
        chunk = (torch.arange(self.frames_given, end) * FRAME + FRAME // 2) // self.CHUNK  # (k,)
        flags = self.chunk_flags[chunk - self.flags_from]
        self.frames_given = end
        keep_from = (end * FRAME + FRAME // 2) // self.CHUNK
        self.chunk_flags = self.chunk_flags[keep_from - self.flags_from:]
        self.flags_from = keep_from
        return flags


def frame_levels(samples: torch.Tensor) -> torch.Tensor:
    """The levels (k,) in dBFS of the frames of ``samples`` (k * FRAME,): each frame's power
    with its mean removed, so that a DC offset counts for nothing."""
    frames = samples.view(-1, FRAME)  # (k * FRAME,) -> (k, FRAME)
    power = (frames - frames.mean(dim=1, keepdim=True)).square().mean(dim=1)  # (k,)
    return 10 * torch.log10(power.double() + 1e-12).float()


def silero_model_path() -> str:
    """The TorchScript file of the Silero VAD network that the silero-vad package carries, found
    without importing the package, whose import changes PyTorch's number of threads."""
    package = importlib.util.find_spec("silero_vad")
    if package is None or not package.submodule_search_locations:
        raise QuorlinError("the silero VAD needs the silero-vad package: pip install silero-vad, or give "
                           "--vad energy")
    return os.path.join(list(package.submodule_search_locations)[0], "data", "silero_vad.jit")


@functools.lru_cache(maxsize=1)
def _silero_model():
    """The Silero VAD network, loaded from ``silero_model_path``."""
    path = silero_model_path()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # TorchScript's deprecation notice
        model = torch.jit.load(path, map_location="cpu")
    return model.eval()


def _first_pause(speech: torch.Tensor):
    """Where the first ``MIN_PAUSE`` frames without speech start in ``speech`` (F,) bool; None
    when no such pause is in sight (one shorter may go on past the last frame)."""
    if speech.numel() < MIN_PAUSE:
        return None
    pauses = torch.nonzero((~speech).unfold(0, MIN_PAUSE, 1).all(dim=1)).flatten()  # (F - MIN_PAUSE + 1,)
    return int(pauses[0]) if pauses.numel() else None
