"""The voice activity detectors on real speech (the demo corpus), in noise and in room tone."""
from pathlib import Path

import numpy as np
import pytest
import soundfile
import torch

from quorlin.errors import QuorlinError
from quorlin.inference.vad import FRAME, MIN_PAUSE, EnergyVad, SileroVad, speech_detector

SPEECH = sorted((Path(__file__).resolve().parents[2] / "demo/kjv/test").glob("*/*/*.ogg"))[:4]
RATE = 16000


def _pink(n, rng):
    spectrum = np.fft.rfft(rng.standard_normal(n))
    noise = np.fft.irfft(spectrum / np.sqrt(np.maximum(np.arange(spectrum.size), 1)), n)
    return noise / np.sqrt(np.mean(noise ** 2))


def _utterances_in(noise_db=None, seed=0):
    """Four utterances 1 s apart after 2 s of room tone (pink noise at -60 dBFS), or in white
    noise ``noise_db`` below the speech: the samples and the utterances' frame spans."""
    rng = np.random.default_rng(seed)
    pieces, spans, at = [np.zeros(2 * RATE)], [], 2 * RATE
    for path in SPEECH:
        samples, rate = soundfile.read(path, dtype="float32")
        assert rate == RATE
        pieces += [samples, np.zeros(RATE)]
        spans.append((at // FRAME, (at + len(samples)) // FRAME))
        at += len(samples) + RATE
    clean = np.concatenate(pieces)
    speech_power = np.mean(np.concatenate([clean[a * FRAME:b * FRAME] for a, b in spans]) ** 2)
    if noise_db is None:
        noisy = clean + 1e-3 * _pink(len(clean), rng)
    else:
        noisy = clean + np.sqrt(speech_power / 10 ** (noise_db / 10)) * rng.standard_normal(len(clean))
    return torch.from_numpy(noisy.astype(np.float32)), spans


def _flags(detector, samples, block):
    flags = [detector.push(samples[i:i + block]) for i in range(0, samples.numel(), block)] + [detector.finish()]
    flags = torch.cat(flags)
    assert flags.dtype == torch.bool and flags.numel() == -(-samples.numel() // FRAME)
    return flags


@pytest.mark.parametrize("make", [lambda: SileroVad(1000), EnergyVad])
def test_speech_found_and_pauses_left_whatever_the_blocks(make):
    samples, spans = _utterances_in()
    flags = _flags(make(), samples, 30 * RATE)
    assert torch.equal(_flags(make(), samples, 7777), flags)
    for a, b in spans:
        assert flags[a:b].float().mean() > 0.6  # each utterance is mostly speech
    for (_, b), (a, _) in zip(spans, spans[1:]):
        assert not flags[b + 20:a - 20].any()  # the pauses between are not
    assert not flags[:spans[0][0] - 20].any()


def test_silero_hears_every_utterance_in_noise_as_loud_as_5_db_below_it():
    samples, spans = _utterances_in(noise_db=5)
    flags = _flags(SileroVad(1000), samples, 30 * RATE)
    assert all(flags[a:b].float().mean() > 0.5 for a, b in spans)


def test_room_tone_a_dc_offset_and_silence_hold_no_speech():
    rng = np.random.default_rng(1)
    tone = torch.from_numpy((0.05 + 1e-3 * _pink(60 * RATE, rng)).astype(np.float32))
    for detector in (SileroVad(1000), EnergyVad()):
        assert not _flags(detector, tone, 30 * RATE).any()
        assert not _flags(type(detector)(*([1000] if isinstance(detector, SileroVad) else [])),
                          torch.zeros(10 * RATE), 30 * RATE).any()


def _gated(speech, front, long_run):
    """The voice in front within runs of speech longer than ``long_run``, a run going on over
    gaps shorter than a pause: frame by frame."""
    out, f = speech.clone(), 0
    while f < speech.numel():
        if not speech[f]:
            f += 1
            continue
        end = f
        while end < speech.numel() and not (~speech[end:end + MIN_PAUSE]).all():
            end += 1
        last = int(torch.nonzero(speech[f:end]).flatten()[-1]) + f + 1
        if last - f > long_run:
            out[f:end] &= front[f:end]
        f = end
    return out


def test_the_voice_in_front_counts_in_long_runs_whatever_gaps_and_blocks_they_hold():
    # Bursts of speech with gaps shorter and longer than a pause, as Silero flags a voice
    # with talkers behind it; the gate's own flags at random.
    g = torch.Generator().manual_seed(0)
    pieces = []
    for _ in range(60):
        pieces.append(torch.ones(int(torch.randint(5, 120, (1,), generator=g)), dtype=torch.bool))
        gap = [2, MIN_PAUSE - 1, MIN_PAUSE, 40][int(torch.randint(0, 4, (1,), generator=g))]
        pieces.append(torch.zeros(gap, dtype=torch.bool))
    speech = torch.cat(pieces)
    front = torch.rand(speech.numel(), generator=g) < 0.7
    expected = _gated(speech, front, long_run=300)
    assert not torch.equal(expected, speech) and not torch.equal(expected, speech & front)
    for block in (speech.numel(), 7, 64, 333):
        vad = SileroVad(300)
        pieces = [vad._both(speech[i:i + block], front[i:i + block]) for i in range(0, speech.numel(), block)]
        assert torch.equal(torch.cat(pieces + [vad._both(speech[:0], front[:0], final=True)]), expected)


def test_unknown_detectors_are_refused_by_name():
    with pytest.raises(QuorlinError, match="unknown voice activity detector 'webrtc': give one of silero, energy"):
        speech_detector("webrtc")
