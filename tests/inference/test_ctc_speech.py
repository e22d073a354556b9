"""CtcSpeech against a direct computation: of a detector's speech, the frames near a letter,
whatever the window, the stream's length and how it came in blocks, with no window read over
silence; the C++ runtime's (its quorlin-probe program) flags the same frames."""
import subprocess
from pathlib import Path

import numpy as np
import pytest
import torch

from quorlin.inference.ctc_speech import REACH, CtcSpeech
from quorlin.inference.vad import FRAME, silero_model_path, speech_detector

RATE = 16000
PROBE = Path(__file__).resolve().parents[2] / "build" / "runtime" / "quorlin-probe"


def loud_frames(samples):
    """A stand-in for a CTC head that reads every 10 ms frame: a letter where a sample of the
    frame lies beyond +-0.5 (as the probe's)."""
    frames = samples[:samples.numel() // FRAME * FRAME].view(-1, FRAME)  # (k, FRAME)
    found = torch.nonzero(frames.abs().amax(dim=1) > 0.5).flatten()
    return (found.double() + 0.5) / 100  # centres, in seconds from the samples' start


def run(detector, samples, block):
    flags = torch.cat([detector.push(samples[i:i + block]) for i in range(0, samples.numel(), block)]
                      + [detector.finish()])
    assert flags.dtype == torch.bool and flags.numel() == -(-samples.numel() // FRAME)
    return flags


def expected_flags(samples):
    """The energy detector's speech within REACH of a loud frame."""
    whole = samples.numel() // FRAME
    loud = torch.zeros(-(-samples.numel() // FRAME) + 2 * REACH, dtype=torch.bool)
    loud[REACH:REACH + whole] = samples[:whole * FRAME].view(-1, FRAME).abs().amax(dim=1) > 0.5
    near = loud.unfold(0, 2 * REACH + 1, 1).any(dim=1)  # (frames,)
    return run(speech_detector("energy"), samples, RATE) & near


def bursts(seconds, silent=()):
    """Noise at -40 dBFS with bursts of 1 to 400 ms at 0.9 (beyond +-0.5) and 0.3 (not), and
    digital silence over the ``silent`` spans (seconds)."""
    rng = np.random.default_rng(round(seconds * 10))
    samples = 0.01 * rng.standard_normal(round(seconds * RATE))
    for start in rng.integers(0, samples.size - 400, size=int(seconds * 3)):
        samples[start:start + rng.integers(16, 6400)] = rng.choice([0.9, 0.3]) * np.sign(rng.standard_normal())
    for a, b in silent:
        samples[round(a * RATE):round(b * RATE)] = 0.0
    return torch.from_numpy(samples.astype(np.float32))


@pytest.mark.parametrize("seconds, window, silent", [
    (37.3, 800, ()), (9.0037, 800, ()), (3.21, 800, ()), (12.0, 150, ()), (5.0, 4, ()),
    (70.0, 800, [(10.0, 60.0)]),
])
def test_speech_near_letters_whatever_the_windows_and_blocks(seconds, window, silent):
    samples = bursts(seconds, silent)
    seen = []

    def letters(window_samples):
        seen.append(window_samples.numel())
        return loud_frames(window_samples)

    expected = expected_flags(samples)
    assert expected.any() and (expected != run(speech_detector("energy"), samples, RATE)).any()
    for block in (RATE * 30, 7777, 1000):
        seen.clear()
        assert torch.equal(run(CtcSpeech(speech_detector("energy"), letters, window), samples, block), expected), block
        # Each window is as long as asked (the last one's last frame may be partial), or the
        # whole stream when it is shorter.
        assert min(seen) > min(window * FRAME, samples.numel()) - FRAME and max(seen) <= window * FRAME
        # Windows overlap by two edges; none is read over silence.
        step = window - 2 * min(100, window // 4)
        silence = sum(b - a for a, b in silent) * RATE
        assert sum(seen) < window / step * (samples.numel() - silence) + 2 * window * FRAME


@pytest.mark.parametrize("seconds, window, block, silent", [
    (37.3, 800, 7777, ()), (3.21, 800, 1000, ()), (12.0037, 150, 16000, ()), (70.0, 800, 30 * RATE, [(10.0, 60.0)]),
])
def test_the_runtime_flags_the_same_frames(tmp_path, seconds, window, block, silent):
    assert PROBE.is_file(), f"{PROBE} is missing: scripts/setup.sh builds it"
    samples = bursts(seconds, silent)
    samples.numpy().tofile(tmp_path / "samples.bin")
    done = subprocess.run([str(PROBE), "letters", str(tmp_path / "samples.bin"), str(samples.numel()), str(window),
                           str(block), silero_model_path()], capture_output=True, text=True, env={})
    assert done.returncode == 0, done.stderr
    ours = torch.tensor([c == "1" for c in done.stdout.strip()])
    assert torch.equal(ours, run(CtcSpeech(speech_detector("energy"), loud_frames, window), samples, block))


def test_a_window_too_short_is_refused():
    with pytest.raises(ValueError, match="window must be at least 4 frames, got 3"):
        CtcSpeech(speech_detector("energy"), loud_frames, 3)
